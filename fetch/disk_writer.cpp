#include "fetch/disk_writer.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <utility>

#include "platform/error.h"

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

// How many finished files the page cache window may hold open: a few, and
// never so many that the rest of the run (its connections, the next files)
// could run out of descriptors.
size_t FilesHeld() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 64;
  return std::min<size_t>(64, static_cast<size_t>(limit.rlim_cur / 8));
}

}  // namespace

DiskWriter::DiskWriter() : cached_(kKeptInCache, FilesHeld()) {
  for (int i = 0; i < kBuffers; ++i) {
    pool_.push_back(std::make_unique<Buffer>());
    free_.push_back(pool_.back().get());
  }
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
  }
  const Ticket ticket = job.ticket;
  Push(std::move(job));
  return ticket;
}

DiskWriter::Buffer* DiskWriter::Take() {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return !free_.empty(); });
  Buffer* buffer = free_.back();
  free_.pop_back();
  buffer->used = 0;
  return buffer;
}

void DiskWriter::Fill(Buffer* buffer) {
  Job job;
  job.kind = Job::kFill;
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

void DiskWriter::Commit(std::function<void(int, const ContentDigest&)> last) {
  Job job;
  job.kind = Job::kCommit;
  job.last = std::move(last);
  Push(std::move(job));
}

void DiskWriter::Abandon() {
  Job job;
  job.kind = Job::kAbandon;
  Push(std::move(job));
}

void DiskWriter::Push(Job job) {
  const Job::Kind kind = job.kind;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (job.kind != Job::kBegin) job.ticket = begun_;
    jobs_.push_back(std::move(job));
  }
  // The writer is woken for data only: a file's beginning waits for its first
  // buffer or its end, which saves a wake-up (another core, another context
  // switch) per file.
  if (kind != Job::kBegin) work_.notify_one();
}

bool DiskWriter::Wait(Ticket ticket, std::string* reason) {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return settled_ >= ticket; });
  const auto failure = failed_.find(ticket);
  if (failure == failed_.end()) return true;
  if (reason) *reason = failure->second;
  failed_.erase(failure);
  return false;
}

void DiskWriter::WaitForAll() {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return settled_ >= begun_; });
}

bool DiskWriter::Failed(Ticket ticket) {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_.count(ticket) != 0;
}

void DiskWriter::Settle(Ticket ticket, std::string reason) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!reason.empty()) failed_[ticket] = std::move(reason);
    settled_ = ticket;
  }
  done_.notify_all();
}

// The current file has failed: its later buffers are skipped, and the transfer
// learns it at once (Failed), as there is no point going on.
void DiskWriter::Fail(std::string reason) {
  fileError_ = std::move(reason);
  std::lock_guard<std::mutex> lock(mutex_);
  failed_[fileTicket_] = fileError_;
}

void DiskWriter::Run() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) break;  // stopping, and nothing left
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    Do(job);
  }
  // Stopped with a file still open: it was never committed, so it goes.
  if (file_) file_->Discard();
}

// One job, on the writer thread. A failure fails the current file: its later
// buffers are skipped and it is settled with the reason at its end.
void DiskWriter::Do(Job& job) {
  switch (job.kind) {
    case Job::kBegin:
      fileTicket_ = job.ticket;
      fileError_.clear();
      written_ = handedToDisk_ = 0;
      hash_.Reset();
      try {
        file_ = maker_.Make(job.destination);
        cached_.Start(file_->fd());
      } catch (const Error& e) {
        Fail(e.Description());
      } catch (const std::bad_alloc&) {
        Fail("out of memory");
      }
      return;
    case Job::kFill: {
      if (fileError_.empty() && file_ && job.buffer->used > 0) {
        try {
          file_->Write(std::string_view(job.buffer->bytes.get(), job.buffer->used));
          hash_.Update(job.buffer->bytes.get(), job.buffer->used);
          written_ += static_cast<int64_t>(job.buffer->used);
          if (written_ - handedToDisk_ >= kWritebackStep) {
            // Start writing this stretch to disk now, without waiting for it.
            sync_file_range(file_->fd(), handedToDisk_, written_ - handedToDisk_,
                            SYNC_FILE_RANGE_WRITE);
            handedToDisk_ = written_;
            cached_.Handed(handedToDisk_);
          }
        } catch (const Error& e) {
          Fail(e.Description());
        }
      }
      Return(job.buffer);
      return;
    }
    case Job::kCommit:
      if (fileError_.empty() && file_) {
        int held = -1;
        try {
          if (job.last) job.last(file_->fd(), hash_.Digest());
          // A descriptor of its own, for letting its pages go later.
          held = written_ >= kHeldFrom ? dup(file_->fd()) : -1;
          file_->Commit(TempFile::Durability::kDataOrdered);
          cached_.Finished(std::exchange(held, -1), written_);
        } catch (const Error& e) {
          fileError_ = e.Description();
        } catch (const std::bad_alloc&) {
          fileError_ = "out of memory";
        }
        if (held >= 0) close(held);
      }
      file_.reset();
      Settle(fileTicket_, fileError_);
      return;
    case Job::kAbandon:
      file_.reset();
      // An abandoned file is the transfer's failure; its reason is the caller's.
      Settle(fileTicket_, fileError_.empty() ? "abandoned" : fileError_);
      return;
  }
}

}  // namespace fw
