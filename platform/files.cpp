#include "platform/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/error.h"

namespace fw {
namespace {

[[noreturn]] void RaiseAccess(const std::string& what, const std::string& path, int err) {
  throw Error(kFileAccess, what + " " + path + ": " + std::strerror(err));
}

// Paths of live temporary files, readable from a signal handler. Each slot holds
// a NUL-terminated path; a slot is in use while its first byte is not NUL.
constexpr int kSlots = 8;
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

void OnInterrupt(int sig) {
  for (int i = 0; i < kSlots; ++i) {
    if (g_slotUsed[i].load() && g_tempPaths[i][0] != '\0') unlink(g_tempPaths[i]);
  }
  _exit(128 + sig);
}

mode_t NewFileMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

std::string RandomSuffix() {
  static std::mt19937_64 rng{std::random_device{}()};
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string s;
  for (int i = 0; i < 10; ++i) s += kChars[rng() % (sizeof(kChars) - 1)];
  return s;
}

void SyncFolder(const std::string& folder) {
  int dfd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
}

}  // namespace

std::string ProgramFolder() {
  std::array<char, PATH_MAX> buf{};
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) RaiseAccess("cannot resolve", "/proc/self/exe", errno);
  std::string exe(buf.data(), static_cast<size_t>(n));
  auto slash = exe.rfind('/');
  return slash == 0 ? "/" : exe.substr(0, slash);
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string FolderOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string ReadWholeFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    if (err == ENOENT) throw Error(kFileNotFound, "File not found: " + path);
    RaiseAccess("cannot open", path, err);
  }
  // Read straight into a buffer sized from the file, growing only if the file
  // grew meanwhile (or reports no size, as files under /proc do).
  struct stat st {};
  size_t capacity = 65536;
  if (fstat(fd, &st) == 0 && st.st_size > 0) capacity = static_cast<size_t>(st.st_size) + 1;
  std::string data(capacity, '\0');
  size_t used = 0;
  for (;;) {
    if (used == data.size()) data.resize(data.size() * 2);
    ssize_t n = read(fd, data.data() + used, data.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      close(fd);
      RaiseAccess("cannot read", path, err);
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  close(fd);
  data.resize(used);
  return data;
}

void WriteFileAtomically(const std::string& path, std::string_view data) {
  std::string target = path;
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    std::array<char, PATH_MAX> resolved{};
    if (realpath(path.c_str(), resolved.data()) != nullptr) target = resolved.data();
  }
  TempFile temp(target);
  // A list of URLs may hold passwords: a file the user has kept private stays so.
  if (stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    // Best effort: an ordinary user cannot give a file away, and need not.
    (void)!fchown(temp.fd(), st.st_uid, st.st_gid);
    (void)!fchmod(temp.fd(), st.st_mode & 07777);
  }
  temp.Write(data);
  temp.Commit();
}

// True when an unnamed file can be linked into a folder by its descriptor.
static bool CanLinkUnnamedFiles() {
  static const bool can = access("/proc/self/fd", X_OK) == 0;
  return can;
}

TempFile::TempFile(const std::string& destination) : destination_(destination) {
  std::string folder = FolderOf(destination);
  mode_t mode = NewFileMode();
  if (CanLinkUnnamedFiles()) {
    fd_ = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd_ >= 0) return;
    // File systems without unnamed files say EOPNOTSUPP or EISDIR; other
    // errors (a missing folder, no permission) come again below.
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = folder + "/.fetchwell-" + RandomSuffix() + ".tmp";
    // Claim the signal-handler slot before the file exists, so that no moment
    // passes in which an interrupt would leave the file behind.
    slot_ = ClaimSlot(candidate);
    fd_ = open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd_ >= 0) {
      path_ = candidate;
      return;
    }
    int err = errno;
    ReleaseSlot(slot_);
    slot_ = -1;
    if (err != EEXIST) RaiseAccess("cannot create a file in", folder, err);
  }
  RaiseAccess("cannot create a file in", folder, EEXIST);
}

void TempFile::Name() {
  std::string folder = FolderOf(destination_);
  std::string self = DescriptorPath();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = folder + "/.fetchwell-" + RandomSuffix() + ".tmp";
    slot_ = ClaimSlot(candidate);
    if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      path_ = candidate;
      return;
    }
    int err = errno;
    ReleaseSlot(slot_);
    slot_ = -1;
    if (err != EEXIST) RaiseAccess("cannot write", Describe(), err);
  }
  RaiseAccess("cannot write", Describe(), EEXIST);
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

void TempFile::Write(std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd_, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseAccess("cannot write", Describe(), errno);
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
}

void TempFile::Commit(Durability durability) {
  int synced = durability == Durability::kSynced
                   ? fsync(fd_)
                   : sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
  if (synced != 0) RaiseAccess("cannot write", Describe(), errno);
  const bool linked = path_.empty() && LinkAsDestination();
  if (linked) {
    // Ours until the close succeeds: a failed close removes it again.
    path_ = destination_;
  } else if (path_.empty()) {
    Name();
  }
  int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) RaiseAccess("cannot write", Describe(), errno);
  if (!linked && rename(path_.c_str(), destination_.c_str()) != 0) {
    RaiseAccess("cannot replace", destination_, errno);
  }
  ReleaseSlot(slot_);
  slot_ = -1;
  path_.clear();
  if (durability == Durability::kSynced) SyncFolder(FolderOf(destination_));
}

void TempFile::Discard() noexcept {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  if (!path_.empty()) {
    unlink(path_.c_str());
    path_.clear();
  }
  ReleaseSlot(slot_);
  slot_ = -1;
}

void InstallInterruptCleanup() {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace fw
