// The built fetchwell with its window module, copied into a temporary folder
// and started as a user would start it: without a display, with a display it
// cannot reach, without its module, and on Qt's offscreen platform.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fixtures/program_copy.h"
#include "tests/fixtures/temp_folder.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using fwtest::ProgramCopy;
using fwtest::RunResult;

namespace {

// Status 2 and one line, beginning with the reason's prefix and holding `detail`.
void ExpectCannotShow(const RunResult& run, const std::string& detail) {
  EXPECT_EQ(run.status, 2) << run.errors;
  EXPECT_EQ(run.errors.rfind("fetchwell: cannot show the window: ", 0), 0u) << run.errors;
  EXPECT_EQ(run.errors.find('\n'), run.errors.size() - 1) << run.errors;
  EXPECT_NE(run.errors.find(detail), std::string::npos) << run.errors;
}

TEST(WindowEndToEnd, WithoutAUsableDisplayOrModuleItSaysSoInOneLine) {
  const ProgramCopy program;
  ExpectCannotShow(program.Run({}), "no display");
  // A display number with no X server behind it: a message, not an abort.
  int number = 90;
  while (fs::exists("/tmp/.X11-unix/X" + std::to_string(number))) ++number;
  const std::string display = ":" + std::to_string(number);
  ExpectCannotShow(program.Run({"-s"}, {{"DISPLAY", display}, {"QT_QPA_PLATFORM", "xcb"}}),
                   display);
  // Nothing was loaded, so nothing was created.
  EXPECT_FALSE(fs::exists(program / "Files.dat"));

  const ProgramCopy withoutModule(false);
  ExpectCannotShow(withoutModule.Run({}, {{"QT_QPA_PLATFORM", "offscreen"}}),
                   "fetchwell-window.so");
}

TEST(WindowEndToEnd, ShowsTheWindowOffscreenUntilEnded) {
  // Words the toolkit would take for its own options are the program's, and
  // ignored: the window still shows on the platform the environment names.
  for (const std::vector<std::string>& words :
       {std::vector<std::string>{}, std::vector<std::string>{"-platform", "nonsense"}}) {
    const ProgramCopy program;
    const pid_t pid = program.Start(words, {{"QT_QPA_PLATFORM", "offscreen"}});
    // The data is loaded (creating the list file) just before the window shows.
    for (int i = 0; i < 3000 && !fs::exists(program / "Files.dat"); ++i) {
      std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(500ms);
    siginfo_t ended{};  // looked at without reaping, for Finish to collect
    waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT);
    const bool running = ended.si_pid == 0;
    kill(pid, SIGTERM);
    const RunResult run = program.Finish(pid);
    ASSERT_TRUE(running) << run.errors;
    EXPECT_TRUE(fs::exists(program / "Files.dat"));
    // Ended by the terminate signal, not by a failure of its own; nothing saved.
    EXPECT_EQ(run.status, 128 + SIGTERM) << run.errors;
    EXPECT_FALSE(fs::exists(program / "Settings.inf"));
  }
}

// The offscreen platform, with the test plugin that answers message boxes and
// writes each one's text on standard error.
fwtest::Environment OffscreenAnsweringBoxes() {
  return {{"QT_QPA_PLATFORM", "offscreen"},
          {"QT_PLUGIN_PATH", FETCHWELL_TEST_PLUGIN_PATH},
          {"QT_QPA_GENERIC_PLUGINS", "fetchwell-box-answerer"}};
}

TEST(WindowEndToEnd, AnErrorBeforeTheWindowIsShownInTheBoxThenEndsWithStatus2) {
  const std::string damaged("\x05\x00\x00\x00", 4);  // six records claimed in 4 bytes
  const ProgramCopy program;
  fwtest::WriteFile(program / "Files.dat", damaged);
  const ProgramCopy unreadable;
  fs::create_directory(unreadable / "Files.dat");

  for (const auto& [copy, shown] : {std::pair<const ProgramCopy*, std::string>{
                                        &program, "answered box: Fetchwell: Error 321: "},
                                    {&unreadable, "answered box: Fetchwell: Error 75: "}}) {
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{}, std::vector<std::string>{"-e", "-s"}}) {
      const RunResult run = copy->Run(words, OffscreenAnsweringBoxes());
      // Ended by the error, not by a crash while the toolkit is taken down.
      EXPECT_EQ(run.status, 2) << run.errors;
      const std::size_t at = run.errors.find(shown);
      ASSERT_NE(at, std::string::npos) << run.errors;
      EXPECT_NE(run.errors.find("Files.dat", at), std::string::npos) << run.errors;
      // Shown once, in the box only: no line report as well.
      EXPECT_EQ(run.errors.find("answered box:", at + 1), std::string::npos) << run.errors;
      EXPECT_EQ(run.errors.find("fetchwell: error"), std::string::npos) << run.errors;
    }
  }
  // Nothing was saved over the damaged list.
  EXPECT_EQ(fwtest::ReadFile(program / "Files.dat"), damaged);
  EXPECT_FALSE(fs::exists(program / "Settings.inf"));
}

}  // namespace
