// Writing downloaded files on a thread of their own, so that the transfer goes
// on receiving (and, between entries, sends the next request) while the disk
// works.
//
// Files are handed over one after the other: Begin() names a file's
// destination, Fill() gives its data buffer by buffer, then Commit() or
// Abandon() ends it. The writer thread creates the file's temporary file beside
// the destination (making a file is the costliest step of a small download, so
// the transfer does not wait for it), writes each buffer, starts the writeback of a
// large file as it grows, and at the commit runs the caller's last step on the
// finished file (its record, given the file's size and content hash, taken as
// the buffers were written), starts the writeback of what is left and puts it
// in place (TempFile::Commit, kDataOrdered). Files are put in place in the
// order they were begun, so that of two files of one name the later wins.
// Only the last 32 MiB written stay in the page cache (PageCacheWindow).
//
// Buffers come from a pool of kBuffers of kBufferSize bytes: Take() waits while
// the disk is behind, so memory stays flat whatever the speed of the network.
// A file whose write or commit fails is discarded and its temporary file
// removed; Wait() gives the reason, and Failed() lets the transfer stop early.
// Destroying the writer finishes the files handed over and discards one not
// yet committed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fetch/content_hash.h"
#include "fetch/file_maker.h"
#include "fetch/page_cache_window.h"
#include "platform/files.h"

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

  DiskWriter();
  ~DiskWriter();
  DiskWriter(const DiskWriter&) = delete;
  DiskWriter& operator=(const DiskWriter&) = delete;

  // Begins a file to be put in place as `destination`. The file begun before
  // must have been committed or abandoned. When its temporary file cannot be
  // created, the file fails (Failed() turns true) with TempFile's reason.
  Ticket Begin(const std::string& destination);
  // An empty buffer to fill; waits for one while all are in use.
  Buffer* Take();
  // Hands `buffer` (from Take, `used` bytes filled) over to the file begun last.
  void Fill(Buffer* buffer);
  // Gives a buffer back unwritten.
  void Return(Buffer* buffer);
  // The file begun last is whole: `last(fd, digest)` runs on it with its size
  // and content hash (an fw::Error it raises fails the file), then it is put
  // in place.
  void Commit(std::function<void(int fd, const ContentDigest& digest)> last);
  // The file begun last is not wanted: it is discarded.
  void Abandon();
  // Waits until the file of `ticket` is in place (true) or failed (false, with
  // the reason in `reason`).
  bool Wait(Ticket ticket, std::string* reason);
  // Waits until every file handed over is in place or failed.
  void WaitForAll();
  // Whether the file of `ticket` has failed already (a full disk, say).
  bool Failed(Ticket ticket);

 private:
  struct Job {
    enum Kind { kBegin, kFill, kCommit, kAbandon } kind = kAbandon;
    Ticket ticket = 0;
    std::string destination;
    Buffer* buffer = nullptr;
    std::function<void(int, const ContentDigest&)> last;
  };
  void Run();
  void Do(Job& job);
  void Settle(Ticket ticket, std::string reason);
  void Fail(std::string reason);
  void Push(Job job);

  std::mutex mutex_;
  std::condition_variable work_;  // a job for the writer
  std::condition_variable done_;  // a buffer free, a file settled
  std::deque<Job> jobs_;
  std::vector<std::unique_ptr<Buffer>> pool_;
  std::vector<Buffer*> free_;
  std::map<Ticket, std::string> failed_;  // reasons of settled files that failed
  Ticket begun_ = 0;
  Ticket settled_ = 0;  // every ticket up to this one is settled
  bool stopping_ = false;

  TempFileMaker maker_;  // makes the next files while this one is written

  // The writer thread's own: the file being written.
  std::unique_ptr<TempFile> file_;
  Ticket fileTicket_ = 0;
  std::string fileError_;
  int64_t written_ = 0;
  int64_t handedToDisk_ = 0;
  ContentHash hash_;
  PageCacheWindow cached_;

  std::thread thread_;
};

}  // namespace fw
