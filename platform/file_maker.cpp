#include "platform/file_maker.h"

#include <unistd.h>

namespace fw {

TempFileMaker::TempFileMaker() {
  thread_ = StartThreadWithoutInterrupts([this] { Run(); });
}

TempFileMaker::~TempFileMaker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wanted_.notify_all();
  thread_.join();
  DropReady();
}

void TempFileMaker::DropReady() {
  for (int fd : ready_) close(fd);
  ready_.clear();
}

std::unique_ptr<TempFile> TempFileMaker::Make(const std::string& destination) {
  const std::string folder = FolderOf(destination);
  int fd = -1;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (folder != folder_) {
      DropReady();
      folder_ = folder;
      failing_ = false;
    }
    if (!ready_.empty()) {
      fd = ready_.front();
      ready_.pop_front();
    }
    wake = ready_.size() <= kAhead / 2;
  }
  if (wake) wanted_.notify_one();
  if (fd >= 0) return std::make_unique<TempFile>(destination, fd);
  return std::make_unique<TempFile>(destination);
}

void TempFileMaker::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // Woken when half the files are used, it makes them up to kAhead again:
    // one wake-up for several files.
    wanted_.wait(lock, [this] {
      return stopping_ || (!folder_.empty() && !failing_ && ready_.size() <= kAhead / 2);
    });
    while (!stopping_ && !failing_ && ready_.size() < kAhead) {
      const std::string folder = folder_;
      lock.unlock();
      const int fd = TempFile::MakeUnnamed(folder);
      lock.lock();
      if (folder != folder_) {
        if (fd >= 0) close(fd);  // made for a folder no longer wanted
      } else if (fd < 0) {
        failing_ = true;  // Make() makes each file itself, and says why it cannot
      } else {
        ready_.push_back(fd);
      }
    }
    if (stopping_) return;
  }
}

}  // namespace fw
