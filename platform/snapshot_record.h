// Where a downloaded file came from, kept on the file itself.
//
// A snapshot the download run puts in place carries user extended attributes:
//   user.fetchwell.url            the entry's URL, without user or password
//   user.fetchwell.fetched        when it was fetched, seconds since the epoch
//                                 as decimal text
//   user.fetchwell.etag           the server's ETag, when it sent one
//   user.fetchwell.last-modified  the server's Last-Modified, when it sent one
// Only a file with such a record is ever treated as the program's own (see
// retention.h): the name of a file proves nothing.
//
// A record is well formed when the URL is not empty, "fetched" is a decimal
// number that fits in 63 bits, and no value is longer than kMaxRecordValue
// bytes or holds a control character (so an ETag read back can go into a
// request header as it is). Reading treats anything else as no record at all.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace fw {

struct SnapshotRecord {
  std::string url;
  int64_t fetched = 0;
  std::string etag;          // empty when the server sent none
  std::string lastModified;  // empty when the server sent none
};

// The longest value a record may hold, in bytes.
inline constexpr size_t kMaxRecordValue = 8192;

// Sets the record on the open file `fd` (a temporary file before it is put in
// place), exactly: an ETag or Last-Modified the file already carries (a copy of
// an older snapshot may) is removed when `record` has none. `describe` names
// the file in error messages. False when the file system has no user extended
// attributes, so that the caller can say so once and carry on. Raises 5 when
// `record` is not well formed (nothing is then written), 75 naming `describe`
// on any other failure (a value too large for the file system included; the
// file may then hold part of the record, so the caller discards it).
bool WriteRecord(int fd, const SnapshotRecord& record, const std::string& describe);

// The record of the file `path`, which must be a regular file: a symbolic link
// is not followed (nullopt, whatever it points to), nor is anything else read.
// nullopt when the file has no well-formed record, or it cannot be read. Never
// raises.
std::optional<SnapshotRecord> ReadRecord(const std::string& path);

// The record of the entry `name` of the folder open as `folderFd`, for reading
// many files of one folder. The entry must be a regular file itself (not a
// link to one) that the caller can open for reading; `info`, when not null,
// gets what fstat says of the file read, for checking later that a name still
// names it. nullopt otherwise, or when it has no well-formed record. Never
// raises.
std::optional<SnapshotRecord> ReadRecordAt(int folderFd, const std::string& name,
                                           struct stat* info = nullptr);

// Whether files in `folder` can carry records. False only when the file system
// answers that it has no user extended attributes; a folder that cannot be
// probed (missing, not writable) counts as true, the run's own errors saying
// what is wrong with it. Leaves nothing behind. Never raises.
bool SupportsRecords(const std::string& folder);

}  // namespace fw
