#include "platform/temp_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <set>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/files_internal.h"

namespace fw {
namespace {

// Paths of live temporary files, readable from a signal handler. Each slot holds
// a NUL-terminated path; a slot is in use while its first byte is not NUL.
// Enough for every file a run may hold named at once on a file system without
// unnamed temporary files: one per transfer (up to 512 over HTTP/2), those
// made ahead, and those waiting to replace others. Untouched slots cost no
// memory.
constexpr int kSlots = 1024;
constexpr size_t kSlotSize = PATH_MAX;
char g_tempPaths[kSlots][kSlotSize];
std::atomic<bool> g_slotUsed[kSlots];

int ClaimSlot(const std::string& path) {
  if (path.size() >= kSlotSize) return -1;
  for (int i = 0; i < kSlots; ++i) {
    bool expected = false;
    if (g_slotUsed[i].compare_exchange_strong(expected, true)) {
      std::memcpy(g_tempPaths[i], path.c_str(), path.size() + 1);
      return i;
    }
  }
  return -1;
}

void ReleaseSlot(int slot) {
  if (slot < 0) return;
  g_tempPaths[slot][0] = '\0';
  g_slotUsed[slot].store(false);
}

// The line the interrupt handler clears. Two buffers: a new erasure is
// written into the one the handler is not told of, then made current with one
// store, so that a signal at any moment finds a whole erasure (the old or the
// new one), never none and never half of one.
constexpr size_t kMaxClearBytes = 1024;
struct Erasure {
  char bytes[kMaxClearBytes];
  size_t size = 0;
  int fd = -1;
};
Erasure g_clear[2];
volatile sig_atomic_t g_clearCurrent = -1;  // the buffer in force, -1 for none

void OnInterrupt(int sig) {
  const int current = g_clearCurrent;
  if (current >= 0)
    (void)!write(g_clear[current].fd, g_clear[current].bytes, g_clear[current].size);
  for (int i = 0; i < kSlots; ++i) {
    if (g_slotUsed[i].load() && g_tempPaths[i][0] != '\0') unlink(g_tempPaths[i]);
  }
  _exit(128 + sig);
}

// The permissions a new file asks for; the kernel takes the umask (or the
// folder's default ACL) off, as for any file a program creates.
mode_t ModeOf(TempFile::Access access) {
  return access == TempFile::Access::kOwnerOnly ? 0600 : 0666;
}

std::string RandomSuffix() {
  thread_local std::mt19937_64 rng{std::random_device{}()};
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string s;
  for (int i = 0; i < 10; ++i) s += kChars[rng() % (sizeof(kChars) - 1)];
  return s;
}

constexpr char kTempPrefix[] = ".fetchwell-";
constexpr char kTempSuffix[] = ".tmp";

bool IsTempName(std::string_view name) {
  return name.size() > sizeof kTempPrefix - 1 + sizeof kTempSuffix - 1 &&
         name.substr(0, sizeof kTempPrefix - 1) == kTempPrefix &&
         name.substr(name.size() - (sizeof kTempSuffix - 1)) == kTempSuffix;
}

// Sweeps each folder once per process, at its first temporary file.
void SweepOnce(const std::string& folder) {
  static std::mutex mutex;
  static std::set<std::string> swept;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!swept.insert(folder).second) return;
  }
  RemoveLeftoverTempFiles(folder);
}

}  // namespace

void RemoveLeftoverTempFiles(const std::string& folder) noexcept {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  const int dfd = dirfd(dir);
  while (const dirent* entry = readdir(dir)) {
    if (!IsTempName(entry->d_name)) continue;
    const Descriptor file(
        openat(dfd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    if (file.fd < 0 || fstat(file.fd, &opened) != 0 || !S_ISREG(opened.st_mode)) continue;
    // Its writer holds the lock for as long as the file has this name.
    if (flock(file.fd, LOCK_EX | LOCK_NB) != 0) continue;
    // Removed only if the name still stands for the file that was locked.
    struct stat named {};
    if (fstatat(dfd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == opened.st_dev && named.st_ino == opened.st_ino) {
      unlinkat(dfd, entry->d_name, 0);
    }
  }
  closedir(dir);
}

// True when an unnamed file can be linked into a folder by its descriptor.
static bool CanLinkUnnamedFiles() {
  static const bool can = access("/proc/self/fd", X_OK) == 0;
  return can;
}

template <typename Make>
int TempFile::TakeHiddenName(Make make) {
  const std::string folder = FolderOf(destination_);
  int err = EEXIST;
  for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
    std::string candidate = folder + "/" + kTempPrefix + RandomSuffix() + kTempSuffix;
    // Claim the signal-handler slot before the file has the name, so that no
    // moment passes in which an interrupt would leave it behind.
    slot_ = ClaimSlot(candidate);
    err = make(candidate);
    if (err == 0) {
      path_ = std::move(candidate);
      return 0;
    }
    ReleaseSlot(slot_);
    slot_ = -1;
  }
  return err;
}

TempFile::TempFile(const std::string& destination, Access access) : destination_(destination) {
  const std::string folder = FolderOf(destination);
  SweepOnce(folder);
  // Unnamed, so no sweep can see it; Name() locks it before it has a name.
  fd_ = MakeUnnamed(folder, access);
  if (fd_ >= 0) return;
  // File systems without unnamed files say EOPNOTSUPP or EISDIR; other
  // errors (a missing folder, no permission) come again below.
  const int err = TakeHiddenName([&](const std::string& candidate) {
    const int fd = open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, ModeOf(access));
    if (fd < 0) return errno;
    // A sweep may have taken the file between its creation and the lock: then
    // the name no longer stands for it, and another name is tried.
    struct stat opened {
    }, named{};
    if (flock(fd, LOCK_EX) != 0 || fstat(fd, &opened) != 0 ||
        lstat(candidate.c_str(), &named) != 0 || named.st_ino != opened.st_ino ||
        named.st_dev != opened.st_dev) {
      close(fd);
      return EEXIST;
    }
    fd_ = fd;
    return 0;
  });
  if (err != 0) RaiseAccess("cannot create a file in", folder, err);
}

TempFile::TempFile(const std::string& destination, int unnamed)
    : destination_(destination), fd_(unnamed) {
  SweepOnce(FolderOf(destination));
}

int TempFile::MakeUnnamed(const std::string& folder, Access access) {
  if (!CanLinkUnnamedFiles()) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, ModeOf(access));
}

void TempFile::CheckFolder(const std::string& destination) {
  const std::string folder = FolderOf(destination);
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    RaiseAccess("cannot create a file in", folder, errno);
  }
}

void TempFile::Name() {
  // Locked before it has a name, so that no sweep takes it for a leftover.
  if (flock(fd_, LOCK_EX) != 0)
    RaiseCall("cannot put " + destination_ + " in place", "flock", errno);
  const std::string self = DescriptorPath();
  const int err = TakeHiddenName([&](const std::string& candidate) {
    return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0
               ? 0
               : errno;
  });
  if (err != 0) RaiseCall("cannot put " + destination_ + " in place", "linkat", err);
}

std::string TempFile::DescriptorPath() const {
  return "/proc/self/fd/" + std::to_string(fd_);
}

bool TempFile::LinkAsDestination() {
  // Fails on any existing entry (EEXIST) or where the file system cannot link
  // it; the caller then goes through a hidden name and a rename, which report
  // their own errors.
  return linkat(AT_FDCWD, DescriptorPath().c_str(), AT_FDCWD, destination_.c_str(),
                AT_SYMLINK_FOLLOW) == 0;
}

std::string TempFile::Describe() const {
  return path_.empty() ? "a temporary file in " + FolderOf(destination_) : path_;
}

TempFile::~TempFile() {
  Discard();
}

template <typename Step>
void TempFile::Discarding(Step step) {
  try {
    step();
  } catch (const Error& e) {
    const std::string left = Discard();
    if (left.empty()) throw;
    throw Error(e.Number(), e.Description() + "; " + left);
  }
}

void TempFile::Write(std::string_view data) {
  writebackStarted_ = false;
  Discarding([&] {
    while (!data.empty()) {
      const ssize_t n = pwrite(fd_, data.data(), data.size(), written_);
      if (n < 0) {
        if (errno == EINTR) continue;
        RaiseAccess("cannot write", Describe(), errno);
      }
      data.remove_prefix(static_cast<size_t>(n));
      written_ += n;
    }
  });
}

void TempFile::Truncate() {
  if (ftruncate(fd_, 0) != 0) RaiseAccess("cannot empty", Describe(), errno);
  written_ = 0;
  writebackStarted_ = false;
}

void TempFile::Commit(Durability durability) {
  if (durability == Durability::kBeforeReplacing) {
    if (!PlaceIfNew()) {
      Replace(false);
      SyncFolder(FolderOf(destination_), destination_);
    }
    return;
  }
  Discarding([&] {
    if (fsync(fd_) != 0) RaiseCall("cannot make " + destination_ + " durable", "fsync", errno);
    if (path_.empty() && LinkAsDestination()) {
      path_ = destination_;  // ours until the close succeeds
      CloseAndRename(false);
      return;
    }
    if (path_.empty()) Name();
    CloseAndRename(true);
  });
  SyncFolder(FolderOf(destination_), destination_);
}

void TempFile::StartWriteback() {
  Discarding([&] {
    if (sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE) != 0) {
      RaiseCall("cannot write " + destination_, "sync_file_range", errno);
    }
  });
  writebackStarted_ = true;
}

bool TempFile::PlaceIfNew() {
  if (!writebackStarted_) StartWriteback();
  bool placed = false;
  Discarding([&] {
    if (path_.empty()) {
      placed = LinkAsDestination();
    } else if (renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, destination_.c_str(),
                         RENAME_NOREPLACE) == 0) {
      placed = true;
    } else if (errno != EEXIST && errno != EINVAL && errno != ENOSYS) {
      RaiseCall("cannot put " + destination_ + " in place", "renameat2", errno);
    }
    if (!placed) return;
    ReleaseSlot(slot_);
    slot_ = -1;
    path_ = destination_;  // ours until the close succeeds
    CloseAndRename(false);
  });
  return placed;
}

void TempFile::Replace(bool dataOnDisk) {
  Discarding([&] {
    if (!dataOnDisk && fdatasync(fd_) != 0) {
      RaiseCall("cannot make " + destination_ + " durable", "fdatasync", errno);
    }
    if (path_.empty()) Name();
    CloseAndRename(true);
  });
}

void TempFile::CloseAndRename(bool rename) {
  // The close reports late write errors; a second descriptor keeps the lock
  // until the rename, so that no sweep takes the named file meanwhile.
  const Descriptor lock(rename ? dup(fd_) : -1);
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) RaiseCall("cannot write " + destination_, "close", errno);
  if (rename && ::rename(path_.c_str(), destination_.c_str()) != 0) {
    RaiseCall("cannot put " + destination_ + " in place", "rename", errno);
  }
  ReleaseSlot(slot_);
  slot_ = -1;
  path_.clear();
}

std::string TempFile::Discard() noexcept {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  std::string left;
  if (!path_.empty()) {
    if (unlink(path_.c_str()) != 0 && errno != ENOENT) {
      const int err = errno;
      try {
        left =
            "the temporary file " + path_ + " is left behind (unlink: " + std::strerror(err) + ")";
      } catch (...) {
      }
    }
    path_.clear();
  }
  ReleaseSlot(slot_);
  slot_ = -1;
  return left;
}

std::thread StartThreadWithoutInterrupts(std::function<void()> body) {
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  // A new thread inherits the mask of the one that starts it.
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  std::thread thread(std::move(body));
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return thread;
}

void InstallInterruptCleanup() {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

void SetLineToClear(int fd, std::string_view bytes) {
  if (fd < 0 || bytes.empty()) {
    g_clearCurrent = -1;
    return;
  }
  const int next = g_clearCurrent == 0 ? 1 : 0;
  Erasure& erasure = g_clear[next];
  erasure.size = std::min(bytes.size(), kMaxClearBytes);
  std::memcpy(erasure.bytes, bytes.data(), erasure.size);
  erasure.fd = fd;
  // The handler must see the buffer whole before it is told of it.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_clearCurrent = next;
}

}  // namespace fw
