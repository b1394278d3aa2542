#include "fetch/snapshot_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/error.h"

namespace fw {
namespace {

[[noreturn]] void RaiseFolder(const std::string& what, const std::string& folder, int err) {
  throw Error(kFileAccess, what + " " + folder + ": " + std::strerror(err));
}

}  // namespace

bool NameShape::Fits(const std::string& name) const {
  const std::string head = stem + "-";
  const std::string tail = dotted ? "." + extension : "";
  return name.size() > head.size() + tail.size() && name.starts_with(head) && name.ends_with(tail);
}

SnapshotFolder::SnapshotFolder(std::string folder) : path_(std::move(folder)) {
  fd_ = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) RaiseFolder("cannot open the folder", path_, errno);
  // The listing gets a descriptor of its own: closedir closes it.
  const int listFd = openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listFd >= 0 ? fdopendir(listFd) : nullptr;
  if (!dir) {
    const int err = errno;
    if (listFd >= 0) close(listFd);
    close(fd_);
    RaiseFolder("cannot read the folder", path_, err);
  }
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (!entry) break;
    // Hidden names are never downloads ("." and ".." and temporary files among
    // them); names the listing already shows to be something other than a
    // regular file need no look.
    if (entry->d_name[0] == '.') continue;
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
    names_.emplace_back(entry->d_name);
  }
  const int err = errno;
  closedir(dir);
  if (err != 0) {
    close(fd_);
    RaiseFolder("cannot read the folder", path_, err);
  }
  std::sort(names_.begin(), names_.end());
}

SnapshotFolder::~SnapshotFolder() {
  close(fd_);
}

std::string SnapshotFolder::PathOf(const std::string& name) const {
  return !path_.empty() && path_.back() == '/' ? path_ + name : path_ + "/" + name;
}

void SnapshotFolder::Add(const std::string& name) {
  const auto at = std::lower_bound(names_.begin(), names_.end(), name);
  if (at == names_.end() || *at != name) names_.insert(at, name);
}

std::vector<OwnSnapshot> SnapshotFolder::OwnSnapshots(const std::string& url,
                                                      const NameShape& shape,
                                                      const std::vector<std::string>& placed,
                                                      int64_t now) const {
  std::vector<OwnSnapshot> found;
  const std::string head = shape.stem + "-";
  for (auto at = std::lower_bound(names_.begin(), names_.end(), head);
       at != names_.end() && at->starts_with(head); ++at) {
    if (!shape.Fits(*at)) continue;
    struct stat info {};
    auto record = ReadRecordAt(fd_, *at, &info);
    if (!record || info.st_nlink != 1 || !record->Names(url)) continue;
    if (!record->Old() && record->name != *at) continue;
    found.push_back({*at, std::move(*record), info.st_dev, info.st_ino});
  }
  // Newest first: the file put in place now, then by fetch time, a time still
  // to come counting as the oldest of all.
  const auto rank = [&](const OwnSnapshot& s) {
    if (std::find(placed.begin(), placed.end(), s.name) != placed.end()) return 0;
    return s.record.fetched > now ? 2 : 1;
  };
  std::sort(found.begin(), found.end(), [&](const OwnSnapshot& a, const OwnSnapshot& b) {
    if (rank(a) != rank(b)) return rank(a) < rank(b);
    if (a.record.fetched != b.record.fetched) return a.record.fetched > b.record.fetched;
    return a.name < b.name;
  });
  return found;
}

bool StillMatches(int fd, const OwnSnapshot& snapshot, ContentDigest* digest) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
      info.st_dev != snapshot.device || info.st_ino != snapshot.inode) {
    return false;
  }
  if (snapshot.record.Old()) return true;
  if (info.st_size != snapshot.record.size) return false;
  try {
    const ContentDigest read = DigestOf(fd, snapshot.name);
    if (digest) *digest = read;
    return read.size == snapshot.record.size && read.hash == snapshot.record.hash;
  } catch (const Error&) {
    return false;
  }
}

SnapshotBasis::~SnapshotBasis() {
  if (fd >= 0) close(fd);
}

std::unique_ptr<SnapshotBasis> FindBasis(const SnapshotFolder& folder, const std::string& url,
                                         const NameShape& shape, int64_t now) {
  const auto found = folder.OwnSnapshots(url, shape, {}, now);
  if (found.empty() || found.front().record.Old()) return nullptr;
  const OwnSnapshot& newest = found.front();
  if (newest.record.etag.empty() && newest.record.lastModified.empty()) return nullptr;
  auto basis = std::make_unique<SnapshotBasis>();
  basis->snapshot = newest;
  basis->fd = openat(folder.fd(), newest.name.c_str(),
                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (basis->fd < 0 || fstat(basis->fd, &basis->checked) != 0 || !StillMatches(basis->fd, newest)) {
    return nullptr;
  }
  return basis;
}

}  // namespace fw
