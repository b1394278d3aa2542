// Writing downloaded files on a thread of their own, so that the transfers go
// on receiving while the disk works.
//
// Several files may be under way at once, one per transfer: Begin() names a
// file's destination and gives its ticket, Fill() gives its data buffer by
// buffer, then Commit() or Abandon() ends it; Rewind() empties it again (a
// transfer that must start over). The writer thread creates each file's
// temporary file beside its destination (making a file is the costliest step
// of a small download, so the transfer does not wait for it), writes each
// buffer, starts the writeback of a large file as it grows, and at the commit
// runs the caller's last step on the finished file (its record, given the
// file's size and content hash, taken as the buffers were written). Committed
// files are put in place in batches: the writeback of each is started, then
// each gets its new name at once (TempFile::PlaceIfNew), nothing waited for.
// A batch goes once the writer has nothing else to do, at 16 files, after
// kPlaceAfter, before a file of the same name, or when a caller waits for one
// of its files: committed files gather only while the writer is busy. A file
// that replaces an existing one waits, up to kReplaceAfter or until a caller
// waits for it, for others that do, and a batch of them goes together: one
// syncfs puts their data on the disk (or, where it fails, an fdatasync of
// each), then each is renamed over its file and each folder is synced once; a
// failed sync fails that file, and the file it would have replaced stays. Jobs
// are done in the order they are handed over and a batch in the order it was
// committed, so of two files of one name the one committed later wins. Only
// the last 32 MiB written stay in the page cache (PageCacheWindow).
//
// Buffers come from a pool of `buffers` of kBufferSize bytes, and at most
// kBuffers of them wait full for the disk: Take() waits while the disk is
// behind, so memory stays flat whatever the speed of the network. The pool
// must hold kBuffers more than there are files being filled at once (each
// holds the buffer it fills), or Take() could wait for ever. A file whose
// write or commit fails is discarded and its temporary file removed (a
// temporary file that cannot be removed is named in the reason); Wait() gives
// the reason, and Failed() lets the transfer stop early. Once `deadline` has
// passed, a file not yet in place fails with kOutOfTime at its next write, its
// commit or its turn in a batch, so a slow disk holds the run at most one
// system call past it (one that never returns, on a hung mount, holds it for
// good). Destroying the writer finishes the files handed over and discards
// those not committed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fetch/content_hash.h"
#include "fetch/file_maker.h"
#include "fetch/page_cache_window.h"
#include "platform/files.h"
#include "platform/temp_file.h"

namespace fw {

class DiskWriter {
 public:
  static constexpr size_t kBufferSize = 256 * 1024;
  static constexpr int kBuffers = 8;

  struct Buffer {
    // kBufferSize bytes, left as they were: only the first `used` count. Not
    // zeroing them spares the first fetch 2 MiB of writes before its request.
    std::unique_ptr<char[]> bytes{new char[kBufferSize]};
    size_t used = 0;
  };
  using Ticket = uint64_t;
  // The reason of a file given up at the deadline.
  static constexpr char kOutOfTime[] = "the run's time limit was reached";
  // How long the first file of a batch waits for others: of committed files
  // (only while the writer is busy with others), and of files that replace
  // existing ones (also while it is idle).
  static constexpr std::chrono::milliseconds kPlaceAfter{10};
  static constexpr std::chrono::milliseconds kReplaceAfter{50};

  explicit DiskWriter(int buffers = kBuffers, std::chrono::steady_clock::time_point deadline =
                                                  std::chrono::steady_clock::time_point::max());
  ~DiskWriter();
  DiskWriter(const DiskWriter&) = delete;
  DiskWriter& operator=(const DiskWriter&) = delete;

  // Begins a file to be put in place as `destination`. When its temporary
  // file cannot be created, the file fails (Failed() turns true) with
  // TempFile's reason.
  Ticket Begin(const std::string& destination);
  // An empty buffer to fill; waits for one while all are in use.
  Buffer* Take();
  // Hands `buffer` (from Take, `used` bytes filled) over to the file of `ticket`.
  void Fill(Ticket ticket, Buffer* buffer);
  // Gives a buffer back unwritten.
  void Return(Buffer* buffer);
  // Empties the file of `ticket`: what is filled after this is all of it, and
  // its content hash starts anew.
  void Rewind(Ticket ticket);
  // The file of `ticket` is whole: `last(fd, digest)` runs on it with its size
  // and content hash (an fw::Error it raises fails the file), then it is put
  // in place.
  void Commit(Ticket ticket, std::function<void(int fd, const ContentDigest& digest)> last);
  // The file of `ticket` is not wanted: it is discarded.
  void Abandon(Ticket ticket);
  // Waits until the file of `ticket` is in place (true) or failed (false, with
  // the reason in `reason`).
  bool Wait(Ticket ticket, std::string* reason);
  // Waits until every file handed over is in place or failed.
  void WaitForAll();
  // Whether the file of `ticket` has failed already (a full disk, say).
  bool Failed(Ticket ticket);
  // Whether the file of `ticket` is in place or failed (Wait would not wait).
  bool Settled(Ticket ticket);

 private:
  struct Job {
    enum Kind { kBegin, kFill, kRewind, kCommit, kAbandon } kind = kAbandon;
    Ticket ticket = 0;
    std::string destination;
    Buffer* buffer = nullptr;
    std::function<void(int, const ContentDigest&)> last;
  };
  // A file being written, on the writer thread.
  struct File {
    std::unique_ptr<TempFile> temp;
    std::string error;  // why it failed; later buffers are skipped
    int64_t written = 0;
    int64_t handedToDisk = 0;
    ContentHash hash;
  };
  void Run();
  void Do(Job& job);
  // The steps of Do, one per kind of job.
  void Create(Ticket ticket, const std::string& destination);
  void WriteBuffer(Ticket ticket, File& file, Buffer* buffer);
  void Truncate(Ticket ticket, File& file);
  bool Place(Job& job, File& file);
  void Written(Buffer* buffer);  // a buffer handed over is free again
  void Settle(Ticket ticket, std::string reason);
  bool PastDeadline() const;
  void PlaceBatch();
  void ReplaceWaiting();
  std::chrono::steady_clock::time_point NextBatchDue() const;
  void Fail(Ticket ticket, File& file, std::string reason);
  void Push(Job job);

  std::mutex mutex_;
  std::condition_variable work_;  // a job for the writer
  std::condition_variable done_;  // a buffer free, a file settled
  std::deque<Job> jobs_;
  std::vector<std::unique_ptr<Buffer>> pool_;
  std::vector<Buffer*> free_;
  std::map<Ticket, std::string> failed_;  // reasons of settled files that failed
  std::set<Ticket> unsettled_;            // begun, neither in place nor failed yet
  std::set<Ticket> batched_;              // committed, waiting for a batch
  bool batchNow_ = false;                 // a caller waits for one of those
  int full_ = 0;                          // buffers handed over and not yet written
  Ticket begun_ = 0;
  bool stopping_ = false;
  const std::chrono::steady_clock::time_point deadline_;
  // How many files the batches and the page cache window may each hold open,
  // taken once: the batches keep room for that many.
  const size_t filesHeld_;

  TempFileMaker maker_;  // makes the next files while this one is written

  // The writer thread's own: the files being written, and the one whose pages
  // the window follows.
  std::map<Ticket, File> files_;
  // Files committed, for the next batch to put in place, and files committed
  // over existing ones, for the next batch of replacements; since when the
  // first of each has waited.
  std::vector<std::pair<Ticket, std::unique_ptr<TempFile>>> placing_;
  std::chrono::steady_clock::time_point placingSince_{};
  std::vector<std::pair<Ticket, std::unique_ptr<TempFile>>> waiting_;
  std::chrono::steady_clock::time_point waitingSince_{};
  Ticket cachedTicket_ = 0;
  PageCacheWindow cached_;

  std::thread thread_;
};

}  // namespace fw
