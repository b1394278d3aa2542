#include "startup/error_report.h"

#include <errno.h>
#include <unistd.h>

#include "startup/run_report.h"

namespace modMain {

void PrintError(int fd, int number, const std::string& description) {
  const std::string line =
      "fetchwell: error " + std::to_string(number) + ": " + EscapeControls(description) + "\n";
  // One write for the whole line where the descriptor allows, so that it is not
  // interleaved with another writer's output.
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace modMain
