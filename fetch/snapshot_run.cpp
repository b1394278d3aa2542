#include "fetch/snapshot_run.h"

#include <algorithm>
#include <thread>

#include "fetch/retry.h"

namespace fw {

using Clock = std::chrono::steady_clock;

struct SnapshotRun::Slot {
  enum class State {
    kQueued,   // waits for a free transfer (and for earlier entries of its name)
    kRunning,  // its transfer is under way
    kWaiting,  // waits until `due` for its next attempt
    kWriting,  // its file is on its way to the disk
    kDone,     // its result is final, to be told in its turn
  };
  // What an entry not finished needs besides its names.
  struct Live {
    std::string origin;                         // of its URL, once looked at
    std::unique_ptr<SnapshotFetcher::Job> job;  // from its start
    bool told = false;                          // `started` was told
    uint64_t transfer = 0;                      // the session's id while kRunning
    Clock::time_point due{};
    int64_t bytes = 0;  // of the transfer under way
    int64_t total = -1;
  };
  int number = 0;
  State state = State::kQueued;
  bool named = false;
  // The number of the latest earlier entry of the same destination that was
  // in the window when this one was named; 0 for none.
  int after = 0;
  SnapshotEntry entry;                                    // only its URL until it is named
  SnapshotResult result;                                  // once kDone
  std::unique_ptr<Live> live = std::make_unique<Live>();  // until kDone
};

SnapshotRun::SnapshotRun(DownloadSession& session, SnapshotFetcher& fetcher, int retries,
                         Namer name, Events events)
    : session_(session),
      fetcher_(fetcher),
      retries_(std::clamp(retries, 0, kMostRetries)),
      name_(std::move(name)),
      events_(std::move(events)) {
  session_.OnProgress([this](uint64_t id, const DownloadProgress& progress) {
    for (Slot* slot : underWay_) {
      if (slot->state == Slot::State::kRunning && slot->live->transfer == id) {
        slot->live->bytes = progress.bytes;
        slot->live->total = progress.total;
        break;
      }
    }
    // libcurl tells each transfer's progress many times a second; the
    // observer hears of the run's at most every kProgressEvery, and as each
    // transfer ends (Answered).
    if (Clock::now() - lastProgress_ >= kProgressEvery) Progress();
  });
}

SnapshotRun::~SnapshotRun() {
  session_.OnProgress(nullptr);
}

void SnapshotRun::Run(const std::function<std::optional<std::string>()>& next) {
  for (;;) {
    Fill(next);
    TellFinished();
    if (window_.empty()) {
      if (exhausted_) return;
      continue;
    }
    // Until a transfer ends, or the next retry is due. A retry already due
    // that found no free transfer waits for one to end.
    Clock::time_point until = StartTransfers();
    if (session_.Running() > 0) {
      // The entries under way leave no room for the next ones while a
      // transfer is free: those whose files are in place make room. Not while
      // an entry waits for room at its host: the next ones would most likely
      // wait alike, and waiting for the disk would hold the transfers.
      if (!exhausted_ && !lackedRoom_ && underWay_.size() >= MostUnderWay() &&
          session_.Running() < session_.MostTransfers() && SettleWritten()) {
        continue;
      }
      for (const TransferDone& done : session_.Wait(until)) Answered(done);
      continue;
    }
    // Nothing under way: an entry waits for a retry, or for an earlier entry
    // of its name whose file is on its way to the disk.
    for (Slot* slot : std::vector<Slot*>(underWay_)) {
      if (slot->state == Slot::State::kWriting) {
        fetcher_.Finish(*slot->live->job);
        Done(*slot);
        until = Clock::now();
      }
    }
    if (until != Clock::time_point::max()) std::this_thread::sleep_until(until);
  }
}

size_t SnapshotRun::MostUnderWay() const {
  return std::max(kUnderWay, static_cast<size_t>(2 * session_.MostTransfers()));
}

// Takes entries from `next` while fewer than MostUnderWay() are under way and
// fewer than kWaiting finished ones wait for their turn.
void SnapshotRun::Fill(const std::function<std::optional<std::string>()>& next) {
  while (!exhausted_ && underWay_.size() < MostUnderWay() &&
         window_.size() - underWay_.size() < kWaiting) {
    std::optional<std::string> url = next();
    if (!url) {
      exhausted_ = true;
      break;
    }
    auto slot = std::make_unique<Slot>();
    slot->number = ++numbered_;
    slot->entry.url = std::move(*url);
    underWay_.push_back(slot.get());
    window_.push_back(std::move(slot));
  }
}

// Tells the results at the front of the window, in list order. The oldest
// entry is told once its file is in place; while transfers run, the run does
// not wait for the disk to get there (Run waits once nothing else is left).
void SnapshotRun::TellFinished() {
  while (!window_.empty()) {
    Slot& front = *window_.front();
    if (front.state == Slot::State::kWriting && session_.Settled(front.live->job->ticket)) {
      fetcher_.Finish(*front.live->job);
      Done(front);
    }
    if (front.state != Slot::State::kDone) return;
    if (front.entry.recordUrl.empty()) front.entry.recordUrl = front.entry.url;
    if (events_.finished) events_.finished(front.number, front.entry, front.result);
    if (front.named) {
      const auto latest = latest_.find(front.entry.destination);
      if (latest->second == front.number) latest_.erase(latest);
    }
    window_.pop_front();
  }
}

// The entry's result is final: it keeps only that and its names (its job, with
// the basis's descriptor and the request, goes) until it is told, a few
// hundred bytes: the URL it records is dropped while it is the URL itself.
void SnapshotRun::Done(Slot& slot) {
  slot.result = std::move(slot.live->job->result);
  slot.live.reset();
  slot.state = Slot::State::kDone;
  if (slot.entry.recordUrl == slot.entry.url) slot.entry.recordUrl = std::string();
  underWay_.erase(std::find(underWay_.begin(), underWay_.end(), &slot));
  ++finished_;
}

// Finishes the entries whose files are in place; when none is, waits for the
// oldest file on its way to the disk. False when no file is on its way.
bool SnapshotRun::SettleWritten() {
  Slot* oldest = nullptr;
  bool settled = false;
  for (Slot* slot : std::vector<Slot*>(underWay_)) {
    if (slot->state != Slot::State::kWriting) continue;
    if (oldest == nullptr) oldest = slot;
    if (session_.Settled(slot->live->job->ticket)) {
      fetcher_.Finish(*slot->live->job);
      Done(*slot);
      settled = true;
    }
  }
  if (oldest == nullptr) return false;
  if (!settled) {
    fetcher_.Finish(*oldest->live->job);
    Done(*oldest);
  }
  return true;
}

// Names the entry, and notes the latest earlier entry of its
// destination still held (entries are named in list order, so every earlier
// one is named by then).
void SnapshotRun::Name(Slot& slot) {
  slot.named = true;
  slot.entry = name_(slot.entry.url);
  const auto [latest, first] = latest_.try_emplace(slot.entry.destination, slot.number);
  if (!first) {
    slot.after = latest->second;
    latest->second = slot.number;
  }
}

// Whether the entry at `at` must wait for the earlier one of its destination:
// until that one's result is final, started or not. That one waited for its
// own earlier one in turn, so all of them are settled by then, and of several
// entries of one name the last in the list writes last.
bool SnapshotRun::Blocked(const Slot& slot) {
  const int after = slot.after;
  const int front = window_.front()->number;
  if (after < front) return false;  // told already
  Slot& earlier = *window_[after - front];
  if (earlier.state == Slot::State::kDone) return false;
  if (earlier.state != Slot::State::kWriting) return true;
  // Its body is whole: once its file is in place, this entry may begin.
  fetcher_.Finish(*earlier.live->job);
  Done(earlier);
  return false;
}

// Starts transfers for the entries whose turn it is, in list order, while
// fewer than the session's MostTransfers() are under way. Returns when the
// next retry it passed over falls due (time_point::max() for none).
Clock::time_point SnapshotRun::StartTransfers() {
  const Clock::time_point now = Clock::now();
  Clock::time_point nextDue = Clock::time_point::max();
  const int most = session_.MostTransfers();
  lackedRoom_ = false;
  // A copy: an earlier entry found finished leaves underWay_ (Blocked).
  for (Slot* at : std::vector<Slot*>(underWay_)) {
    if (session_.Running() >= most) break;
    Slot& slot = *at;
    const bool waiting = slot.state == Slot::State::kWaiting;
    if (waiting && slot.live->due > now) {
      nextDue = std::min(nextDue, slot.live->due);
      continue;
    }
    if (!waiting && slot.state != Slot::State::kQueued) continue;
    // Named before its host is asked for room, so that a later entry of the
    // same name, to a host with room, sees it and waits.
    if (!slot.named) Name(slot);
    if (slot.state == Slot::State::kQueued && Blocked(slot)) continue;
    if (slot.live->origin.empty()) slot.live->origin = DownloadSession::Origin(slot.entry.url);
    if (!session_.HasRoomFor(slot.live->origin)) {
      lackedRoom_ = true;
      continue;
    }
    if (slot.state == Slot::State::kQueued) slot.live->job = fetcher_.Prepare(slot.entry);
    if (!slot.live->told) {
      slot.live->told = true;
      if (events_.started) events_.started(slot.number, slot.entry);
    }
    slot.live->bytes = 0;
    slot.live->total = -1;
    slot.state = Slot::State::kRunning;
    slot.live->transfer =
        session_.Start(slot.entry.url, slot.entry.destination, slot.live->job->request);
  }
  return nextDue;
}

void SnapshotRun::Answered(const TransferDone& done) {
  const auto found = std::find_if(underWay_.begin(), underWay_.end(), [&](const Slot* slot) {
    return slot->state == Slot::State::kRunning && slot->live->transfer == done.id;
  });
  if (found == underWay_.end()) return;
  Slot& slot = **found;
  if (done.partial == 0) bytesDone_ += slot.live->bytes;  // a continued one counts them again
  slot.live->bytes = 0;
  slot.live->transfer = 0;
  switch (fetcher_.Answered(*slot.live->job, done)) {
    case SnapshotFetcher::Step::kSettle:
      slot.state = Slot::State::kWriting;
      break;
    case SnapshotFetcher::Step::kDone:
      Done(slot);
      break;
    case SnapshotFetcher::Step::kAgain:
      slot.state = Slot::State::kWaiting;
      slot.live->due = Clock::now();
      break;
    case SnapshotFetcher::Step::kFailed: {
      const auto wait =
          NextRetry(slot.live->job->retries + 1, retries_, done.info, session_.Limits().deadline);
      if (!wait) {
        fetcher_.GiveUp(*slot.live->job);
        Done(slot);
        break;
      }
      ++slot.live->job->retries;
      if (events_.retrying) {
        events_.retrying(slot.number, slot.live->job->retries, retries_, done.info.changed);
      }
      slot.state = Slot::State::kWaiting;
      slot.live->due = Clock::now() + *wait;
      break;
    }
  }
  Progress();
}

void SnapshotRun::Progress() {
  if (!events_.progress) return;
  lastProgress_ = Clock::now();
  RunProgress progress;
  progress.done = finished_;
  progress.bytes = bytesDone_;
  for (const Slot* slot : underWay_) {
    if (slot->state != Slot::State::kRunning) continue;
    ++progress.running;
    progress.bytes += slot->live->bytes;
    if (progress.oldestNumber == 0) {
      progress.oldestNumber = slot->number;
      progress.oldestUrl = slot->entry.url;
      progress.oldestBytes = slot->live->bytes;
      progress.oldestTotal = slot->live->total;
    }
  }
  events_.progress(progress);
}

}  // namespace fw
