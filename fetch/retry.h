// When a failed fetch is tried again, and after what wait; SnapshotRun
// (snapshot_run.h) does the trying and the waiting.
//
// Only a transient failure (FetchInfo::transient) is tried again, up to
// `retries` more times. The wait doubles from 1 s up to 30 s, or is what the
// server's Retry-After asked for, up to 120 s; a retry whose wait would end at
// or after the run's deadline is not made.
#pragma once

#include <chrono>
#include <optional>

namespace fw {

struct FetchInfo;

// The longest retries value taken; more counts as this many.
inline constexpr int kMostRetries = 10;

// The wait before retry number `retry` (1 for the first): 2^(retry-1) seconds,
// at most 30; a Retry-After of `retryAfter` seconds (-1 for none) instead,
// at most 120.
std::chrono::seconds RetryWait(int retry, long retryAfter);

// The wait before retry number `retry` of at most `retries` after an attempt
// that failed as `info` says; nullopt when no retry is to be made: the failure
// is not transient, the retries are used up, or the wait would end at or
// after `deadline`.
std::optional<std::chrono::seconds> NextRetry(int retry, int retries, const FetchInfo& info,
                                              std::chrono::steady_clock::time_point deadline);

}  // namespace fw
