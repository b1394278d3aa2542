#include "startup/error_report.h"

#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace {

// What PrintError writes, read back through a pipe.
std::string Printed(int number, const std::string& description) {
  int fds[2];
  if (pipe(fds) != 0) return "<no pipe>";
  modMain::PrintError(fds[1], number, description);
  close(fds[1]);
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  close(fds[0]);
  return out;
}

TEST(PrintError, OneLineWithTheDescriptionsControlBytesEscaped) {
  EXPECT_EQ(Printed(321, "Damaged list file /srv/Files.dat"),
            "fetchwell: error 321: Damaged list file /srv/Files.dat\n");
  // A name that would clear the screen, return the cursor and start a line of its own.
  EXPECT_EQ(Printed(75, "/tmp/\x1b[2J\r\nfake\x7f"),
            "fetchwell: error 75: /tmp/\\x1b[2J\\x0d\\x0afake\\x7f\n");
  // Text that is not ASCII is the user's own and passes unchanged.
  EXPECT_EQ(Printed(53, "caf\xc3\xa9"), "fetchwell: error 53: caf\xc3\xa9\n");
}

}  // namespace
