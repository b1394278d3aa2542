// What a download run tells whoever watches it: which entries are being
// fetched, how far the run has got, and which entries failed. Several entries
// are fetched at once, so EntryStarted comes for each as its first request goes
// out, and RunProgressed and EntryRetrying for any of those under way. Results
// come in list order: at most one EntryFailed, then any EntryNote and
// EntryReplaces, for each entry, after EntryStarted of later entries. Then
// RunCounted and RunEnded once (also for a run with nothing to fetch).
// RunNote may come before any entry. A run that an error ends early does not
// call RunEnded.
#pragma once

#include <cstdint>
#include <string>

#include "fetch/snapshot_run.h"

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

  // How far the run has got over all the transfers under way.
  virtual void RunProgressed(const fw::RunProgress& /*progress*/) {}
  // An entry failed in a way that may pass, and is tried again:
  // retry `retry` of at most `of`; `whole` when the resource changed on the
  // server while it was fetched, so the retry fetches it from the start.
  virtual void EntryRetrying(int /*retry*/, int /*of*/, bool /*whole*/) {}
  // Something the user should know about the current entry (a snapshot that
  // could not be removed, a folder that keeps no records).
  virtual void EntryNote(const std::string& /*url*/, const std::string& /*note*/) {}
  // The current entry, from `url`, was put in place as `name`, over the file
  // that an earlier entry of this run, from `earlierUrl`, had put there.
  virtual void EntryReplaces(const std::string& /*url*/, const std::string& /*name*/,
                             const std::string& /*earlierUrl*/) {}
  // Something the user should know about the whole run (a netrc file that is
  // not used, a report file that cannot be written).
  virtual void RunNote(const std::string& /*note*/) {}
  // The run is over: `failed` of its `entries` non-empty entries failed (an
  // entry counts once, whether its fetch failed or the removal of its older
  // snapshots). Told just before RunEnded.
  virtual void RunCounted(int /*failed*/, int /*entries*/) {}
};
