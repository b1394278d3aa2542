#include "fetch/file_maker.h"
#include "platform/temp_file.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace fw {
namespace {

// An eighth of the descriptors the process may open, at most kAhead; none
// when that would be a single one.
size_t AheadForLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur == RLIM_INFINITY) return TempFileMaker::kAhead;
  const size_t eighth = static_cast<size_t>(limit.rlim_cur / 8);
  return eighth < 2 ? 0 : std::min(eighth, TempFileMaker::kAhead);
}

}  // namespace

TempFileMaker::TempFileMaker() : ahead_(AheadForLimit()) {
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
    wake = ahead_ > 0 && ready_.size() <= ahead_ / 2;
  }
  if (wake) wanted_.notify_one();
  if (fd >= 0) return std::make_unique<TempFile>(destination, fd);
  return std::make_unique<TempFile>(destination);
}

void TempFileMaker::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // Woken when half the files are used, it makes them up to ahead_ again:
    // one wake-up for several files.
    wanted_.wait(lock, [this] {
      return stopping_ || (!folder_.empty() && !failing_ && !starved_ && ahead_ > 0 &&
                           ready_.size() <= ahead_ / 2);
    });
    while (!stopping_ && !failing_ && !starved_ && ready_.size() < ahead_) {
      const std::string folder = folder_;
      lock.unlock();
      const int fd = TempFile::MakeUnnamed(folder);
      const int error = errno;
      lock.lock();
      if (fd < 0 && (error == EMFILE || error == ENFILE)) {
        // The descriptors held here are wanted by the rest of the run.
        starved_ = true;
        DropReady();
      } else if (folder != folder_) {
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
