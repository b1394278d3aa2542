// What a download run tells whoever watches it. Several entries run at once:
// EntryStarted comes as each one's first request goes out, RunProgressed and
// EntryRetrying for any under way. Results come in list order: EntryFetched
// or EntryFailed, then any EntryNote and EntryReplaces, per entry. RunCounted and
// RunEnded come once at the end (also with nothing to fetch); RunNote at any
// time. A run that an error ends early does not call RunEnded. Each call does
// nothing unless overridden.
#pragma once

#include <cstdint>
#include <string>

#include "fetch/snapshot_run.h"

class RunObserver {
 public:
  virtual ~RunObserver() = default;

  // Entry `number` (counting from 1) of the run's `count` non-empty entries is
  // about to be fetched from `url` into `destination`.
  virtual void EntryStarted(int /*number*/, int /*count*/, const std::string& /*url*/,
                            const std::string& /*destination*/) {}
  // The current entry's file, of `bytes` bytes, is in place: fetched, or made
  // from its last snapshot when `unchanged` (the server said so).
  virtual void EntryFetched(const std::string& /*url*/, bool /*unchanged*/, int64_t /*bytes*/) {}
  // The current entry's fetch failed for `reason`.
  virtual void EntryFailed(const std::string& /*url*/, const std::string& /*reason*/) {}
  // The run has fetched (or tried) every entry.
  virtual void RunEnded() {}

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
