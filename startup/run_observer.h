// What a download run tells whoever watches it: which entry is being fetched,
// how far it has got, and which entries failed. The run calls these in order
// EntryStarted, any number of EntryProgress, at most one EntryFailed, for each
// entry, then RunEnded once (also for a run with nothing to fetch). A run that
// an error ends early does not call RunEnded.
#pragma once

#include <cstdint>
#include <string>

class RunObserver {
 public:
  virtual ~RunObserver() = default;

  // Entry `number` (counting from 1) of the run's `count` non-empty entries is
  // about to be fetched from `url` into `destination`.
  virtual void EntryStarted(int number, int count, const std::string& url,
                            const std::string& destination) = 0;
  // `bytes` of the current entry have arrived; `total` is its size, -1 when
  // not known (yet).
  virtual void EntryProgress(int64_t bytes, int64_t total) = 0;
  // The current entry's fetch failed for `reason`.
  virtual void EntryFailed(const std::string& url, const std::string& reason) = 0;
  // The run has fetched (or tried) every entry.
  virtual void RunEnded() = 0;
};
