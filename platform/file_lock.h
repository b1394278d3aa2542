// One writer of the program's data files at a time.
//
// A FolderLock is an flock on the folder that holds the data files, taken on a
// descriptor of the folder itself: nothing new appears beside the files. Every
// read-modify-write of "Files.dat" or "Settings.inf" holds it exclusively from
// the read to the rename of the new file; a reader holds it shared. Locks are
// advisory: they order this program's processes, not other programs.
//
// The lock belongs to the open descriptor, so one process must not take a
// second lock on the same folder while it holds one (the second would wait
// for the first until it gives up).
#pragma once

#include <chrono>
#include <string>

namespace fw {

// flock(fd, operation) (LOCK_SH or LOCK_EX), waiting at most `wait` for
// another holder: true once taken; false with errno set when it failed,
// EWOULDBLOCK when the time passed. Only the calling thread is interrupted
// while it waits.
bool LockWithin(int fd, int operation, std::chrono::milliseconds wait);

class FolderLock {
 public:
  enum class Mode { kShared, kExclusive };
  // Holders keep the lock for a read or a save, well under a second; one
  // that keeps it this long is stopped or stuck.
  static constexpr std::chrono::seconds kLongestWait{30};

  // Opens `folder` and waits until the lock is granted, at most `wait`: then
  // raises 75 saying that another program keeps the folder locked. A folder
  // that cannot be opened for reading, or whose file system has no locks
  // (some network ones), is used without the lock, as nothing better can be
  // done there; a process out of descriptors raises 75.
  FolderLock(const std::string& folder, Mode mode, std::chrono::seconds wait = kLongestWait);
  // Releases the lock.
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace fw
