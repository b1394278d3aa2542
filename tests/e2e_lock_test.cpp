// End-to-end: every change of the list holds the program folder's lock, and
// the password given on the command line is gone from it while the run goes
// on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/program_copy.h"
#include "tests/fixtures/sanitizers.h"

namespace fwtest {
namespace {

using Words = std::vector<std::string>;

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
        failed += RunToEnd(program / "fetchwell", {"--add", url}).status != 0;
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
