#include "fetch/retry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fetch/download.h"
#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/temp_folder.h"

namespace {

using fwtest::LoopbackServer;
using std::chrono::seconds;

TEST(RetryWaitTest, DoublesUpToThirtyAndHonoursRetryAfterUpToTwoMinutes) {
  const std::vector<long> doubling = {1, 2, 4, 8, 16, 30, 30};
  for (size_t i = 0; i < doubling.size(); ++i) {
    EXPECT_EQ(fw::RetryWait(static_cast<int>(i) + 1, -1), seconds(doubling[i])) << i + 1;
  }
  EXPECT_EQ(fw::RetryWait(1000000, -1), seconds(30));
  for (const auto& [asked, waited] : std::vector<std::pair<long, long>>{
           {0, 0}, {7, 7}, {120, 120}, {121, 120}, {1L << 30, 120}}) {
    EXPECT_EQ(fw::RetryWait(3, asked), seconds(waited)) << asked;
  }
}

// Against a real server: which failures are tried again, how often, and with
// which waits (recorded, not slept).
class WithRetriesTest : public ::testing::Test {
 protected:
  struct Outcome {
    bool ok;
    int requests;
    std::vector<long> waits;
    std::vector<std::string> retries;
    std::string reason;
  };
  Outcome Run(const std::string& path, int retries) {
    fw::DownloadSession session(fw::DownloadLimits{5, 2});
    Outcome out{};
    const int before = server_.Stats().requests;
    out.ok = fw::WithRetries(
        session, retries, [&] { return session.Fetch(server_.Url(path), dir_ / "file"); },
        [&](int retry, int of) {
          out.retries.push_back(std::to_string(retry) + "/" + std::to_string(of));
        },
        [&](seconds wait) { out.waits.push_back(static_cast<long>(wait.count())); });
    out.requests = server_.Stats().requests - before;
    out.reason = session.LastError();
    return out;
  }

  LoopbackServer server_;
  fwtest::TempFolder dir_;
};

TEST_F(WithRetriesTest, TransientFailuresAreTriedAgainPermanentOnesNot) {
  // Two 503s, the first asking for 1 s, then the file.
  Outcome out = Run("/flaky/a/500?fails=2&retry-after=1", 2);
  EXPECT_TRUE(out.ok) << out.reason;
  EXPECT_EQ(out.requests, 3);
  EXPECT_EQ(out.waits, (std::vector<long>{1, 2}));
  EXPECT_EQ(out.retries, (std::vector<std::string>{"1/2", "2/2"}));
  EXPECT_EQ(fwtest::ReadFile(dir_ / "file"), LoopbackServer::Pattern(500));

  // More failures than retries: the last attempt's reason stands.
  out = Run("/flaky/b/500?fails=5", 2);
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.requests, 3);
  EXPECT_EQ(out.reason, "HTTP 503");

  // Permanent failures are asked once; so is everything with retries off.
  for (const auto& [path, retries] :
       std::vector<std::pair<std::string, int>>{{"/status/404/x", 2},
                                                {"/status/403/x", 2},
                                                {"/no-location", 2},
                                                {"/flaky/c/500?fails=1", 0}}) {
    out = Run(path, retries);
    EXPECT_FALSE(out.ok) << path;
    EXPECT_EQ(out.requests, 1) << path;
    EXPECT_TRUE(out.waits.empty()) << path;
  }
  // Statuses that may pass, and a stall, are tried again.
  for (const std::string code : {"408", "429", "500", "502", "504"}) {
    out = Run("/status/" + code + "/x", 1);
    EXPECT_EQ(out.requests, 2) << code;
  }
  out = Run("/stall/10?after=10", 1);
  EXPECT_EQ(out.requests, 2) << out.reason;
  EXPECT_EQ(out.reason, "no data for 2 s");
}

// No wait reaches past the session's deadline: a retry that could only begin
// after it is not made, and the last attempt's result stands.
TEST_F(WithRetriesTest, NoWaitPastTheDeadline) {
  fw::DownloadLimits limits;
  limits.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  fw::DownloadSession session(limits);
  std::vector<long> waits;
  int retries = 0;
  const auto run = [&](const std::string& path) {
    waits.clear();
    retries = 0;
    return fw::WithRetries(
        session, 2, [&] { return session.Fetch(server_.Url(path), dir_ / "file"); },
        [&](int, int) { ++retries; },
        [&](seconds wait) { waits.push_back(static_cast<long>(wait.count())); });
  };
  int before = server_.Stats().requests;
  EXPECT_FALSE(run("/flaky/late/10?fails=1&retry-after=100"));
  EXPECT_EQ(server_.Stats().requests - before, 1);
  EXPECT_EQ(waits, std::vector<long>{});
  EXPECT_EQ(retries, 0);
  EXPECT_EQ(session.LastError(), "HTTP 503");
  EXPECT_TRUE(session.LastFetch().transient);
  // A wait that ends before the deadline is waited for.
  before = server_.Stats().requests;
  EXPECT_TRUE(run("/flaky/soon/10?fails=1&retry-after=30")) << session.LastError();
  EXPECT_EQ(server_.Stats().requests - before, 2);
  EXPECT_EQ(waits, std::vector<long>{30});
  EXPECT_EQ(retries, 1);
}

TEST(WithRetriesRefusedTest, NoConnectionIsTriedAgain) {
  fw::DownloadSession session;
  fwtest::TempFolder dir;
  int attempts = 0;
  const std::string url = "http://127.0.0.1:" + std::to_string(fwtest::UnusedPort()) + "/x";
  EXPECT_FALSE(fw::WithRetries(
      session, 3,
      [&] {
        ++attempts;
        return session.Fetch(url, dir / "x");
      },
      nullptr, [](seconds) {}));
  EXPECT_EQ(attempts, 4);
  EXPECT_EQ(session.LastError(), "connection refused");
  EXPECT_TRUE(dir.Entries().empty());
}

}  // namespace
