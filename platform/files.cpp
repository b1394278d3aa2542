#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/error.h"
#include "platform/files_internal.h"
#include "platform/temp_file.h"

namespace fw {

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

std::string NameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

const char* KindOfFile(unsigned mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return "a regular file";
    case S_IFDIR:
      return "a folder";
    case S_IFIFO:
      return "a FIFO";
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    case S_IFSOCK:
      return "a socket";
    case S_IFLNK:
      return "a symbolic link";
    default:
      return "a special file";
  }
}

namespace {
std::mutex g_failedSyncsMutex;
std::set<dev_t> g_failedSyncs;
}  // namespace

void NoteSyncFailed(dev_t device) {
  const std::lock_guard<std::mutex> lock(g_failedSyncsMutex);
  g_failedSyncs.insert(device);
}

bool SyncFailedOn(dev_t device) {
  const std::lock_guard<std::mutex> lock(g_failedSyncsMutex);
  return g_failedSyncs.count(device) != 0;
}

void SyncFolder(const std::string& folder, const std::string& file) {
  // The file is in place already: the reason says so, and what may be lost.
  const std::string what = file + " is in place, but a power cut may still undo that";
  const Descriptor self(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (self.fd >= 0) {
    if (fsync(self.fd) != 0) RaiseCall(what, "fsync of the folder", errno);
    return;
  }
  // A folder that may be written but not read cannot be opened to be synced:
  // its whole file system is, through the file.
  const int err = errno;
  const Descriptor through(open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (err != EACCES || through.fd < 0) {
    RaiseCall(what, "open of the folder", err);
  }
  if (syncfs(through.fd) != 0) RaiseCall(what, "syncfs", errno);
}

std::string ReadWholeFile(const std::string& path, size_t maxBytes) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
  const Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (file.fd < 0) {
    const int err = errno;
    struct stat link {};
    if (err == ENOENT && lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      throw Error(kFileNotFound,
                  "File not found: " + path + " is a symbolic link to a file that does not exist");
    }
    if (err == ENOENT) throw Error(kFileNotFound, "File not found: " + path);
    RaiseAccess("cannot open", path, err);
  }
  struct stat st {};
  if (fstat(file.fd, &st) != 0) RaiseAccess("cannot read", path, errno);
  if (!S_ISREG(st.st_mode)) {
    throw Error(kFileAccess, "cannot read " + path + ": it is " + KindOfFile(st.st_mode) +
                                 ", not a regular file");
  }
  const auto tooLarge = [&] {
    return Error(kFileAccess, "cannot read " + path + ": it is larger than " +
                                  std::to_string(maxBytes) + " bytes");
  };
  if (st.st_size > 0 && static_cast<uint64_t>(st.st_size) > maxBytes) throw tooLarge();
  // Read straight into a buffer sized from the file, growing only if the file
  // grew meanwhile (or reports no size, as files under /proc do); never more
  // than one byte past the limit, to see that it was passed.
  const size_t cap = maxBytes == SIZE_MAX ? SIZE_MAX : maxBytes + 1;
  size_t capacity = st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 65536;
  std::string data(std::min(capacity, cap), '\0');
  size_t used = 0;
  for (;;) {
    if (used == data.size()) {
      if (used >= cap) break;
      data.resize(data.size() > cap / 2 ? cap : data.size() * 2);
    }
    ssize_t n = read(file.fd, data.data() + used, data.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseAccess("cannot read", path, errno);
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  if (used > maxBytes) throw tooLarge();
  data.resize(used);
  return data;
}

int OpenPrivateFile(const std::string& path, off_t maxBytes, std::string* refusal) {
  refusal->clear();
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    // A missing file is the caller's to mention, or not; a shortage of
    // descriptors is named as the failed entries name it.
    if (errno != ENOENT && errno != ENOTDIR) {
      const bool shortage = errno == EMFILE || errno == ENFILE;
      *refusal = path + " cannot be read (" +
                 (shortage ? "too many open files" : std::strerror(errno)) + "), so it is not used";
    }
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    *refusal = path + " cannot be read (" + std::strerror(errno) + "), so it is not used";
  } else if (!S_ISREG(st.st_mode)) {
    *refusal = path + " is not a regular file (" + KindOfFile(st.st_mode) + "), so it is not used";
  } else if ((st.st_mode & 077) != 0) {
    *refusal =
        path + " may be read by other users, so it is not used; make it private with chmod 600";
  } else if (st.st_size > maxBytes) {
    *refusal = path + " is larger than " +
               (maxBytes % (1 << 20) == 0 ? std::to_string(maxBytes >> 20) + " MiB"
                                          : std::to_string(maxBytes) + " bytes") +
               ", so it is not used";
  }
  if (refusal->empty()) return fd;
  close(fd);
  return -1;
}

std::optional<std::string> ReadPrivateFile(const std::string& path, off_t maxBytes,
                                           std::string* refusal) {
  const Descriptor file(OpenPrivateFile(path, maxBytes, refusal));
  if (file.fd < 0) return std::nullopt;
  // One byte past the limit at most, to see a file that grew past it.
  std::string data(static_cast<size_t>(maxBytes) + 1, '\0');
  size_t used = 0;
  while (used < data.size()) {
    const ssize_t n = read(file.fd, data.data() + used, data.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *refusal = path + " cannot be read (" + std::strerror(errno) + "), so it is not used";
      return std::nullopt;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  if (used > static_cast<size_t>(maxBytes)) {
    *refusal = path + " grew while it was read, so it is not used";
    return std::nullopt;
  }
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
  // A list of URLs may hold passwords: private from its first byte, and a file
  // the user has kept private stays so.
  TempFile temp(target, TempFile::Access::kOwnerOnly);
  if (stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    // Best effort: an ordinary user cannot give a file away, and need not.
    (void)!fchown(temp.fd(), st.st_uid, st.st_gid);
    (void)!fchmod(temp.fd(), st.st_mode & 07777);
  }
  temp.Write(data);
  temp.Commit();
}

}  // namespace fw
