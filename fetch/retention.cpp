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

std::vector<RetentionPlan::Failure> RetentionPlan::Apply(int64_t now) {
  std::vector<Failure> failures;
  std::map<std::string, std::unique_ptr<SnapshotFolder>> folders;
  std::set<std::string> unreadable;
  std::set<std::pair<std::string, std::string>> done;  // (folder, URL)
  std::set<std::string> synced;                        // folders synced this run
  for (const Placement& p : placed_) {
    if (!p.standing || !done.insert({p.folder, p.url}).second) continue;
    auto& folder = folders[p.folder];
    if (!folder) {
      if (unreadable.count(p.folder)) continue;
      try {
        folder = std::make_unique<SnapshotFolder>(p.folder);
      } catch (const Error& e) {
        unreadable.insert(p.folder);
        failures.push_back({p.entry, e.Description()});
        continue;
      }
    }
    // Every name this run put in place for the URL counts as newest.
    std::vector<std::string> ours;
    for (const Placement& q : placed_) {
      if (q.standing && q.folder == p.folder && q.url == p.url) {
        ours.push_back(q.name);
        folder->Add(q.name);
      }
    }
    const auto found = folder->OwnSnapshots(p.url, p.shape, ours, now);
    // Newest first, the snapshots still as recorded are counted until keep_
    // are; an edited one is the user's, neither counted nor removed. Files
    // are read only while some older one could still go; a file this run put
    // in place got its record from the very bytes written, and is not read.
    size_t kept = 0;
    const auto keep = static_cast<size_t>(keep_);
    for (size_t i = 0; i < found.size(); ++i) {
      if (kept < keep) {
        if (kept + (found.size() - i) <= keep) break;
        const bool placedNow = std::find(ours.begin(), ours.end(), found[i].name) != ours.end();
        kept += placedNow || StillOwn(*folder, found[i]);
        continue;
      }
      // This run's new files in the folder reach the disk before the first
      // older one goes; when they cannot, the folder keeps all it has.
      if (synced.count(p.folder) == 0) {
        // A sync of this file system that failed earlier in the run is not
        // told again to this one: its files may not be on the disk.
        struct stat st {};
        const bool failedBefore = fstat(folder->fd(), &st) == 0 && SyncFailedOn(st.st_dev);
        if (failedBefore || syncfs(folder->fd()) != 0) {
          failures.push_back(
              {p.entry, "older snapshots in " + p.folder +
                            " are kept: this run's files there cannot be made "
                            "durable (" +
                            (failedBefore ? std::string("an earlier syncfs failed")
                                          : "syncfs: " + std::string(std::strerror(errno))) +
                            ")"});
          unreadable.insert(p.folder);
          folder.reset();
          break;
        }
        synced.insert(p.folder);
      }
      std::string failure;
      RemoveIfStillOwn(*folder, found[i], &failure);
      if (!failure.empty()) failures.push_back({p.entry, failure});
    }
  }
  return failures;
}

}  // namespace fw
