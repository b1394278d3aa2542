// Copying one open file into another, as cheaply as the file system allows.
//
// Used to start a new snapshot from an older one: the copy is always a file of
// its own (never a hard link), so writing to either leaves the other as it was.
#pragma once

#include <chrono>

#include <string>

namespace fw {

// How CopyFileContents made the copy.
enum class CopyMethod {
  kClone,          // FICLONE: the copy shares the source's blocks, copy-on-write
                   // (btrfs, xfs, ...); instant, and no extra space until changed
  kCopyFileRange,  // copy_file_range: copied inside the kernel (or by the server
                   // of a network file system)
  kReadWrite,      // read and written through a buffer, where neither works
};

// Makes the file open as `toFd` (writable, and empty: a new temporary file) a
// copy of the whole of the file open as `fromFd` (readable), from its first
// byte whatever the descriptors' positions, which are left as they were. Tries
// the ways above in that order, each where the one before is not supported.
// `describe` names the copy in error messages. Raises 5 when `toFd`'s file is
// not empty, 75 naming `describe` with the system's reason when the copy fails
// (`toFd`'s file may then hold part of it), and 75 saying "the run's time
// limit was reached" when `deadline` passes between two of its 1 MiB steps.
CopyMethod CopyFileContents(
    int fromFd, int toFd, const std::string& describe,
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());

// "clone", "copy_file_range" or "read/write", for notes and test messages.
const char* CopyMethodName(CopyMethod method);

}  // namespace fw
