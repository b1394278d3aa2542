// Keeps what a run writes from filling the page cache.
//
// A run of large downloads would otherwise leave every byte it wrote cached,
// pushing out what the rest of the system uses, although a snapshot is seldom
// read back soon. Reusing pages just freed is also much cheaper than taking
// fresh ones (on a virtual machine whose host takes back free memory, three
// times cheaper per byte written).
//
// The window counts the bytes written last, up to `keep`: the current file's
// bytes already handed to the disk (Handed) and the files finished before it
// (Finished). What falls out of it is let go with POSIX_FADV_DONTNEED. Pages
// not yet on disk are left alone by the kernel, so nothing here waits for the
// disk or loses a byte; at worst they stay cached. At most `files` finished
// files are held, each by a descriptor of its own, closed when let go or when
// the window is destroyed (the last files written stay cached).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

namespace fw {

class PageCacheWindow {
 public:
  PageCacheWindow(int64_t keep, size_t files) : keep_(keep), files_(files) {}
  ~PageCacheWindow();
  PageCacheWindow(const PageCacheWindow&) = delete;
  PageCacheWindow& operator=(const PageCacheWindow&) = delete;

  // A new file is being written, open as `fd` (the descriptor stays the
  // caller's). One begun before and not finished is forgotten.
  void Start(int fd);
  // The current file has its first `handed` bytes on their way to the disk.
  void Handed(int64_t handed);
  // The current file is finished, `size` bytes long; the window takes over
  // `fd`, a descriptor of its own for the file (-1: nothing to let go later).
  void Finished(int fd, int64_t size) noexcept;

 private:
  struct Held {
    int fd;
    int64_t from;  // bytes before this are let go already
    int64_t size;
  };
  void Trim() noexcept;

  const int64_t keep_;
  const size_t files_;
  std::deque<Held> finished_;
  int64_t finishedBytes_ = 0;  // still cached of the finished files
  int currentFd_ = -1;
  int64_t currentFrom_ = 0;  // of the current file, let go already
  int64_t currentHanded_ = 0;
};

}  // namespace fw
