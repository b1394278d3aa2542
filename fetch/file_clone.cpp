#include "fetch/file_clone.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/error.h"

namespace fw {
namespace {

[[noreturn]] void RaiseCopy(const std::string& describe, int err) {
  throw Error(kFileAccess, "cannot copy " + describe + ": " + std::strerror(err));
}

// copy_file_range's answers that mean "not between these files", rather than
// a failure of the copy: a read/write copy may still work.
bool CopyRangeUnsupported(int err) {
  return err == EXDEV || err == ENOSYS || err == EINVAL || err == EOPNOTSUPP;
}

constexpr size_t kChunk = size_t{1} << 20;

// Raises when `deadline` has passed: a copy on a slow disk must not hold the
// run past its time limit.
void CheckDeadline(std::chrono::steady_clock::time_point deadline) {
  if (std::chrono::steady_clock::now() >= deadline) {
    throw Error(kFileAccess, "the run's time limit was reached");
  }
}

// Copies from *fromOffset to the end of the source, through a buffer.
void CopyByReadWrite(int fromFd, int toFd, off_t fromOffset, off_t toOffset,
                     const std::string& describe, std::chrono::steady_clock::time_point deadline) {
  std::vector<char> buffer(kChunk);
  for (;;) {
    CheckDeadline(deadline);
    const ssize_t got = pread(fromFd, buffer.data(), buffer.size(), fromOffset);
    if (got < 0) {
      if (errno == EINTR) continue;
      RaiseCopy(describe, errno);
    }
    if (got == 0) return;
    fromOffset += got;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put =
          pwrite(toFd, buffer.data() + done, static_cast<size_t>(got - done), toOffset);
      if (put < 0) {
        if (errno == EINTR) continue;
        RaiseCopy(describe, errno);
      }
      done += put;
      toOffset += put;
    }
  }
}

}  // namespace

CopyMethod CopyFileContents(int fromFd, int toFd, const std::string& describe,
                            std::chrono::steady_clock::time_point deadline) {
  struct stat from {};
  struct stat to {};
  if (fstat(fromFd, &from) != 0 || fstat(toFd, &to) != 0) RaiseCopy(describe, errno);
  if (to.st_size != 0) {
    throw Error(kInvalidArgument, "cannot copy " + describe + ": the copy is not empty");
  }

  // A clone either takes the whole file or leaves the copy as it was, so any
  // refusal (not supported here, across file systems, ...) just means the
  // next way.
  if (ioctl(toFd, FICLONE, fromFd) == 0) return CopyMethod::kClone;

  loff_t fromOffset = 0;
  loff_t toOffset = 0;
  for (;;) {
    CheckDeadline(deadline);
    const ssize_t n = copy_file_range(fromFd, &fromOffset, toFd, &toOffset, kChunk, 0);
    if (n > 0) continue;
    if (n == 0) {
      // End of the source. Some file systems say 0 at once for files whose
      // size they do not know in advance: the rest is then read.
      if (fromOffset >= from.st_size) return CopyMethod::kCopyFileRange;
      break;
    }
    if (errno == EINTR) continue;
    if (!CopyRangeUnsupported(errno)) RaiseCopy(describe, errno);
    break;
  }
  CopyByReadWrite(fromFd, toFd, fromOffset, toOffset, describe, deadline);
  return CopyMethod::kReadWrite;
}

const char* CopyMethodName(CopyMethod method) {
  switch (method) {
    case CopyMethod::kClone:
      return "clone";
    case CopyMethod::kCopyFileRange:
      return "copy_file_range";
    case CopyMethod::kReadWrite:
      return "read/write";
  }
  return "?";
}

}  // namespace fw
