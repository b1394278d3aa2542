// End-to-end: every change of the data files holds the program folder's lock,
// readers wait for a writer, and a password given on the command line is gone
// from it while the run goes on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/program_copy.h"
#include "tests/fixtures/sanitizers.h"

namespace fwtest {
namespace {

using Words = std::vector<std::string>;

// Checks `done` every 10 ms until it holds or `limit` passes; whether it held.
// The limit only keeps a program that never gets there from holding the test up.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Whether /proc/locks shows `pid` waiting for an flock ("N: -> FLOCK ...").
bool WaitsForALock(pid_t pid) {
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, arrow, kind, advisory, access, owner;
    fields >> number >> arrow >> kind >> advisory >> access >> owner;
    if (arrow == "->" && kind == "FLOCK" && owner == std::to_string(pid)) return true;
  }
  return false;
}

// The entries of a list file's bytes.
Words Entries(const std::string& bytes) {
  Words entries;
  const auto byte = [&](size_t at) { return static_cast<unsigned char>(bytes.at(at)); };
  const auto upper = static_cast<int32_t>(byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24);
  for (size_t at = 4; entries.size() < static_cast<size_t>(upper + 1);) {
    const size_t length = byte(at) | byte(at + 1) << 8;
    entries.push_back(bytes.substr(at + 2, length));
    at += 2 + length;
  }
  return entries;
}

// Two loops of --add at once, as two shells would run them: every run ends
// well and every entry is kept, with no file made for the lock.
TEST(E2eLockTest, AddsAtOnceKeepEveryEntryAndMakeNoLockFile) {
  const ProgramCopy program(false);
  const int perLoop = kUnderSanitizers ? 50 : 200;
  std::atomic<int> failed{0};
  Words added;
  std::vector<std::thread> loops;
  for (const char* loop : {"a", "b"}) {
    for (int i = 0; i < perLoop; ++i)
      added.push_back("http://h/" + std::string(loop) + "/" + std::to_string(i));
    loops.emplace_back([&, loop] {
      for (int i = 0; i < perLoop; ++i) {
        const std::string url = "http://h/" + std::string(loop) + "/" + std::to_string(i);
        failed += RunToEnd(program / "fetchwell", {"--add", url}) != 0;
      }
    });
  }
  for (auto& loop : loops) loop.join();
  EXPECT_EQ(failed, 0);
  Words kept = Entries(ReadFile(program / "Files.dat"));
  std::sort(kept.begin(), kept.end());
  std::sort(added.begin(), added.end());
  EXPECT_EQ(kept.size(), added.size());
  EXPECT_TRUE(kept == added) << "not the entries added";
  EXPECT_EQ(program.Folder().Entries(), (Words{"Files.dat", "fetchwell"}));
}

// While another program holds the folder's lock, a run, --list and the words
// that change the files all wait for it; then each ends well.
TEST(E2eLockTest, ReadersAndWritersWaitForTheLock) {
  const ProgramCopy program(false);
  WriteFile(program / "Files.dat", ListFileBytes({}));
  // Fetchable, for the run may come after the --add that lists it.
  const std::string added = "file://" + (program / "Files.dat");
  const int folder = open(program.Folder().Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(folder, LOCK_EX), 0);
  const std::vector<Words> commands = {
      {"-e"}, {"--list"}, {"--add", added}, {"--folder", program.Folder().Path()}};
  std::vector<pid_t> pids;
  for (const Words& words : commands) pids.push_back(program.Start(words));
  const bool waiting =
      WaitFor([&] { return std::all_of(pids.begin(), pids.end(), WaitsForALock); });
  close(folder);
  EXPECT_TRUE(waiting) << "not every run waited for the lock";
  for (const pid_t pid : pids) {
    const RunResult run = program.Finish(pid);
    EXPECT_EQ(run.status, 0) << run.errors;
  }
  EXPECT_EQ(ReadFile(program / "Files.dat"), ListFileBytes({added}));
}

// A run of a URL with a password: once its request has reached the server,
// the program's command line shows "***" in its place, and the run holds no
// lock while it fetches (another --add goes through).
TEST(E2eLockTest, APasswordLeavesTheCommandLineBeforeTheFetch) {
  LoopbackServer server;
  const ProgramCopy program(false);
  const std::string held = server.Url("/gate/cmdline/2?timeout=60");
  const std::string scheme = "http://";
  const std::string url = scheme + "bob:S3CR3T@" + held.substr(scheme.size());
  const std::string masked = scheme + "bob:***@" + held.substr(scheme.size());

  const pid_t pid = program.Start({"--add", url, "-e"});
  const bool arrived = WaitFor([&] { return server.FlowOf("cmdline").held == 1; });
  std::string shown = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
  const RunResult other = program.Run({"--add", "http://h/later"});
  if (arrived) server.Get("/gate/cmdline/2?timeout=60");  // fills the round: both go
  const RunResult run = program.Finish(pid);

  ASSERT_TRUE(arrived) << run.errors;
  shown.erase(shown.find_last_not_of('\0') + 1);
  EXPECT_EQ(shown, (program / "fetchwell") + '\0' + "--add" + '\0' + masked + '\0' + "-e");
  EXPECT_EQ(other.status, 0) << other.errors;
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(ReadFile(program / "Files.dat"), ListFileBytes({url, "http://h/later"}));
}

}  // namespace
}  // namespace fwtest
