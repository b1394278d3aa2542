// Runs the built fetchwell as a user would, for end-to-end tests.
//
// A ProgramCopy is a fresh temporary folder holding a copy of the built
// executable (and of the window module, when one was built), so that the
// program's folder, where "Files.dat" and "Settings.inf" live, belongs to the
// test alone. Run() starts it with the given words, LC_ALL=C and no display
// (DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM removed from its environment),
// standard input from /dev/null, and waits for it to end.
//
// Failures of the test machinery raise std::runtime_error.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/fixtures/temp_folder.h"

namespace fwtest {

// The bytes of a list file holding `entries`.
std::string ListFileBytes(const std::vector<std::string>& entries);

// The date text the program stamps files with today under LC_ALL=C.
std::string TodayInTheCLocale();

struct RunResult {
  int status = -1;     // the exit status; 128 + n when signal n ended it
  std::string errors;  // what it wrote on standard error
};

class ProgramCopy {
 public:
  ProgramCopy();

  const TempFolder& Folder() const { return folder_; }
  std::string operator/(const std::string& name) const { return folder_ / name; }

  // Runs the copy with `words` as its arguments and waits for it (at most
  // `timeoutSeconds`, then it is killed and the call raises). With
  // `terminal` true, its standard error is a pseudo-terminal of 80 columns.
  RunResult Run(const std::vector<std::string>& words, bool terminal = false,
                int timeoutSeconds = 30) const;

  // Starts the copy without waiting; standard error goes to a file that
  // Finish() returns. For tests that signal the running program.
  pid_t Start(const std::vector<std::string>& words) const;
  RunResult Finish(pid_t pid, int timeoutSeconds = 30) const;

 private:
  TempFolder folder_;
  TempFolder scratch_;  // standard error's file, outside the program's folder
};

}  // namespace fwtest
