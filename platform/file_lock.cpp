#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/error.h"

namespace fw {

FolderLock::FolderLock(const std::string& folder, Mode mode) {
  fd_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) {
    throw Error(kFileAccess,
                "cannot open the folder " + folder + " to lock it: " + std::strerror(errno));
  }
  const int operation = mode == Mode::kExclusive ? LOCK_EX : LOCK_SH;
  while (flock(fd_, operation) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    close(fd_);
    throw Error(kFileAccess, "cannot lock the folder " + folder + ": " + std::strerror(error));
  }
}

FolderLock::~FolderLock() {
  close(fd_);
}

}  // namespace fw
