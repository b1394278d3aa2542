#include "fetch/snapshot_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include "fetch/content_hash.h"

namespace fw {
namespace {

constexpr char kRecord[] = "user.fetchwell";
// The four attributes of an old record.
constexpr char kOldUrl[] = "user.fetchwell.url";
constexpr char kOldFetched[] = "user.fetchwell.fetched";
constexpr char kOldEtag[] = "user.fetchwell.etag";
constexpr char kOldLastModified[] = "user.fetchwell.last-modified";
constexpr char kProbe[] = "user.fetchwell.probe";
// The largest value read back; Linux allows no larger one.
constexpr size_t kMaxAttribute = 65536;
// The longest value an old record's attribute could hold.
constexpr size_t kMaxOldValue = 8192;

// Linux gives "not supported" one number under both names.
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

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

std::string Escaped(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (IsControl(c) || c == '%') {
      static const char kDigits[] = "0123456789ABCDEF";
      const auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += kDigits[byte >> 4];
      out += kDigits[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> Unescaped(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '%') {
      out += value[i];
      continue;
    }
    if (i + 2 >= value.size()) return std::nullopt;
    const int high = HexDigit(value[i + 1]), low = HexDigit(value[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

// Decimal digits only (no sign, no spaces) that fit in int64_t.
std::optional<int64_t> Decimal(std::string_view text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool IsHex(std::string_view text, size_t digits) {
  return text.size() == digits && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A value a request header may carry as it is.
bool IsCleanValue(std::string_view value) {
  for (char c : value) {
    if (IsControl(c)) return false;
  }
  return true;
}

std::string Serialized(const SnapshotRecord& r) {
  std::string text = "v=1\nname=" + Escaped(r.name) + "\nsize=" + std::to_string(r.size) +
                     "\nxxh128=" + r.hash + "\nfetched=" + std::to_string(r.fetched) + "\n";
  if (!r.etag.empty()) text += "etag=" + Escaped(r.etag) + "\n";
  if (!r.lastModified.empty()) text += "last-modified=" + Escaped(r.lastModified) + "\n";
  if (!r.urlSha256.empty()) return text + "url-sha256=" + r.urlSha256 + "\n";
  return text + "url=" + Escaped(r.url) + "\n";
}

std::optional<SnapshotRecord> Parsed(std::string_view text) {
  SnapshotRecord r;
  bool version = false, size = false, fetched = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view key = line.substr(0, equals);
    const auto value = Unescaped(line.substr(equals + 1));
    if (!value) return std::nullopt;
    if (key == "v") {
      version = *value == "1";
    } else if (key == "name") {
      r.name = *value;
    } else if (key == "size") {
      const auto n = Decimal(*value);
      if (!n) return std::nullopt;
      r.size = *n;
      size = true;
    } else if (key == "xxh128") {
      r.hash = *value;
    } else if (key == "fetched") {
      const auto n = Decimal(*value);
      if (!n) return std::nullopt;
      r.fetched = *n;
      fetched = true;
    } else if (key == "etag") {
      r.etag = *value;
    } else if (key == "last-modified") {
      r.lastModified = *value;
    } else if (key == "url") {
      r.url = *value;
    } else if (key == "url-sha256") {
      r.urlSha256 = *value;
    }
    // Other keys are a later version's additions, read past.
  }
  const bool oneUrl = r.url.empty() != r.urlSha256.empty();
  if (!version || !size || !fetched || r.name.empty() || !IsHex(r.hash, 32) || !oneUrl ||
      (!r.urlSha256.empty() && !IsHex(r.urlSha256, 64))) {
    return std::nullopt;
  }
  return r;
}

enum class Lookup { kFound, kAbsent, kBad };

// Reads the attribute `name` through `get` (a getxattr of some kind).
// A value over `most` bytes is bad.
template <typename Get>
Lookup ReadAttribute(Get get, const char* name, size_t most, std::string* value) {
  // Records fit a small buffer; a larger value is asked for its size first.
  value->resize(std::min<size_t>(most, 4096));
  ssize_t n = get(name, value->data(), value->size());
  if (n < 0 && errno == ERANGE && value->size() < most) {
    const ssize_t needed = get(name, nullptr, 0);
    if (needed < 0 || static_cast<size_t>(needed) > most) return Lookup::kBad;
    value->resize(static_cast<size_t>(needed));
    n = get(name, value->data(), value->size());
  }
  if (n < 0) return errno == ENODATA ? Lookup::kAbsent : Lookup::kBad;
  value->resize(static_cast<size_t>(n));
  return Lookup::kFound;
}

// An old record: four attributes, values clean and bounded.
template <typename Get>
std::optional<SnapshotRecord> ParseOldRecord(Get get) {
  SnapshotRecord record;
  std::string fetched;
  const auto clean = [&](const char* name, std::string* value, bool required) {
    const Lookup found = ReadAttribute(get, name, kMaxOldValue, value);
    if (found == Lookup::kAbsent) return !required;
    return found == Lookup::kFound && IsCleanValue(*value);
  };
  if (!clean(kOldUrl, &record.url, true) || record.url.empty()) return std::nullopt;
  if (!clean(kOldFetched, &fetched, true)) return std::nullopt;
  const auto seconds = Decimal(fetched);
  if (!seconds) return std::nullopt;
  record.fetched = *seconds;
  if (!clean(kOldEtag, &record.etag, false)) return std::nullopt;
  if (!clean(kOldLastModified, &record.lastModified, false)) return std::nullopt;
  return record;
}

template <typename Get>
std::optional<SnapshotRecord> ParseRecord(Get get) {
  std::string value;
  switch (ReadAttribute(get, kRecord, kMaxAttribute, &value)) {
    case Lookup::kFound:
      return Parsed(value);
    case Lookup::kAbsent:
      return ParseOldRecord(get);
    case Lookup::kBad:
      return std::nullopt;
  }
  return std::nullopt;
}

// Whether a failure to set an attribute means that it is too large for the
// room the file system gives a file's attributes.
bool NoRoom(int err) {
  return err == ENOSPC || err == E2BIG || err == ERANGE || err == EDQUOT;
}

}  // namespace

bool SnapshotRecord::Names(const std::string& bareUrl) const {
  if (!url.empty()) return url == bareUrl;
  return !urlSha256.empty() && urlSha256 == Sha256Hex(bareUrl);
}

RecordOutcome WriteRecord(int fd, const SnapshotRecord& given) {
  SnapshotRecord record = given;
  // Validators too long to send back, or that could not be sent as they are,
  // are of no use.
  if (record.etag.size() > kMaxValidator || !IsCleanValue(record.etag)) record.etag.clear();
  if (record.lastModified.size() > kMaxValidator || !IsCleanValue(record.lastModified)) {
    record.lastModified.clear();
  }
  if (record.url.size() > kMaxRecordedUrl) {
    record.urlSha256 = Sha256Hex(record.url);
    record.url.clear();
  }
  RecordOutcome outcome;
  // The whole record, then smaller ones while the file system has no room.
  for (int step = 0;; ++step) {
    const std::string text = Serialized(record);
    if (fsetxattr(fd, kRecord, text.data(), text.size(), 0) == 0) {
      outcome.kept = true;
      return outcome;
    }
    const int err = errno;
    if (err == EOPNOTSUPP) {
      outcome.unsupported = true;
      outcome.why = "the file system keeps no extended attributes";
      return outcome;
    }
    if (!NoRoom(err) || step == 2) {
      outcome.why = err == E2BIG || err == ERANGE
                        ? "a record does not fit in the file system's room "
                          "for extended attributes"
                        : std::strerror(err);
      return outcome;
    }
    if (step == 0 && !record.url.empty()) {
      record.urlSha256 = Sha256Hex(record.url);
      record.url.clear();
    } else {
      record.etag.clear();
      record.lastModified.clear();
      step = 1;
    }
  }
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
