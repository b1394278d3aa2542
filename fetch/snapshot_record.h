// Where a downloaded file came from, kept on the file itself.
//
// A snapshot the download run puts in place carries one user extended
// attribute, "user.fetchwell", whose value is lines of "key=value":
//   v=1
//   name=<the file's name when it was put in place>
//   size=<its size in bytes>
//   xxh128=<the XXH3-128 hash of its bytes, 32 hexadecimal digits>
//   fetched=<when it was fetched, seconds since the epoch>
//   etag=<the server's ETag>                   (when it sent one)
//   last-modified=<the server's Last-Modified> (when it sent one)
//   url=<the entry's URL, without user or password>
//     or url-sha256=<that URL's SHA-256>, when the URL is too long to keep
// Values are escaped: "%" and bytes below 0x20 or 0x7f as "%XX". Name, size and
// hash bind the record to the file: a copy made under another name, or a file
// edited since, no longer matches its record (see snapshot_folder.h).
//
// Files fetched by earlier versions carry four attributes instead
// (user.fetchwell.url, .fetched, .etag, .last-modified); they read back as
// records without name, size or hash ("old" records).
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace fw {

struct SnapshotRecord {
  std::string name;   // empty in an old record
  int64_t size = -1;  // -1 in an old record
  std::string hash;   // empty in an old record
  int64_t fetched = 0;
  std::string etag;          // empty when the server sent none
  std::string lastModified;  // empty when the server sent none
  std::string url;           // empty when only urlSha256 is kept
  std::string urlSha256;     // empty when url is kept

  // Whether this is an old record, without name, size or hash.
  bool Old() const { return hash.empty(); }
  // Whether the record names `url` (a URL without user information), by the
  // URL itself or by its SHA-256.
  bool Names(const std::string& url) const;
};

// URLs longer than this are recorded by their SHA-256; validators longer than
// kMaxValidator are left out (a header that long is never sent back).
inline constexpr size_t kMaxRecordedUrl = 2048;
inline constexpr size_t kMaxValidator = 1024;

// How setting a record went.
struct RecordOutcome {
  bool kept = false;
  bool unsupported = false;  // the file system keeps no user extended attributes
  std::string why;           // when not kept: the system's reason
};

// Sets `record` (url, not urlSha256, filled in) on the open file `fd`. When the
// whole record does not fit (a small file system block, a long ETag), a smaller
// one is tried: the URL by its SHA-256, then without validators. Never raises
// for a record that cannot be set: the outcome says why, and the file is no
// worse for it.
RecordOutcome WriteRecord(int fd, const SnapshotRecord& record);

// The record of the entry `name` of the folder open as `folderFd`. The entry
// must be a regular file itself (not a link to one); `info`, when not null,
// gets what fstat says of that very file, for checking its links, size and
// identity later. nullopt otherwise, or when it has no well-formed record.
// Never raises.
std::optional<SnapshotRecord> ReadRecordAt(int folderFd, const std::string& name,
                                           struct stat* info = nullptr);
// The same for a path.
std::optional<SnapshotRecord> ReadRecord(const std::string& path);

// Whether files in `folder` can carry records. False only when the file system
// answers that it has no user extended attributes; a folder that cannot be
// probed (missing, not writable) counts as true, the run's own errors saying
// what is wrong with it. Leaves nothing behind. Never raises.
bool SupportsRecords(const std::string& folder);

}  // namespace fw
