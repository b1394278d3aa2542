#include "fetch/page_cache_window.h"

#include <fcntl.h>
#include <unistd.h>

namespace fw {

PageCacheWindow::~PageCacheWindow() {
  for (const Held& held : finished_) close(held.fd);
}

void PageCacheWindow::Start(int fd) {
  currentFd_ = fd;
  currentFrom_ = currentHanded_ = 0;
}

void PageCacheWindow::Handed(int64_t handed) {
  currentHanded_ = handed;
  Trim();
}

void PageCacheWindow::Finished(int fd, int64_t size) noexcept {
  const int64_t from = currentFrom_;
  Start(-1);
  if (fd < 0) return;
  try {
    finished_.push_back({fd, from, size});
  } catch (...) {
    close(fd);  // no memory to hold it: it stays cached, as any file would
    return;
  }
  finishedBytes_ += size - from;
  Trim();
}

// Oldest first: the finished files, then the start of the current one.
void PageCacheWindow::Trim() noexcept {
  int64_t current = currentHanded_ - currentFrom_;
  while (!finished_.empty() && (finishedBytes_ + current > keep_ || finished_.size() > files_)) {
    const Held held = finished_.front();
    finished_.pop_front();
    finishedBytes_ -= held.size - held.from;
    posix_fadvise(held.fd, held.from, 0, POSIX_FADV_DONTNEED);
    close(held.fd);
  }
  if (current > keep_ && currentFd_ >= 0) {
    // Whole pages: the kernel skips a page the range only partly covers.
    static const int64_t page = sysconf(_SC_PAGESIZE);
    const int64_t upTo = (currentHanded_ - keep_) / page * page;
    posix_fadvise(currentFd_, currentFrom_, upTo - currentFrom_, POSIX_FADV_DONTNEED);
    currentFrom_ = upTo;
  }
}

}  // namespace fw
