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

}  // namespace fw
