#include "fetch/retention.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "platform/error.h"
#include "platform/files.h"

namespace fw {
namespace {

// Whether `snapshot` in `folder` is still the file listed and what its record
// says: its size first, then (when that matches) its content hash.
bool StillOwn(const SnapshotFolder& folder, const OwnSnapshot& snapshot) {
  const int fd = openat(folder.fd(), snapshot.name.c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;  // gone, or no longer a file this run may read: not proven its own
  const bool own = StillMatches(fd, snapshot);
  close(fd);
  return own;
}

// Removes `victim` from `folder` if it is still the snapshot listed. A line in
// `failure` when a removal was tried and failed.
void RemoveIfStillOwn(const SnapshotFolder& folder, const OwnSnapshot& victim,
                      std::string* failure) {
  if (!StillOwn(folder, victim)) return;
  // The name must still name the file just checked.
  struct stat now {};
  if (fstatat(folder.fd(), victim.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(now.st_mode) || now.st_dev != victim.device || now.st_ino != victim.inode) {
    return;
  }
  if (unlinkat(folder.fd(), victim.name.c_str(), 0) != 0 && errno != ENOENT) {
    *failure = "cannot remove " + folder.PathOf(victim.name) + ": " + std::strerror(errno);
  }
}

// The folder `path`, listed once for one Apply in `folders`; nullptr once
// given up (the first time it cannot be read, a line for `entry` says why).
SnapshotFolder* Listed(std::map<std::string, std::unique_ptr<SnapshotFolder>>& folders,
                       const std::string& path, const std::string& entry,
                       std::vector<RetentionPlan::Failure>& failures) {
  const auto [at, added] = folders.try_emplace(path);
  if (added) {
    try {
      at->second = std::make_unique<SnapshotFolder>(path);
    } catch (const Error& e) {
      failures.push_back({entry, e.Description()});
    }
  }
  return at->second.get();
}

// Where the snapshots to remove begin in `found` (newest first): past the
// newest `keep` still as recorded; an edited one is the user's, neither
// counted nor removed. Files are read only while some older one could still
// go; a file this run put in place (`ours`) got its record from the very
// bytes written, and is not read.
size_t FirstToRemove(const SnapshotFolder& folder, const std::vector<OwnSnapshot>& found,
                     const std::vector<std::string>& ours, size_t keep) {
  size_t kept = 0;
  for (size_t i = 0; i < found.size(); ++i) {
    if (kept == keep) return i;
    if (kept + (found.size() - i) <= keep) break;
    const bool placedNow = std::find(ours.begin(), ours.end(), found[i].name) != ours.end();
    kept += placedNow || StillOwn(folder, found[i]);
  }
  return found.size();
}

// Brings this run's new files in `folder` to the disk before an older one
// goes: "" when they are there, else why the folder keeps all it has. A sync
// of this file system that failed earlier in the run is not told again to
// this one: its files may not be on the disk.
std::string SyncBeforeRemoving(const SnapshotFolder& folder) {
  struct stat st {};
  const bool failedBefore = fstat(folder.fd(), &st) == 0 && SyncFailedOn(st.st_dev);
  if (!failedBefore && syncfs(folder.fd()) == 0) return "";
  const std::string why = failedBefore ? std::string("an earlier syncfs failed")
                                       : "syncfs: " + std::string(std::strerror(errno));
  return "older snapshots in " + folder.Path() +
         " are kept: this run's files there cannot be made durable (" + why + ")";
}

}  // namespace

RetentionPlan::RetentionPlan(int keep) : keep_(keep) {
  if (keep < 1) {
    throw Error(kInvalidArgument,
                "snapshots to keep must be at least 1, not " + std::to_string(keep));
  }
}

void RetentionPlan::Placed(const std::string& entry, const std::string& url, const NameShape& shape,
                           const std::string& destination) {
  const std::string folder = FolderOf(destination);
  const std::string name = NameOf(destination);
  for (Placement& earlier : placed_) {
    if (earlier.folder == folder && earlier.name == name) earlier.standing = false;
  }
  placed_.push_back({entry, url, folder, name, shape, true});
}

std::vector<std::string> RetentionPlan::PlacedNames(const Placement& p,
                                                    SnapshotFolder& folder) const {
  std::vector<std::string> ours;
  for (const Placement& q : placed_) {
    if (q.standing && q.folder == p.folder && q.url == p.url) {
      ours.push_back(q.name);
      folder.Add(q.name);
    }
  }
  return ours;
}

std::vector<RetentionPlan::Failure> RetentionPlan::Apply(int64_t now) {
  std::vector<Failure> failures;
  std::map<std::string, std::unique_ptr<SnapshotFolder>> folders;  // null: given up
  std::set<std::pair<std::string, std::string>> done;              // (folder, URL)
  std::set<std::string> synced;                                    // folders synced
  for (const Placement& p : placed_) {
    if (!p.standing || !done.insert({p.folder, p.url}).second) continue;
    SnapshotFolder* folder = Listed(folders, p.folder, p.entry, failures);
    if (!folder) continue;
    const std::vector<std::string> ours = PlacedNames(p, *folder);
    const auto found = folder->OwnSnapshots(p.url, p.shape, ours, now);
    const size_t first = FirstToRemove(*folder, found, ours, static_cast<size_t>(keep_));
    if (first == found.size()) continue;
    if (synced.insert(p.folder).second) {
      if (const std::string unsynced = SyncBeforeRemoving(*folder); !unsynced.empty()) {
        failures.push_back({p.entry, unsynced});
        folders[p.folder].reset();
        continue;
      }
    }
    for (size_t i = first; i < found.size(); ++i) {
      std::string failure;
      RemoveIfStillOwn(*folder, found[i], &failure);
      if (!failure.empty()) failures.push_back({p.entry, failure});
    }
  }
  return failures;
}

}  // namespace fw
