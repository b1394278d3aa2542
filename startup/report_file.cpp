#include "startup/report_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "startup/names.h"
#include "startup/report_lines.h"

namespace modMain {
namespace {

constexpr char kNotRegular[] = "not a regular file";

// Why opening `path` failed with `err`: an existing file of another kind (a
// FIFO without a reader gives ENXIO, a folder EISDIR) is named as such.
std::string WhyNotOpened(const std::string& path, int err) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return kNotRegular;
  return std::strerror(err);
}

}  // namespace

std::string ReportPath(const std::string& setting, const std::string& programFolder) {
  if (setting.empty() || setting[0] == '/') return setting;
  return FixPath(programFolder) + setting;
}

ReportFile::ReportFile(const std::string& path, Say say)
    : path_(path), say_(std::move(say)), started_(std::time(nullptr)) {
  if (path_.empty()) return;
  // O_NONBLOCK: a FIFO without a reader fails at once instead of waiting for
  // one; on a regular file it changes nothing.
  fd_ =
      open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd_ < 0) {
    Fail(WhyNotOpened(path_, errno));
    return;
  }
  struct stat st {};
  if (fstat(fd_, &st) != 0) {
    Fail(std::strerror(errno));
  } else if (!S_ISREG(st.st_mode)) {
    Fail(kNotRegular);
  }
}

ReportFile::~ReportFile() {
  if (fd_ >= 0) close(fd_);
}

void ReportFile::Entry(const std::string& url, const std::string& file,
                       const fw::SnapshotResult& result) {
  if (fd_ >= 0) Append(EntryLine(std::time(nullptr), url, file, result));
}

void ReportFile::Run(int entries, int failed) {
  if (fd_ >= 0) Append(RunLine(started_, std::time(nullptr), entries, failed));
}

void ReportFile::Append(const std::string& line) {
  if (fd_ < 0) return;
  ssize_t n;
  do {
    n = write(fd_, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    Fail(std::strerror(errno));
  } else if (static_cast<size_t>(n) != line.size()) {
    // The rest is not sent in a second write: another run's line could come
    // between the two.
    Fail("only " + std::to_string(n) + " of " + std::to_string(line.size()) +
         " bytes of a line were written");
  }
}

void ReportFile::Fail(const std::string& why) {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (say_) say_("cannot write the report " + path_ + ": " + why);
}

}  // namespace modMain
