#include "platform/snapshot_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include "platform/error.h"

namespace fw {
namespace {

constexpr char kUrl[] = "user.fetchwell.url";
constexpr char kFetched[] = "user.fetchwell.fetched";
constexpr char kEtag[] = "user.fetchwell.etag";
constexpr char kLastModified[] = "user.fetchwell.last-modified";
constexpr char kProbe[] = "user.fetchwell.probe";

// Linux gives "not supported" one number under both names; the checks below
// use EOPNOTSUPP for both.
static_assert(ENOTSUP == EOPNOTSUPP);

// Closes a descriptor on every way out of a function.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A value a record may hold: bounded and free of control characters.
bool IsCleanValue(std::string_view value) {
  if (value.size() > kMaxRecordValue) return false;
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return false;
  }
  return true;
}

// "fetched": decimal digits only (no sign, no spaces) that fit in int64_t.
std::optional<int64_t> ParseFetched(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

enum class Lookup { kFound, kAbsent, kBad };

// Reads the attribute `name` through `get` (a getxattr of some kind) into
// `value`. Absent when the file has no such attribute; bad when it cannot be
// read, is larger than a record allows, or is not a clean value.
template <typename Get>
Lookup ReadAttribute(Get get, const char* name, std::string* value) {
  char buffer[kMaxRecordValue];
  const ssize_t n = get(name, buffer, sizeof buffer);
  if (n < 0) return errno == ENODATA ? Lookup::kAbsent : Lookup::kBad;
  value->assign(buffer, static_cast<size_t>(n));
  return IsCleanValue(*value) ? Lookup::kFound : Lookup::kBad;
}

template <typename Get>
std::optional<SnapshotRecord> ParseRecord(Get get) {
  SnapshotRecord record;
  std::string fetched;
  if (ReadAttribute(get, kUrl, &record.url) != Lookup::kFound || record.url.empty()) {
    return std::nullopt;
  }
  if (ReadAttribute(get, kFetched, &fetched) != Lookup::kFound) return std::nullopt;
  const auto seconds = ParseFetched(fetched);
  if (!seconds) return std::nullopt;
  record.fetched = *seconds;
  if (ReadAttribute(get, kEtag, &record.etag) == Lookup::kBad) return std::nullopt;
  if (ReadAttribute(get, kLastModified, &record.lastModified) == Lookup::kBad) {
    return std::nullopt;
  }
  return record;
}

[[noreturn]] void RaiseRecord(const std::string& describe, int err) {
  throw Error(kFileAccess, "cannot record the source of " + describe + ": " + std::strerror(err));
}

// Sets (or, for an empty value, removes) one attribute. False when the file
// system has no user extended attributes.
bool SetAttribute(int fd, const char* name, const std::string& value, const std::string& describe) {
  const int result =
      value.empty() ? fremovexattr(fd, name) : fsetxattr(fd, name, value.data(), value.size(), 0);
  if (result == 0) return true;
  if (errno == EOPNOTSUPP) return false;
  if (value.empty() && errno == ENODATA) return true;
  RaiseRecord(describe, errno);
}

}  // namespace

bool WriteRecord(int fd, const SnapshotRecord& record, const std::string& describe) {
  if (record.url.empty() || record.fetched < 0 || !IsCleanValue(record.url) ||
      !IsCleanValue(record.etag) || !IsCleanValue(record.lastModified)) {
    throw Error(kInvalidArgument, "cannot record the source of " + describe +
                                      ": the URL is empty, or a value is too long or holds "
                                      "a control character");
  }
  // The values files often share (a server's Last-Modified and ETag, the
  // second of the fetch) go first and the URL last, so that what spills out of
  // the inode into a block of its own holds the URL and is the file's alone.
  // A block whose contents match another file's is shared by the file system,
  // and changing it then costs a copy and, on ext4 mounted with discard, a
  // discard the disk must finish before the call returns: in that order
  // setting a record cost five times as much.
  return SetAttribute(fd, kLastModified, record.lastModified, describe) &&
         SetAttribute(fd, kEtag, record.etag, describe) &&
         SetAttribute(fd, kFetched, std::to_string(record.fetched), describe) &&
         SetAttribute(fd, kUrl, record.url, describe);
}

std::optional<SnapshotRecord> ReadRecordAt(int folderFd, const std::string& name,
                                           struct stat* info) {
  // An O_PATH descriptor opens nothing (no device is touched, no permission
  // needed) and pins the file: the attributes read below are those of the very
  // file fstat describes, even if the name is changed meanwhile.
  const Descriptor file(openat(folderFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (file.get() < 0) return std::nullopt;
  struct stat st {};
  if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (info) *info = st;

  // Extended attributes cannot be read through an O_PATH descriptor on every
  // kernel, but can through its /proc link, which leads to the pinned file.
  static const bool procLinks = access("/proc/self/fd", X_OK) == 0;
  if (procLinks) {
    const std::string link = "/proc/self/fd/" + std::to_string(file.get());
    return ParseRecord([&](const char* attribute, void* buffer, size_t size) {
      return getxattr(link.c_str(), attribute, buffer, size);
    });
  }

  // Without /proc: open the name for reading and make sure it is the same file.
  const Descriptor readable(
      openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat again {};
  if (readable.get() < 0 || fstat(readable.get(), &again) != 0 || again.st_dev != st.st_dev ||
      again.st_ino != st.st_ino) {
    return std::nullopt;
  }
  return ParseRecord([&](const char* attribute, void* buffer, size_t size) {
    return fgetxattr(readable.get(), attribute, buffer, size);
  });
}

std::optional<SnapshotRecord> ReadRecord(const std::string& path) {
  return ReadRecordAt(AT_FDCWD, path);
}

bool SupportsRecords(const std::string& folder) {
  // An unnamed file in the folder, gone when closed, takes a test attribute.
  const Descriptor probe(open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (probe.get() >= 0) {
    return fsetxattr(probe.get(), kProbe, "1", 1, 0) == 0 || errno != EOPNOTSUPP;
  }
  // No unnamed files here (or no right to make one): ask the folder itself for
  // an attribute it does not have; "not supported" rather than "no such
  // attribute" means none can be stored.
  const Descriptor self(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (self.get() < 0) return true;
  char byte;
  return fgetxattr(self.get(), kProbe, &byte, sizeof byte) >= 0 || errno != EOPNOTSUPP;
}

}  // namespace fw
