// A download run's entries fetched side by side, each as a snapshot
// (snapshot_fetch.h), failures that may pass tried again (retry.h).
//
// URLs are taken from `next` as the run needs them and named (`name`: the
// destination, with the day's date) in list order, before their host is asked
// for room. As many transfers run at once as the session allows
// (DownloadSession::HasRoomFor: Parallel(), more to hosts that speak HTTP/2).
// A transfer starts only when one is free, so no time limit runs while an
// entry waits its turn, and an entry waiting for a retry holds none. An entry
// waits until the earlier entry of its destination has its final result, so
// that the last in the list wins whatever finishes first (and a conditional
// request sees the earlier file). Results are told in list order, each once
// its file is in place or it failed for good. At most kUnderWay entries (or
// twice MostTransfers(), when more) taken from `next` are not finished at
// once: waiting to start, under way, waiting for a retry or with a file on its
// way to the disk. An entry finished while an earlier one is not keeps only
// its names and result until its turn (no job, buffer or descriptor), and up
// to kWaiting of them are held: a slow entry does not hold the ones behind it,
// and memory does not grow with the list.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "fetch/download.h"
#include "fetch/snapshot_fetch.h"

namespace fw {

// How far a run has got, over all its transfers.
struct RunProgress {
  int done = 0;       // entries finished
  int running = 0;    // transfers under way
  int64_t bytes = 0;  // body bytes received this run, all transfers together
  // The oldest transfer under way: its entry's number (from 1) and URL, and
  // how far it has got (total -1 when not known).
  int oldestNumber = 0;
  std::string oldestUrl;
  int64_t oldestBytes = 0;
  int64_t oldestTotal = -1;
};

class SnapshotRun {
 public:
  static constexpr size_t kUnderWay = 64;
  static constexpr size_t kWaiting = 1024;
  // How often at most the progress of transfers under way is told.
  static constexpr std::chrono::milliseconds kProgressEvery{50};

  struct Events {
    // Entry `number` (from 1) has its first request going out.
    std::function<void(int number, const SnapshotEntry&)> started;
    // Entry `number` failed in a way that may pass, and waits for retry `retry`
    // of `of`; `whole` when it changed on the server, so the retry starts over.
    std::function<void(int number, int retry, int of, bool whole)> retrying;
    std::function<void(const RunProgress&)> progress;
    // Entry `number`'s result, in list order.
    std::function<void(int number, const SnapshotEntry&, const SnapshotResult&)> finished;
  };

  using Namer = std::function<SnapshotEntry(const std::string& url)>;
  SnapshotRun(DownloadSession& session, SnapshotFetcher& fetcher, int retries, Namer name,
              Events events);
  ~SnapshotRun();
  SnapshotRun(const SnapshotRun&) = delete;
  SnapshotRun& operator=(const SnapshotRun&) = delete;

  // Fetches every URL `next` gives, until it gives none.
  void Run(const std::function<std::optional<std::string>()>& next);

 private:
  struct Slot;
  void Fill(const std::function<std::optional<std::string>()>& next);
  void TellFinished();
  std::chrono::steady_clock::time_point StartTransfers();
  void Name(Slot& slot);
  bool Blocked(const Slot& slot);
  void Done(Slot& slot);
  bool SettleWritten();
  size_t MostUnderWay() const;
  void Answered(const TransferDone& done);
  void Progress();

  DownloadSession& session_;
  SnapshotFetcher& fetcher_;
  int retries_;
  Namer name_;
  Events events_;
  std::deque<std::unique_ptr<Slot>> window_;  // from the oldest entry not yet told
  std::vector<Slot*> underWay_;               // those of window_ not finished, in list order
  // For each destination named in the window, the number of its latest entry.
  std::unordered_map<std::string, int> latest_;
  bool exhausted_ = false;
  bool lackedRoom_ = false;  // StartTransfers passed over an entry whose host had no room
  int numbered_ = 0;         // entries taken from `next`
  int finished_ = 0;         // entries whose result is final
  int64_t bytesDone_ = 0;    // of transfers that ended
  std::chrono::steady_clock::time_point lastProgress_{};  // told last
};

}  // namespace fw
