#include "fetch/snapshot_run.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fetch/snapshot_record.h"
#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/temp_folder.h"

namespace {

// Run once, by the writer thread, before the next syncfs (which puts a batch
// of replacing files on the disk).
std::atomic<std::function<void()>*> beforeSync{nullptr};

}  // namespace

// The process's syncfs, through beforeSync.
extern "C" int syncfs(int fd) {
  static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "syncfs"));
  if (std::function<void()>* hook = beforeSync.exchange(nullptr)) (*hook)();
  return real(fd);
}

namespace {

using fwtest::LoopbackServer;

constexpr char kOutOfTime[] = "the run's time limit was reached";

// Runs of several entries against a real server. Which entry waits for which
// is made by the server's /hold and done=KEY paths, never by time.
class SnapshotRunTest : public ::testing::Test {
 protected:
  struct Listed {
    std::string url;   // a path on the server, or a whole URL
    std::string name;  // of its destination in the folder
  };
  struct Told {
    std::vector<int> started;
    std::vector<std::string> retrying;  // "entry:retry/of"
    std::vector<int> finished;          // in the order told
    std::vector<fw::SnapshotResult> results;
    int progress = 0;              // times told
    std::vector<int> descriptors;  // open in this process as each entry started
  };

  // With `skip`, SkipUnchanged: "NAME-DAY.bin" has the snapshots "NAME-*.bin"
  // of its URL as bases.
  Told Run(fw::DownloadSession& session, int retries, const std::vector<Listed>& list,
           bool skip = false) {
    fw::SnapshotFetcher fetcher(session, fw::SnapshotOptions{retries, skip, 0});
    Told told;
    fw::SnapshotRun::Events events;
    events.progress = [&](const fw::RunProgress&) { ++told.progress; };
    events.started = [&](int number, const fw::SnapshotEntry&) {
      told.started.push_back(number);
      const std::filesystem::directory_iterator fds("/proc/self/fd");
      told.descriptors.push_back(static_cast<int>(std::distance(begin(fds), end(fds))));
    };
    events.retrying = [&](int number, int retry, int of, bool) {
      told.retrying.push_back(std::to_string(number) + ":" + std::to_string(retry) + "/" +
                              std::to_string(of));
    };
    events.finished = [&](int number, const fw::SnapshotEntry&, const fw::SnapshotResult& result) {
      told.finished.push_back(number);
      told.results.push_back(result);
    };
    // Entries are named in list order.
    size_t named = 0;
    const auto name = [&](const std::string& url) {
      fw::SnapshotEntry entry;
      entry.url = entry.recordUrl = url;
      const std::string& file = list.at(named++).name;
      entry.destination = dir_ / file;
      if (skip) entry.shape = {file.substr(0, file.find('-')), "bin"};
      return entry;
    };
    size_t next = 0;
    fw::SnapshotRun run(session, fetcher, retries, name, events);
    run.Run([&]() -> std::optional<std::string> {
      if (next == list.size()) return std::nullopt;
      const std::string& url = list[next++].url;
      return url.starts_with("/") ? server_.Url(url) : url;
    });
    return told;
  }

  LoopbackServer server_;
  fwtest::TempFolder dir_;
};

// Results come in list order whatever finishes first; an entry waits for the
// earlier one of its destination, so the later in the list wins, while the
// entries behind it go on.
TEST_F(SnapshotRunTest, ListOrderAndTheLaterEntryOfANameWins) {
  fw::DownloadSession session({}, {}, 3);
  // The first entry is answered only once the second and fourth are.
  const Told told = Run(session, 0,
                        {{"/hold/k/2?size=300&timeout=30", "a.bin"},
                         {"/bytes/200?done=k", "b.bin"},
                         {"/bytes/500", "a.bin"},
                         {"/bytes/400?done=k", "c.bin"}});
  EXPECT_EQ(told.started, (std::vector<int>{1, 2, 4, 3}));
  EXPECT_EQ(told.finished, (std::vector<int>{1, 2, 3, 4}));
  for (const auto& result : told.results) EXPECT_TRUE(result.ok) << result.reason;
  EXPECT_EQ(told.results[2].bytes, 500);
  EXPECT_TRUE(fwtest::ReadFile(dir_ / "a.bin") == LoopbackServer::Pattern(500));
  EXPECT_TRUE(fwtest::ReadFile(dir_ / "b.bin") == LoopbackServer::Pattern(200));
  EXPECT_TRUE(fwtest::ReadFile(dir_ / "c.bin") == LoopbackServer::Pattern(400));
  EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"a.bin", "b.bin", "c.bin"}));
}

// Which failures are tried again, and how often: side by side, so that the
// waits between attempts pass together.
TEST_F(SnapshotRunTest, TransientFailuresAreTriedAgainOthersNot) {
  struct Case {
    std::string url;
    int attempts;
    std::string reason;  // empty: fetched
  };
  const std::vector<Case> cases = {
      {"/status/408", 2, "HTTP 408"},
      {"/status/429", 2, "HTTP 429"},
      {"/status/500", 2, "HTTP 500"},
      {"/status/502", 2, "HTTP 502"},
      {"/status/504", 2, "HTTP 504"},
      {"/flaky/more/10?fails=5", 2, "HTTP 503"},
      {"/flaky/once/500?fails=1&retry-after=0", 2, ""},
      {"/stall/10?after=10", 2, "no data for 1 s"},
      {"http://127.0.0.1:" + std::to_string(fwtest::UnusedPort()) + "/x", 2, "connection refused"},
      {"/status/404", 1, "HTTP 404"},
      {"/status/403", 1, "HTTP 403"},
      {"/no-location", 1, "redirect without a Location"},
  };
  fw::DownloadLimits limits;
  limits.stallTimeout = 1;
  fw::DownloadSession session(limits, {}, 8);
  std::vector<Listed> list;
  std::vector<std::string> retried;
  for (const Case& c : cases) {
    list.push_back({c.url, std::to_string(list.size() + 1) + ".bin"});
    if (c.attempts > 1) retried.push_back(std::to_string(list.size()) + ":1/1");
  }
  Told told = Run(session, 1, list);
  ASSERT_EQ(told.results.size(), cases.size());
  std::sort(told.retrying.begin(), told.retrying.end());
  std::sort(retried.begin(), retried.end());
  EXPECT_EQ(told.retrying, retried);
  for (size_t i = 0; i < cases.size(); ++i) {
    const fw::SnapshotResult& result = told.results[i];
    EXPECT_EQ(result.attempts, cases[i].attempts) << cases[i].url;
    EXPECT_EQ(result.reason, cases[i].reason) << cases[i].url;
    EXPECT_EQ(result.ok, cases[i].reason.empty()) << cases[i].url;
  }
  EXPECT_TRUE(fwtest::ReadFile(dir_ / "7.bin") == LoopbackServer::Pattern(500));
  EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"7.bin"}) << "failures leave nothing";

  // With no retries, a failure that may pass is asked once.
  told = Run(session, 0, {{"/flaky/off/10?fails=1", "off.bin"}});
  EXPECT_EQ(told.results.at(0).attempts, 1);
  EXPECT_TRUE(told.retrying.empty());
}

// The run's deadline fails the entry under way and those not begun, an older
// file of their name kept; no retry is waited for that would end after it, and
// an entry waiting for a retry holds no transfer: with one at a time, the next
// entry is under way meanwhile, so the retry can only come after the deadline.
TEST_F(SnapshotRunTest, TheDeadlineEndsTheRunAndAWaitHoldsNoTransfer) {
  fw::DownloadLimits limits;
  // Long enough that the first answers and the retry come before it even on a
  // loaded machine; the held entry keeps the run until then.
  limits.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(6);
  fw::DownloadSession session(limits, {}, 1);
  fwtest::WriteFile(dir_ / "late.bin", "yesterday's\n");
  const Told told = Run(session, 2,
                        {{"/flaky/past/10?fails=1&retry-after=100", "past.bin"},
                         {"/flaky/wait/10?fails=1&retry-after=1", "wait.bin"},
                         {"/hold/never/1?timeout=30", "held.bin"},
                         {"/bytes/10", "late.bin"}});
  ASSERT_EQ(told.results.size(), 4u);
  EXPECT_EQ(told.retrying, std::vector<std::string>{"2:1/2"});
  const std::vector<std::pair<std::string, int>> expected = {
      {"HTTP 503", 1}, {kOutOfTime, 2}, {kOutOfTime, 1}, {kOutOfTime, 1}};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_FALSE(told.results[i].ok) << i + 1;
    EXPECT_EQ(told.results[i].reason, expected[i].first) << i + 1;
    EXPECT_EQ(told.results[i].attempts, expected[i].second) << i + 1;
  }
  EXPECT_EQ(server_.FlowOf("never").arrived, 1);
  // The retry, due while the held entry has the one transfer, waits for that
  // transfer to end without going round meanwhile (each round of libcurl's
  // tells the progress; going round without pause would tell it millions of
  // times).
  EXPECT_LT(told.progress, 1000);
  EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"late.bin"});
  EXPECT_EQ(fwtest::ReadFile(dir_ / "late.bin"), "yesterday's\n");
}

// A slow first entry holds none of those behind it: the server lets it go only
// once it has answered all of them (else by its time limit, which the check of
// `timedOut` sees). Those finished before it keep no descriptor (here the
// basis each one was copied from after a 304) while they wait to be told, and
// results still come in list order.
TEST_F(SnapshotRunTest, ASlowFirstEntryHoldsNoneBehindIt) {
  constexpr int kBehind = 200;
  const std::string url = "/validated/100?etag=v&done=slow";
  fw::DownloadSession session({}, {}, 2);
  std::vector<Listed> yesterday, today;
  today.push_back({"/hold/slow/" + std::to_string(2 * kBehind) + "?timeout=20", "first-2.bin"});
  for (int i = 0; i < kBehind; ++i) {
    yesterday.push_back({url, std::to_string(i) + "-1.bin"});
    today.push_back({url, std::to_string(i) + "-2.bin"});
  }
  ASSERT_EQ(Run(session, 0, yesterday, true).finished.size(), size_t{kBehind});

  const Told told = Run(session, 0, today, true);
  EXPECT_EQ(server_.FlowOf("slow").timedOut, 0) << "the first entry held the others";
  ASSERT_EQ(told.finished.size(), today.size());
  for (size_t i = 0; i < today.size(); ++i) {
    EXPECT_EQ(told.finished[i], static_cast<int>(i + 1));
    EXPECT_TRUE(told.results[i].ok) << told.results[i].reason;
    EXPECT_EQ(told.results[i].fresh, i > 0 && fw::SupportsRecords(dir_.Path())) << i + 1;
  }
  // The last entry starts while the first is held and those between wait;
  // a few descriptors come and go with the connections and files under way.
  EXPECT_LE(told.descriptors.back(), told.descriptors.at(1) + 10);
}

// While entries wait for room at their host, the run never waits for a file to
// reach the disk: the transfers go on. The first entry replaces a file, and is
// held on its way to the disk (at the sync before it replaces) until the
// server has answered three more entries. The entries behind it are held at
// the server until then, so the two under way when the hold begins answer
// whatever the run does; the third must be started while the first is held.
// Nothing here depends on how fast the disk or the machine is.
TEST_F(SnapshotRunTest, AFileOnItsWayToTheDiskHoldsNoTransfer) {
  constexpr int kEntries = 100;  // more than are held under way at once
  fw::DownloadSession session({}, {}, 2);
  std::vector<Listed> list = {{"/bytes/100?done=disk", "0.bin"}};
  for (int i = 1; i < kEntries; ++i) {
    list.push_back({"/hold/behind/1?done=disk&i=" + std::to_string(i), std::to_string(i) + ".bin"});
  }
  ASSERT_EQ(Run(session, 0, {list[0]}).finished.size(), size_t{1});
  bool heldTransfers = false;
  std::function<void()> hold = [&] {
    const int answered = server_.FlowOf("disk").done;
    server_.Get("/bytes/1?done=behind");  // lets the entries behind go
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (server_.FlowOf("disk").done < answered + 3) {
      if (std::chrono::steady_clock::now() > until) {
        heldTransfers = true;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  beforeSync = &hold;
  const Told told = Run(session, 0, list);
  beforeSync = nullptr;
  EXPECT_FALSE(heldTransfers) << "the run waited for the disk";
  EXPECT_EQ(server_.FlowOf("behind").timedOut, 0);
  ASSERT_EQ(told.finished.size(), size_t{kEntries});
  for (const fw::SnapshotResult& result : told.results) EXPECT_TRUE(result.ok) << result.reason;
}

}  // namespace
