// End-to-end: the progress line on a real pseudo-terminal, replayed as the
// screen would show it, at several widths, with and without escapes, and after
// an interrupt.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/program_copy.h"
#include "tests/fixtures/screen.h"

namespace fwtest {
namespace {

// 日報-été-quarterly-report.csv: wide, accented and plain characters.
const std::string kName = "\xE6\x97\xA5\xE5\xA0\xB1-\xC3\xA9t\xC3\xA9-quarterly-report.csv";

class E2eTerminalTest : public ::testing::Test {
 protected:
  void Prepare(const std::vector<std::string>& entries) {
    WriteFile(program_ / "Files.dat", ListFileBytes(entries));
    WriteFile(program_ / "Settings.inf",
              "[General]\nFolderPath=" + program_.Folder().Path() + "\n");
  }

  LoopbackServer server_;
  ProgramCopy program_;
};

// While it runs, every frame shows the entry's number (or, while both entries
// are under way, the entries done) and the start of its name on one screen
// line, never wrapped; the line is gone before the failure line is printed,
// and only the run's closing line follows that.
TEST_F(E2eTerminalTest, ProgressFitsEveryWidthAndLeavesOnlyFailures) {
  const std::string bad = server_.Url("/status/500/bad.bin");
  Prepare({server_.Url("/slow/4000/" + kName + "?rate=8000"), bad});
  struct Case {
    int columns;
    const char* term;
  };
  for (const Case& c : {Case{20, "xterm"}, {40, "xterm"}, {80, "xterm"}, {40, "dumb"}, {30, ""}}) {
    const std::string shown = std::to_string(c.columns) + " columns, TERM=" + c.term;
    const RunResult run = program_.Run({"-e"}, {{"TERM", c.term}}, true, c.columns);
    EXPECT_EQ(run.status, 1) << shown;
    const size_t failure = run.errors.find("fetchwell: ");
    ASSERT_NE(failure, std::string::npos) << shown;
    EXPECT_TRUE(std::regex_match(
        run.errors.substr(failure),
        std::regex("fetchwell: " + bad + ": HTTP 500\r\n" +
                   "fetchwell: 2 entries: 1 fetched \\(0 unchanged\\), 1 failed, 3.9 KiB in "
                   "[0-9.]+ s\r\n")))
        << shown << ": " << run.errors.substr(failure);
    const Screen screen = Replay(run.errors.substr(0, failure), c.columns);
    EXPECT_EQ(screen.wraps, 0) << shown;
    EXPECT_TRUE(screen.unknown.empty()) << shown;
    if (std::string(c.term) != "xterm") {
      EXPECT_EQ(run.errors.find('\033'), std::string::npos) << shown;
    }
    int named = 0;
    for (const std::string& frame : screen.frames) {
      if (frame.empty()) continue;
      EXPECT_TRUE(frame.rfind("[1/2] ", 0) == 0 || frame.rfind("[2/2] ", 0) == 0 ||
                  frame.rfind("[0/2 done] ", 0) == 0 || frame.rfind("[1/2 done] ", 0) == 0)
          << shown << ": " << frame;
      named += frame.find("\xE6\x97\xA5\xE5\xA0\xB1-\xC3\xA9t") != std::string::npos;
    }
    EXPECT_GT(named, 0) << shown << ": the name was never shown";
    EXPECT_EQ(screen.lines, std::vector<std::string>{""}) << shown;
  }
}

// Each run on a terminal ends with its closing line, counted anew; the same
// runs on a pipe say nothing when nothing failed, so cron stays silent.
TEST_F(E2eTerminalTest, EachRunEndsWithAClosingLineOnATerminalOnly) {
  Prepare({server_.Url("/validated/3000/a.bin?etag=%22a%22"), server_.Url("/bytes/2000/b.bin")});
  WriteFile(program_ / "Settings.inf",
            ReadFile(program_ / "Settings.inf") + "[Download]\nSkipUnchanged=1\n");
  const RunResult run = program_.Run({"-e", "-e"}, {{"TERM", "dumb"}}, true);
  EXPECT_EQ(run.status, 0) << run.errors;
  // What each screen line ends up showing: the text after its last "\r".
  std::string closing;
  for (std::string line : LinesOf(run.errors)) {
    if (line.ends_with('\r')) line.pop_back();
    closing += line.substr(line.rfind('\r') + 1) + "\n";
  }
  EXPECT_TRUE(
      std::regex_match(closing, std::regex("fetchwell: 2 entries: 2 fetched \\(0 unchanged\\), "
                                           "0 failed, 4.9 KiB in [0-9.]+ s\n"
                                           "fetchwell: 2 entries: 2 fetched \\(1 unchanged\\), "
                                           "0 failed, 2.0 KiB in [0-9.]+ s\n")))
      << closing;
  EXPECT_EQ(program_.Run({"-e"}).errors, "");
}

// Ctrl-C while the line is drawn leaves nothing of it on the screen.
TEST_F(E2eTerminalTest, InterruptLeavesNoStaleText) {
  Prepare({server_.Url("/stall/20/" + kName + "?after=1000")});
  for (const char* term : {"xterm", "dumb"}) {
    for (int columns : {20, 80}) {
      const RunResult run = program_.Run({"-e"}, {{"TERM", term}}, true, columns, "[1/1]");
      EXPECT_EQ(run.status, 130) << term << " " << columns;
      const Screen screen = Replay(run.errors, columns);
      EXPECT_EQ(screen.lines, std::vector<std::string>{""}) << term << " " << columns;
      EXPECT_EQ(screen.wraps, 0);
    }
  }
}

// A retry shows on the progress line; Ctrl-C while it waits ends the run at
// once with nothing left behind.
TEST_F(E2eTerminalTest, InterruptWhileARetryWaitsEndsAtOnce) {
  Prepare({server_.Url("/flaky/wait/100/data.bin?fails=5&retry-after=100")});
  const auto started = std::chrono::steady_clock::now();
  const RunResult run = program_.Run({"-e"}, {{"TERM", "xterm"}}, true, 80, "retry 1 of 2");
  // The wait the server asked for is 100 s.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(50));
  EXPECT_EQ(run.status, 130) << run.errors;
  EXPECT_NE(run.errors.find("[1/1] retry 1 of 2"), std::string::npos) << run.errors;
  EXPECT_EQ(Replay(run.errors, 80).lines, std::vector<std::string>{""});
  for (const auto& name : program_.Folder().Entries()) {
    EXPECT_TRUE(name == "fetchwell" || name == "fetchwell-window.so" || name == "Files.dat" ||
                name == "Settings.inf")
        << name;
  }
}

}  // namespace
}  // namespace fwtest
