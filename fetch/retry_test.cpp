#include "fetch/retry.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "fetch/download.h"

namespace {

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

// Whether a failed attempt is tried again, and after which wait: only a
// transient failure, within the retries (at most kMostRetries), and only when
// the wait ends before the deadline. Which failures are transient, against a
// real server: snapshot_run_test.cpp.
TEST(NextRetryTest, OnlyTransientFailuresWithinTheRetriesAndTheDeadline) {
  const auto now = std::chrono::steady_clock::now();
  const auto never = std::chrono::steady_clock::time_point::max();
  struct Case {
    bool transient;
    long retryAfter;
    int retry, retries;
    std::chrono::steady_clock::time_point deadline;
    std::optional<long> wait;  // seconds; none: no retry
  };
  const std::vector<Case> cases = {
      {false, -1, 1, 2, never, std::nullopt},
      {true, -1, 1, 2, never, 1},
      {true, -1, 2, 2, never, 2},
      {true, -1, 3, 2, never, std::nullopt},
      {true, -1, 1, 0, never, std::nullopt},
      {true, -1, 10, 50, never, 30},
      {true, -1, 11, 50, never, std::nullopt},
      {true, 30, 1, 2, now + seconds(60), 30},
      {true, 0, 1, 2, now + seconds(60), 0},
      {true, 100, 1, 2, now + seconds(60), std::nullopt},
      {true, -1, 1, 2, now, std::nullopt},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    fw::FetchInfo info;
    info.transient = c.transient;
    info.retryAfter = c.retryAfter;
    const auto wait = fw::NextRetry(c.retry, c.retries, info, c.deadline);
    EXPECT_EQ(wait.has_value(), c.wait.has_value()) << i;
    if (wait && c.wait) {
      EXPECT_EQ(*wait, seconds(*c.wait)) << i;
    }
  }
}

}  // namespace
