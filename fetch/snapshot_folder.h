// A download folder as a run sees it: one listing, and which of its files are
// the snapshots of an entry's URL.
//
// A snapshot of its own of a URL is a regular file directly in the folder (not
// a link, not hidden) with one link, whose record (snapshot_record.h) names
// the URL, whose name has the entry's dated shape (stem-DATE.ext) and equals
// the name recorded when it was put in place. So a copy the user made
// (`cp -a`, `rsync -X`, a restore: the record comes along, the name does not
// match), a snapshot renamed to keep it, a hard link, a file of another URL and
// a file without a record are never a snapshot of its own. An old record,
// without a name, counts when the name has the entry's shape.
//
// The folder is listed once, when a SnapshotFolder is made; names put in place
// later are added with Add(). Only names of the entry's shape have their
// records read, so one entry costs about as many reads as it has snapshots,
// whatever else the folder holds.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fetch/content_hash.h"
#include "fetch/snapshot_record.h"

namespace fw {

// The names an entry's snapshots take: stem + "-" + date + "." + extension,
// or, when not dotted, stem + "-" + date; the date being any text that is
// not empty.
struct NameShape {
  std::string stem;
  std::string extension;
  bool dotted = true;
  bool Fits(const std::string& name) const;
};

struct OwnSnapshot {
  std::string name;
  SnapshotRecord record;
  dev_t device = 0;
  ino_t inode = 0;
};

class SnapshotFolder {
 public:
  // Opens and lists `folder`. Raises fw::Error 75 naming it when it cannot be
  // opened or read.
  explicit SnapshotFolder(std::string folder);
  ~SnapshotFolder();
  SnapshotFolder(const SnapshotFolder&) = delete;
  SnapshotFolder& operator=(const SnapshotFolder&) = delete;

  const std::string& Path() const { return path_; }
  int fd() const { return fd_; }
  // `folder` + "/" + `name`.
  std::string PathOf(const std::string& name) const;

  // A name put in place since the listing.
  void Add(const std::string& name);

  // The snapshots of its own of `url` with names of `shape`, newest first.
  // `placed` (the names this run put in place for the URL) always count as
  // the newest; records dated after `now` (a clock that was ahead, a
  // record tampered with) sort as the oldest; equal times go by name.
  std::vector<OwnSnapshot> OwnSnapshots(const std::string& url, const NameShape& shape,
                                        const std::vector<std::string>& placed, int64_t now) const;

 private:
  std::string path_;
  int fd_ = -1;
  std::vector<std::string> names_;  // sorted
};

// Whether the file open as `fd` (for reading) is still what `snapshot` says:
// the same file, a regular one with one link and, when its record has a hash,
// of the recorded size and content hash (the file is read whole for that). The
// digest read is put in `digest` when not null. Never raises: a file that
// cannot be read does not match.
bool StillMatches(int fd, const OwnSnapshot& snapshot, ContentDigest* digest = nullptr);

// The snapshot an unchanged file is made from (SkipUnchanged): open for
// reading, and checked against its record when it was opened.
struct SnapshotBasis {
  OwnSnapshot snapshot;
  int fd = -1;
  struct stat checked {};  // what fstat said when its content was hashed
  SnapshotBasis() = default;
  SnapshotBasis(const SnapshotBasis&) = delete;
  SnapshotBasis& operator=(const SnapshotBasis&) = delete;
  ~SnapshotBasis();
};

// The basis for `url` with names of `shape` in `folder`: its newest snapshot
// of its own (records dated after `now` sorting as the oldest), when that has
// a whole record with a validator (ETag or Last-Modified) and still the size
// and content its record says. nullptr otherwise: an older snapshot is never
// taken instead, as the newest is what the server is asked about. Reads the
// file whole. Never raises fw::Error.
std::unique_ptr<SnapshotBasis> FindBasis(const SnapshotFolder& folder, const std::string& url,
                                         const NameShape& shape, int64_t now);

}  // namespace fw
