// The built fetchwell with its window module, copied into a temporary folder
// and started as a user would start it: without a display, with a display it
// cannot reach, without its module, and on Qt's offscreen platform.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class WindowEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* build = std::getenv("FETCHWELL_BUILD_DIR");
    ASSERT_NE(build, nullptr) << "FETCHWELL_BUILD_DIR is not set";
    build_ = build;
    char pattern[] = "/tmp/fetchwell-window-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::copy_file(build_ / "fetchwell", dir_ / "fetchwell");
  }

  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  void CopyModule() { fs::copy_file(build_ / "fetchwell-window.so", dir_ / "fetchwell-window.so"); }

  // Starts the copied program with `args`, standard error to a file, and the
  // environment without any display, changed by `env` (an empty value unsets).
  void Start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      unsetenv("QT_QPA_PLATFORM");
      for (const auto& [name, value] : env) {
        if (value.empty()) {
          unsetenv(name.c_str());
        } else {
          setenv(name.c_str(), value.c_str(), 1);
        }
      }
      const int err = open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(err, STDERR_FILENO);
      const int null = open("/dev/null", O_RDWR);
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
      const std::string program = (dir_ / "fetchwell").string();
      std::vector<char*> argv = {const_cast<char*>(program.c_str())};
      for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
  }

  // Waits up to 30 seconds for the program to end; its wait status, or -1.
  int Wait() {
    for (int i = 0; i < 3000; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

  int RunToEnd(const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env) {
    Start(args, env);
    return Wait();
  }

  bool Running() {
    int status = 0;
    return waitpid(pid_, &status, WNOHANG) == 0;
  }

  std::string Stderr() {
    std::ifstream in(dir_ / "stderr");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path build_;
  fs::path dir_;
  pid_t pid_ = -1;
};

// One line, ending in a newline, that begins with `start`.
void ExpectOneLineStartingWith(const std::string& text, const std::string& start) {
  EXPECT_EQ(text.rfind(start, 0), 0u) << text;
  EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
}

TEST_F(WindowEndToEnd, WithoutADisplayItSaysSoInOneLineAndEndsWithStatus2) {
  CopyModule();
  const int status = RunToEnd({}, {});
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 2);
  const std::string err = Stderr();
  ExpectOneLineStartingWith(err, "fetchwell: cannot show the window: ");
  EXPECT_NE(err.find("no display"), std::string::npos) << err;
  // Nothing was loaded, so nothing was created.
  EXPECT_FALSE(fs::exists(dir_ / "Files.dat"));
}

TEST_F(WindowEndToEnd, ADisplayThatCannotBeReachedIsOneLineAndStatus2NotAnAbort) {
  CopyModule();
  // A display number with no X server behind it.
  int number = 90;
  while (fs::exists("/tmp/.X11-unix/X" + std::to_string(number))) ++number;
  const std::string display = ":" + std::to_string(number);
  const int status = RunToEnd({"-s"}, {{"DISPLAY", display}, {"QT_QPA_PLATFORM", "xcb"}});
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 2);
  const std::string err = Stderr();
  ExpectOneLineStartingWith(err, "fetchwell: cannot show the window: ");
  EXPECT_NE(err.find(display), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(dir_ / "Files.dat"));
}

TEST_F(WindowEndToEnd, AMissingModuleIsOneLineAndStatus2) {
  const int status = RunToEnd({}, {{"QT_QPA_PLATFORM", "offscreen"}});
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 2);
  const std::string err = Stderr();
  ExpectOneLineStartingWith(err, "fetchwell: cannot show the window: ");
  EXPECT_NE(err.find("fetchwell-window.so"), std::string::npos) << err;
}

TEST_F(WindowEndToEnd, ARunWithoutTheWindowNeedsNeitherDisplayNorModule) {
  const int status = RunToEnd({"-e"}, {});
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << Stderr();
  EXPECT_EQ(Stderr(), "");
  EXPECT_TRUE(fs::exists(dir_ / "Files.dat"));
}

TEST_F(WindowEndToEnd, ShowsTheWindowOffscreenUntilEnded) {
  CopyModule();
  Start({}, {{"QT_QPA_PLATFORM", "offscreen"}});
  // The data is loaded (creating the list file) just before the window shows.
  for (int i = 0; i < 3000 && !fs::exists(dir_ / "Files.dat") && Running(); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(fs::exists(dir_ / "Files.dat")) << Stderr();
  std::this_thread::sleep_for(500ms);
  ASSERT_TRUE(Running()) << Stderr();

  kill(pid_, SIGTERM);
  const int status = Wait();
  ASSERT_NE(status, -1);
  // Ended by the terminate signal, not by a failure of its own; nothing saved.
  EXPECT_TRUE(WIFSIGNALED(status) ? WTERMSIG(status) == SIGTERM
                                  : WEXITSTATUS(status) == 128 + SIGTERM)
      << status;
  EXPECT_FALSE(fs::exists(dir_ / "Settings.inf"));
}

}  // namespace
