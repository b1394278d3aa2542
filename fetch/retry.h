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
#include <functional>
#include <optional>

namespace fw {

class DownloadSession;
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

// Runs `attempt` (one fetch through `session`; true on success) until it
// succeeds, fails for good, or `retries` more attempts have failed, or the
// wait before the next one would end at or after the session's deadline.
// Before each retry, `onRetry(retry, retries)` is told, then the wait passes
// through `sleep`. Returns the last attempt's result; the session's
// LastError() and LastFetch() are the last attempt's.
bool WithRetries(DownloadSession& session, int retries, const std::function<bool()>& attempt,
                 const std::function<void(int retry, int of)>& onRetry,
                 const std::function<void(std::chrono::seconds)>& sleep);

}  // namespace fw
