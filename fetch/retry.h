// Trying a fetch again after a failure that may pass by itself.
//
// A transient failure (see FetchInfo::transient: no connection, a connection
// reset or closed early, a stall, HTTP 408, 425, 429, 500, 502, 503, 504) is
// tried again, up to `retries` more times; any other failure, and a success,
// ends the attempts at once. Between attempts the run waits 1 s, 2 s, 4 s, ...
// (at most 30 s), or what the server's Retry-After asked for, up to 120 s. No
// wait reaches past the session's deadline (DownloadLimits::deadline): when it
// would end after it, no retry is made. The wait is a plain sleep: SIGINT or
// SIGTERM during it end the program at once, through the interrupt cleanup,
// with nothing left behind (each attempt's temporary file is gone by then).
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
