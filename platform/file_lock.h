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
// for the first forever).
#pragma once

#include <string>

namespace fw {

class FolderLock {
 public:
  enum class Mode { kShared, kExclusive };

  // Opens `folder` and waits until the lock is granted. Raises 75 naming the
  // folder when it cannot be opened or locked.
  FolderLock(const std::string& folder, Mode mode);
  // Releases the lock.
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace fw
