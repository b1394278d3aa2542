#include "fetch/disk_writer.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <utility>

#include "platform/error.h"
#include "platform/temp_file.h"

namespace fw {
namespace {

// A large file is handed to the disk in steps of this size while it is
// written, so that starting its writeback at the commit has little left to do.
constexpr int64_t kWritebackStep = 8 * 1024 * 1024;
// Only the last this many bytes written stay in the page cache (see
// PageCacheWindow); files smaller than kHeldFrom are not followed, as letting
// them go would cost more calls than it saves.
constexpr int64_t kKeptInCache = 32 * 1024 * 1024;
constexpr int64_t kHeldFrom = 128 * 1024;

// How many committed files a batch puts in place at most. Starting the
// writeback of 16 files back to back costs the system about as little per
// file as of 64, and the run's entries behind them wait less.
constexpr size_t kPlaceBatch = 16;

// How many finished files the page cache window may hold open, and how many
// files the two batches may hold together: a few, and never so many that the rest
// of the run (its connections, the next files) could run out of descriptors.
size_t FilesHeld() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 64;
  return std::min<size_t>(64, static_cast<size_t>(limit.rlim_cur / 8));
}

// Discards `temp`; a temporary file it leaves behind is named after `reason`.
void DiscardInto(TempFile& temp, std::string& reason) {
  if (const std::string left = temp.Discard(); !left.empty()) reason += "; " + left;
}

}  // namespace

bool DiskWriter::PastDeadline() const {
  return deadline_ != std::chrono::steady_clock::time_point::max() &&
         std::chrono::steady_clock::now() >= deadline_;
}

DiskWriter::DiskWriter(int buffers, std::chrono::steady_clock::time_point deadline)
    : deadline_(deadline), filesHeld_(FilesHeld()), cached_(kKeptInCache, filesHeld_) {
  for (int i = 0; i < std::max(buffers, 2); ++i) {
    pool_.push_back(std::make_unique<Buffer>());
    free_.push_back(pool_.back().get());
  }
  // Room for the most files the batches hold, so that a file moved from one
  // to the other never needs memory.
  placing_.reserve(filesHeld_ + 1);
  waiting_.reserve(filesHeld_ + 1);
  thread_ = StartThreadWithoutInterrupts([this] { Run(); });
}

DiskWriter::~DiskWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_.notify_one();
  thread_.join();
}

DiskWriter::Ticket DiskWriter::Begin(const std::string& destination) {
  Job job;
  job.kind = Job::kBegin;
  job.destination = destination;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job.ticket = ++begun_;
    unsettled_.insert(job.ticket);
  }
  const Ticket ticket = job.ticket;
  Push(std::move(job));
  return ticket;
}

DiskWriter::Buffer* DiskWriter::Take() {
  std::unique_lock<std::mutex> lock(mutex_);
  // The last buffers given back first: their pages are in memory already.
  done_.wait(lock, [this] { return !free_.empty() && full_ < kBuffers; });
  Buffer* buffer = free_.back();
  free_.pop_back();
  buffer->used = 0;
  return buffer;
}

void DiskWriter::Fill(Ticket ticket, Buffer* buffer) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++full_;
  }
  Job job;
  job.kind = Job::kFill;
  job.ticket = ticket;
  job.buffer = buffer;
  Push(std::move(job));
}

void DiskWriter::Return(Buffer* buffer) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(buffer);
  }
  done_.notify_all();
}

void DiskWriter::Rewind(Ticket ticket) {
  Job job;
  job.kind = Job::kRewind;
  job.ticket = ticket;
  Push(std::move(job));
}

void DiskWriter::Commit(Ticket ticket, std::function<void(int, const ContentDigest&)> last) {
  Job job;
  job.kind = Job::kCommit;
  job.ticket = ticket;
  job.last = std::move(last);
  Push(std::move(job));
}

void DiskWriter::Abandon(Ticket ticket) {
  Job job;
  job.kind = Job::kAbandon;
  job.ticket = ticket;
  Push(std::move(job));
}

void DiskWriter::Push(Job job) {
  const Job::Kind kind = job.kind;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  // The writer is woken for data only: a file's beginning waits for its first
  // buffer or its end, which saves a wake-up (another core, another context
  // switch) per file.
  if (kind != Job::kBegin) work_.notify_one();
}

bool DiskWriter::Wait(Ticket ticket, std::string* reason) {
  std::unique_lock<std::mutex> lock(mutex_);
  // A file waited for is not left to wait for its batch.
  if (batched_.count(ticket) != 0) {
    batchNow_ = true;
    work_.notify_one();
  }
  done_.wait(lock, [&] { return unsettled_.count(ticket) == 0; });
  const auto failure = failed_.find(ticket);
  if (failure == failed_.end()) return true;
  if (reason) *reason = failure->second;
  failed_.erase(failure);
  return false;
}

void DiskWriter::WaitForAll() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!batched_.empty()) {
    batchNow_ = true;
    work_.notify_one();
  }
  done_.wait(lock, [&] { return unsettled_.empty(); });
}

bool DiskWriter::Failed(Ticket ticket) {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_.count(ticket) != 0;
}

bool DiskWriter::Settled(Ticket ticket) {
  std::lock_guard<std::mutex> lock(mutex_);
  return unsettled_.count(ticket) == 0;
}

void DiskWriter::Settle(Ticket ticket, std::string reason) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!reason.empty()) failed_[ticket] = std::move(reason);
    unsettled_.erase(ticket);
    batched_.erase(ticket);
  }
  done_.notify_all();
}

// A file has failed: its later buffers are skipped, and the transfer learns it
// at once (Failed), as there is no point going on.
void DiskWriter::Fail(Ticket ticket, File& file, std::string reason) {
  file.error = std::move(reason);
  if (file.temp) DiscardInto(*file.temp, file.error);
  file.temp.reset();
  std::lock_guard<std::mutex> lock(mutex_);
  failed_[ticket] = file.error;
}

std::chrono::steady_clock::time_point DiskWriter::NextBatchDue() const {
  auto due = std::chrono::steady_clock::time_point::max();
  if (!placing_.empty()) due = placingSince_ + kPlaceAfter;
  if (!waiting_.empty()) due = std::min(due, waitingSince_ + kReplaceAfter);
  return due;
}

void DiskWriter::Run() {
  for (;;) {
    Job job;
    bool place = false;
    bool replace = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      const auto ready = [this] { return stopping_ || !jobs_.empty() || batchNow_; };
      // Committed files never wait for an idle writer: only replacements do,
      // for others to join them.
      if (placing_.empty() && waiting_.empty()) {
        work_.wait(lock, ready);
      } else if (placing_.empty()) {
        work_.wait_until(lock, NextBatchDue(), ready);
      }
      // Batches go once nothing else is to be done, or once their first file
      // has waited long enough, or when a caller waits for one of theirs.
      const auto now = std::chrono::steady_clock::now();
      const bool idle = jobs_.empty();
      place = !placing_.empty() && (batchNow_ || idle || now >= placingSince_ + kPlaceAfter);
      // Replacements, also those placing leaves, wait their time for others
      // to share their sync, idle writer or not; not for a caller, nor at
      // the end.
      replace = batchNow_ || (!waiting_.empty() &&
                              ((idle && stopping_) || now >= waitingSince_ + kReplaceAfter));
      batchNow_ = false;
      if (!place && !replace) {
        if (jobs_.empty() && stopping_) break;  // nothing left
        if (jobs_.empty()) continue;            // woken before its time: wait again
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
    }
    if (place) PlaceBatch();
    if (replace && !waiting_.empty()) ReplaceWaiting();
    if (!place && !replace) Do(job);
  }
  // Stopped with files still open: they were never committed, so they go.
  for (auto& [ticket, file] : files_) {
    if (file.temp) file.temp->Discard();
  }
  files_.clear();
}

// Puts the files committed since the last batch in place, in the order they
// were committed. The writeback of all of them starts before any is named: a
// run of such starts reaches the disk as fewer, larger requests, which costs
// the system far less per file than starting each one between other work.
// A file whose name is taken waits for the next batch of replacements. Each
// file costs a call or two, which a slow disk may make long: past the
// deadline the rest are given up, as at a write or a commit.
void DiskWriter::PlaceBatch() {
  std::vector<std::string> errors(placing_.size());
  // Runs `step` on the i-th file unless it failed already; false when it
  // fails now, the file then discarded.
  const auto each = [&](size_t i, const auto& step) {
    if (!errors[i].empty()) return false;
    TempFile& temp = *placing_[i].second;
    try {
      if (!PastDeadline()) return step(temp);
      errors[i] = kOutOfTime;
    } catch (const Error& e) {
      errors[i] = e.Description();
    } catch (const std::bad_alloc&) {
      errors[i] = "out of memory";
    }
    DiscardInto(temp, errors[i]);
    return false;
  };
  for (size_t i = 0; i < placing_.size(); ++i) {
    each(i, [](TempFile& temp) {
      temp.StartWriteback();
      return true;
    });
  }
  for (size_t i = 0; i < placing_.size(); ++i) {
    const bool placed = each(i, [](TempFile& temp) { return temp.PlaceIfNew(); });
    auto& [ticket, temp] = placing_[i];
    if (!errors[i].empty() || placed) {
      temp.reset();
      Settle(ticket, std::move(errors[i]));
      continue;
    }
    if (waiting_.empty()) waitingSince_ = std::chrono::steady_clock::now();
    waiting_.emplace_back(ticket, std::move(temp));
  }
  placing_.clear();
}

// Puts the files waiting to replace others in place, in the order they were
// committed. One syncfs per file system puts all their data on the disk at
// once; where it fails, each file is synced alone (fdatasync), so that each
// gets its own verdict. Each folder is synced once after its renames.
void DiskWriter::ReplaceWaiting() {
  std::vector<std::unique_ptr<TempFile>> files;
  std::vector<Ticket> tickets;
  for (auto& [ticket, temp] : waiting_) {
    tickets.push_back(ticket);
    files.push_back(std::move(temp));
  }
  waiting_.clear();
  std::vector<std::string> errors(files.size());
  std::map<dev_t, bool> synced;  // by file system: whether its syncfs succeeded
  for (size_t i = 0; i < files.size(); ++i) {
    struct stat st {};
    const dev_t device = fstat(files[i]->fd(), &st) == 0 ? st.st_dev : 0;
    const auto found = synced.find(device);
    bool onDisk = found != synced.end() && found->second;
    if (found == synced.end()) {
      onDisk = synced[device] = syncfs(files[i]->fd()) == 0;
      if (!onDisk) NoteSyncFailed(device);
    }
    // Each file may still cost a sync of its own and a rename: past the
    // deadline the rest are given up, their older files kept.
    if (PastDeadline()) {
      errors[i] = kOutOfTime;
      DiscardInto(*files[i], errors[i]);
      continue;
    }
    try {
      files[i]->Replace(onDisk);
    } catch (const Error& e) {
      errors[i] = e.Description();
    } catch (const std::bad_alloc&) {
      errors[i] = "out of memory";
    }
  }
  std::set<std::string> folders;  // synced
  for (size_t i = 0; i < files.size(); ++i) {
    if (!errors[i].empty()) continue;
    const std::string folder = FolderOf(files[i]->destination());
    if (folders.count(folder) != 0) continue;
    try {
      SyncFolder(folder, files[i]->destination());
      folders.insert(folder);
    } catch (const Error& e) {
      errors[i] = e.Description();
    }
  }
  for (size_t i = 0; i < files.size(); ++i) Settle(tickets[i], std::move(errors[i]));
}

// One job, on the writer thread. A failure fails the job's file: its later
// buffers are skipped and it is settled with the reason at its end.
void DiskWriter::Do(Job& job) {
  if (job.kind == Job::kBegin) return Create(job.ticket, job.destination);
  const auto found = files_.find(job.ticket);
  if (found == files_.end()) {  // a ticket never begun: nothing to do
    if (job.buffer) Written(job.buffer);
    return;
  }
  File& file = found->second;
  // The window follows one file at a time: the one written last.
  if (file.temp && cachedTicket_ != job.ticket) {
    cachedTicket_ = job.ticket;
    cached_.Start(file.temp->fd());
    cached_.Handed(file.handedToDisk);
  }
  switch (job.kind) {
    case Job::kBegin:
      return;
    case Job::kFill:
      WriteBuffer(job.ticket, file, job.buffer);
      return;
    case Job::kRewind:
      Truncate(job.ticket, file);
      return;
    case Job::kCommit:
      if (Place(job, file)) {
        // Put in place with the next batch, settled then.
        files_.erase(found);
        // A batch goes at kPlaceBatch files, so that the run's next entries
        // need not wait for a large one. The two batches hold their files
        // open: together no more than the page cache window may.
        if (placing_.size() >= kPlaceBatch || placing_.size() + waiting_.size() >= filesHeld_) {
          PlaceBatch();
        }
        if (waiting_.size() >= filesHeld_) ReplaceWaiting();
        return;
      }
      break;
    case Job::kAbandon:
      // An abandoned file is the transfer's failure; its reason is the caller's.
      if (file.error.empty()) file.error = "abandoned";
      if (file.temp) DiscardInto(*file.temp, file.error);
      break;
  }
  if (cachedTicket_ == job.ticket) {
    cachedTicket_ = 0;
    cached_.Start(-1);
  }
  std::string error = std::move(file.error);
  files_.erase(found);  // closes, and removes, a file not put in place
  Settle(job.ticket, std::move(error));
}

void DiskWriter::Create(Ticket ticket, const std::string& destination) {
  File& file = files_[ticket];
  try {
    file.temp = maker_.Make(destination);
  } catch (const Error& e) {
    Fail(ticket, file, e.Description());
  } catch (const std::bad_alloc&) {
    Fail(ticket, file, "out of memory");
  }
}

void DiskWriter::Written(Buffer* buffer) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --full_;
  }
  Return(buffer);
}

void DiskWriter::WriteBuffer(Ticket ticket, File& file, Buffer* buffer) {
  // Past the deadline a file is given up between two writes: a slow disk
  // holds the run no longer than the write under way.
  if (file.error.empty() && file.temp && PastDeadline()) Fail(ticket, file, kOutOfTime);
  if (file.error.empty() && file.temp && buffer->used > 0) {
    try {
      file.temp->Write(std::string_view(buffer->bytes.get(), buffer->used));
      file.hash.Update(buffer->bytes.get(), buffer->used);
      file.written += static_cast<int64_t>(buffer->used);
      if (file.written - file.handedToDisk >= kWritebackStep) {
        // Start writing this stretch to disk now, without waiting for it.
        sync_file_range(file.temp->fd(), file.handedToDisk, file.written - file.handedToDisk,
                        SYNC_FILE_RANGE_WRITE);
        file.handedToDisk = file.written;
        cached_.Handed(file.handedToDisk);
      }
    } catch (const Error& e) {
      Fail(ticket, file, e.Description());
    }
  }
  Written(buffer);
}

void DiskWriter::Truncate(Ticket ticket, File& file) {
  if (!file.error.empty() || !file.temp) return;
  try {
    file.temp->Truncate();
  } catch (const Error& e) {
    Fail(ticket, file, e.Description());
  }
  file.written = file.handedToDisk = 0;
  file.hash.Reset();
  cached_.Start(file.temp ? file.temp->fd() : -1);
}

// Runs the caller's last step on the file and leaves it in placing_ for the
// next batch: true then. A failure is left in file.error.
bool DiskWriter::Place(Job& job, File& file) {
  if (file.error.empty() && file.temp && PastDeadline()) Fail(job.ticket, file, kOutOfTime);
  if (!file.error.empty() || !file.temp) return false;
  int held = -1;
  try {
    if (job.last) job.last(file.temp->fd(), file.hash.Digest());
    // A descriptor of its own, for letting its pages go later.
    held = file.written >= kHeldFrom ? dup(file.temp->fd()) : -1;
    // Of two files of one name, the one committed later goes later.
    const auto named = [&](const auto& waiting) {
      return waiting.second->destination() == file.temp->destination();
    };
    if (std::any_of(placing_.begin(), placing_.end(), named)) PlaceBatch();
    if (std::any_of(waiting_.begin(), waiting_.end(), named)) ReplaceWaiting();
    cached_.Finished(std::exchange(held, -1), file.written);
    cachedTicket_ = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      batched_.insert(job.ticket);  // settling the file takes it out again
    }
    if (placing_.empty()) placingSince_ = std::chrono::steady_clock::now();
    placing_.emplace_back(job.ticket, std::move(file.temp));
  } catch (const Error& e) {
    file.error = e.Description();
  } catch (const std::bad_alloc&) {
    file.error = "out of memory";
  }
  if (held >= 0) close(held);
  if (!file.error.empty()) {
    if (file.temp) DiscardInto(*file.temp, file.error);
    return false;
  }
  return true;
}

}  // namespace fw
