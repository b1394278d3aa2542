#include "fetch/retry.h"

#include <algorithm>

#include "fetch/download.h"

namespace fw {

std::chrono::seconds RetryWait(int retry, long retryAfter) {
  if (retryAfter >= 0) return std::chrono::seconds(std::min(retryAfter, 120L));
  const int doublings = std::clamp(retry - 1, 0, 5);  // 2^5 = 32, past the cap
  return std::chrono::seconds(std::min(1L << doublings, 30L));
}

std::optional<std::chrono::seconds> NextRetry(int retry, int retries, const FetchInfo& info,
                                              std::chrono::steady_clock::time_point deadline) {
  if (!info.transient || retry > std::clamp(retries, 0, kMostRetries)) return std::nullopt;
  const auto wait = RetryWait(retry, info.retryAfter);
  // A retry that could only begin once the run must end is not waited for.
  if (std::chrono::steady_clock::now() + wait >= deadline) return std::nullopt;
  return wait;
}

bool WithRetries(DownloadSession& session, int retries, const std::function<bool()>& attempt,
                 const std::function<void(int retry, int of)>& onRetry,
                 const std::function<void(std::chrono::seconds)>& sleep) {
  retries = std::clamp(retries, 0, kMostRetries);
  for (int retry = 1;; ++retry) {
    if (attempt()) return true;
    const auto wait = NextRetry(retry, retries, session.LastFetch(), session.Limits().deadline);
    if (!wait) return false;
    if (onRetry) onRetry(retry, retries);
    sleep(*wait);
  }
}

}  // namespace fw
