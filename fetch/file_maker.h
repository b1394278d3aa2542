// Temporary files made ahead of time, on a thread of their own.
//
// Making a file is the costliest step of writing a small download: the file
// system searches for a free inode, and on ext4 without a journal it passes
// over every inode freed in the last minute. A run writes its files one after
// the other into one folder, so while one is written the next few can be made.
//
// Make(destination) gives a TempFile beside `destination`: one made ahead for
// its folder when one is ready, else one made there and then (the first file
// of a folder, a folder that changed, a file system without unnamed files),
// which raises as TempFile's constructor does. Meanwhile the folder's next
// Ahead() files are made, in batches. Files made ahead are unnamed: nothing
// in the folder shows them, and those never used are gone when closed, so
// neither an interrupt nor a kill leaves anything of them behind.
//
// Each file made ahead holds a descriptor, so they never take those the rest
// of the run needs (its connections, the file being written): Ahead() is at
// most an eighth of the process's soft RLIMIT_NOFILE, none when that is very
// low, and once a make fails for want of descriptors (EMFILE, ENFILE) the
// files made ahead are closed and no more are made ahead.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/temp_file.h"

namespace fw {

class TempFileMaker {
 public:
  static constexpr size_t kAhead = 8;  // the most made ahead

  TempFileMaker();
  ~TempFileMaker();
  TempFileMaker(const TempFileMaker&) = delete;
  TempFileMaker& operator=(const TempFileMaker&) = delete;

  std::unique_ptr<TempFile> Make(const std::string& destination);

  // How many files are made ahead: kAhead, or fewer where descriptors are few.
  size_t Ahead() const { return ahead_; }

 private:
  void Run();
  void DropReady();  // with mutex_ held

  std::mutex mutex_;
  std::condition_variable wanted_;
  std::string folder_;     // the folder files are made ahead for
  std::deque<int> ready_;  // descriptors of unnamed files made in it
  bool failing_ = false;   // the folder takes no unnamed file: made on demand only
  bool starved_ = false;   // descriptors ran out: none made ahead any more
  const size_t ahead_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace fw
