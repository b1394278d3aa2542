// Kills the program (SIGKILL, which nothing can catch) at many moments of a Save
// of a large list and of the download of large files, and checks after each
// kill that nothing is lost or half-written:
//  - "Files.dat" is exactly the old list file or exactly the new one, and loads;
//  - a download's destination is absent, the old bytes, or the whole new body;
//  - every other file left behind is a hidden temporary file (".fetchwell-..."),
//    a name no download can have.
// The kill moments are spread at random over the time a whole run takes.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/files.h"
#include "store/clsFiles.h"
#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/temp_folder.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSaveKills = 150;
constexpr int kDownloadKills = 80;

std::string BuildDir() {
  const char* dir = std::getenv("FETCHWELL_BUILD_DIR");
  return dir ? dir : ".";
}

// Starts `argv` with standard error discarded and LC_ALL=C (so a date is
// "MM/DD/YY", stamped into names as "MM-DD-YY"). Standard output goes to
// `output` when given, else it is discarded too.
pid_t Start(const std::vector<std::string>& argv, int output = -1) {
  std::vector<std::string> env = {"LC_ALL=C"};
  for (char** e = environ; *e; ++e) {
    if (std::string(*e).rfind("LC_ALL=", 0) != 0) env.push_back(*e);
  }
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  args.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(output >= 0 ? output : null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  return pid;
}

// Waits for `pid` to end; its exit status, or 128 + the signal that ended it.
int Wait(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Starts `argv`; with `afterReady`, returns once it has written a line on its
// standard output (or ended), else at once. Sets `*started` to that moment.
pid_t StartRun(const std::vector<std::string>& argv, bool afterReady, Clock::time_point* started) {
  if (!afterReady) {
    *started = Clock::now();
    return Start(argv);
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  pid_t pid = Start(argv, fds[1]);
  close(fds[1]);
  char c;
  while (read(fds[0], &c, 1) == 1 && c != '\n') {
  }
  *started = Clock::now();
  close(fds[0]);
  return pid;
}

// Runs `argv` to its end; the exit status and how long it took (from its
// "ready" line with `afterReady`).
int RunToEnd(const std::vector<std::string>& argv, Clock::duration* took = nullptr,
             bool afterReady = false) {
  Clock::time_point start;
  int status = Wait(StartRun(argv, afterReady, &start));
  if (took) *took = Clock::now() - start;
  return status;
}

// Starts `argv`, lets it run for `delay` (from its "ready" line with
// `afterReady`), then kills it with SIGKILL.
void KillAfter(const std::vector<std::string>& argv, Clock::duration delay,
               bool afterReady = false) {
  Clock::time_point start;
  pid_t pid = StartRun(argv, afterReady, &start);
  std::this_thread::sleep_until(start + delay);
  kill(pid, SIGKILL);
  Wait(pid);
}

// The names in `folder` that are not in `known`. Hidden temporary files are
// checked, counted in `*temporaries` and removed; they must never be visible.
std::vector<std::string> OtherFiles(const fwtest::TempFolder& folder,
                                    const std::vector<std::string>& known, int* temporaries) {
  std::vector<std::string> others;
  for (const std::string& name : folder.Entries()) {
    if (std::find(known.begin(), known.end(), name) != known.end()) continue;
    if (name.rfind(".fetchwell-", 0) == 0) {
      ++*temporaries;
      std::filesystem::remove(folder / name);
      continue;
    }
    others.push_back(name);
  }
  return others;
}

// The date as the program stamps it under the C locale.
std::string DateStamp() {
  std::time_t now = std::time(nullptr);
  char text[32];
  std::strftime(text, sizeof text, "%x", std::localtime(&now));
  std::string stamp = text;
  for (char& c : stamp) {
    if (c == '/') c = '-';
  }
  return stamp;
}

class CrashSafetyTest : public ::testing::Test {
 protected:
  std::mt19937 random_{std::random_device{}()};

  Clock::duration RandomMoment(Clock::duration span) {
    std::uniform_int_distribution<long> pick(
        0, std::chrono::duration_cast<std::chrono::microseconds>(span).count());
    return std::chrono::microseconds(pick(random_));
  }
};

TEST_F(CrashSafetyTest, SaveKilledAtAnyMomentLeavesTheOldOrTheNewListFile) {
  const std::string saver = BuildDir() + "/tests/crash_safety_saver";
  fwtest::TempFolder folder;
  const std::string listFile = folder / "Files.dat";
  ASSERT_EQ(RunToEnd({saver, "reference", folder / "old.dat", folder / "new.dat"}), 0);
  const std::string oldBytes = fw::ReadWholeFile(folder / "old.dat");
  const std::string newBytes = fw::ReadWholeFile(folder / "new.dat");
  ASSERT_NE(oldBytes, newBytes);

  // Kill moments are spread over the time four saves take, counted from the
  // moment the lists are built.
  Clock::duration span;
  fwtest::WriteFile(listFile, oldBytes);
  ASSERT_EQ(RunToEnd({saver, "loop", listFile, "4"}, &span, true), 0);
  ASSERT_EQ(fw::ReadWholeFile(listFile), oldBytes);

  int sawOld = 0, sawNew = 0, temporaries = 0;
  for (int kill = 0; kill < kSaveKills; ++kill) {
    KillAfter({saver, "loop", listFile, "0"}, RandomMoment(span), true);
    const std::string bytes = fw::ReadWholeFile(listFile);
    ASSERT_TRUE(bytes == oldBytes || bytes == newBytes)
        << "kill " << kill << ": Files.dat is neither the old nor the new list (" << bytes.size()
        << " bytes)";
    (bytes == oldBytes ? sawOld : sawNew)++;
    clsFiles loaded;
    loaded.LoadData(listFile);
    EXPECT_EQ(loaded.Count(), bytes == oldBytes ? "45001" : "60001");
    const auto others = OtherFiles(folder, {"Files.dat", "old.dat", "new.dat"}, &temporaries);
    ASSERT_TRUE(others.empty()) << "kill " << kill << " left " << others.front();
  }
  // The kills landed on both sides of a save, and inside saves.
  EXPECT_GT(sawOld, 0);
  EXPECT_GT(sawNew, 0);
  EXPECT_GT(temporaries, 0);
  std::printf("%d kills during saves: %d old, %d new, %d hidden temporary files left\n", kSaveKills,
              sawOld, sawNew, temporaries);
}

TEST_F(CrashSafetyTest, DownloadKilledAtAnyMomentLeavesNoPartialFile) {
  fwtest::LoopbackServer server;
  fwtest::TempFolder program;
  fwtest::TempFolder downloads;
  const std::string fetchwell = program / "fetchwell";
  std::filesystem::copy_file(BuildDir() + "/fetchwell", fetchwell);

  // Two large files: one sent slowly, one as fast as loopback goes.
  constexpr size_t kSlowSize = 3'000'000, kFastSize = 24'000'000;
  clsFiles list;
  list.AddFile(server.Url("/slow/3000000/snapshot.bin?rate=12000000"));
  list.AddFile(server.Url("/bytes/24000000/big.bin"));
  list.SaveData(program / "Files.dat");
  const std::string listBytes = fw::ReadWholeFile(program / "Files.dat");
  fwtest::WriteFile(program / "Settings.inf", "[General]\nFolderPath=" + downloads.Path() + "\n");
  const std::string slowName = "snapshot-" + DateStamp() + ".bin?rate=12000000";
  const std::string fastName = "big-" + DateStamp() + ".bin";
  const std::string slowBody = fwtest::LoopbackServer::Pattern(kSlowSize);
  const std::string fastBody = fwtest::LoopbackServer::Pattern(kFastSize);
  const std::string oldBody = "yesterday's snapshot\n";

  Clock::duration span;
  ASSERT_EQ(RunToEnd({fetchwell, "-e"}, &span), 0);
  ASSERT_EQ(fw::ReadWholeFile(downloads / slowName), slowBody);
  ASSERT_EQ(fw::ReadWholeFile(downloads / fastName), fastBody);
  span += span / 10;

  int complete = 0, old = 0, absent = 0, temporaries = 0;
  for (int kill = 0; kill < kDownloadKills; ++kill) {
    // Every other round starts with yesterday's files in place, the others
    // with none.
    const bool withOld = kill % 2 == 0;
    for (const std::string& name : downloads.Entries()) std::filesystem::remove(downloads / name);
    if (withOld) {
      fwtest::WriteFile(downloads / slowName, oldBody);
      fwtest::WriteFile(downloads / fastName, oldBody);
    }
    KillAfter({fetchwell, "-e"}, RandomMoment(span));

    for (const std::string& name : {slowName, fastName}) {
      const std::string& body = name == slowName ? slowBody : fastBody;
      if (!fw::IsRegularFile(downloads / name)) {
        ASSERT_FALSE(withOld) << "kill " << kill << " removed yesterday's " << name;
        ++absent;
        continue;
      }
      const std::string bytes = fw::ReadWholeFile(downloads / name);
      ASSERT_TRUE(bytes == body || (withOld && bytes == oldBody))
          << "kill " << kill << ": " << name << " is partial (" << bytes.size() << " bytes)";
      (bytes == body ? complete : old)++;
    }
    const auto others = OtherFiles(downloads, {slowName, fastName}, &temporaries);
    ASSERT_TRUE(others.empty()) << "kill " << kill << " left " << others.front();
    ASSERT_EQ(fw::ReadWholeFile(program / "Files.dat"), listBytes);
  }
  EXPECT_GT(complete, 0);
  EXPECT_GT(old + absent, 0);
  EXPECT_GT(temporaries, 0);
  std::printf(
      "%d kills during downloads: files complete %d, old %d, absent %d; %d hidden "
      "temporary files left\n",
      kDownloadKills, complete, old, absent, temporaries);

  // A run after all those kills fetches both files whole.
  ASSERT_EQ(RunToEnd({fetchwell, "-e"}), 0);
  EXPECT_EQ(fw::ReadWholeFile(downloads / slowName), slowBody);
  EXPECT_EQ(fw::ReadWholeFile(downloads / fastName), fastBody);
}

}  // namespace
