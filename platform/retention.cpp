#include "platform/retention.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/error.h"
#include "platform/snapshot_record.h"

namespace fw {
namespace {

struct Snapshot {
  std::string name;
  int64_t fetched = 0;
  dev_t device = 0;
  ino_t inode = 0;
};

[[noreturn]] void RaiseFolder(const std::string& what, const std::string& folder, int err) {
  throw Error(kFileAccess, what + " " + folder + ": " + std::strerror(err));
}

// The open folder, closed on every way out.
class Folder {
 public:
  explicit Folder(const std::string& path)
      : fd_(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0) RaiseFolder("cannot open the folder", path, errno);
  }
  ~Folder() { close(fd_); }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// The snapshots of `url` in the folder open as `folderFd`, newest first.
std::vector<Snapshot> ListSnapshots(int folderFd, const std::string& folder,
                                    const std::string& url) {
  // The listing gets a descriptor of its own: closedir closes it, and reading
  // it moves its position, not that of `folderFd`.
  const int listFd = openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) RaiseFolder("cannot read the folder", folder, errno);
  DIR* dir = fdopendir(listFd);
  if (!dir) {
    const int err = errno;
    close(listFd);
    RaiseFolder("cannot read the folder", folder, err);
  }

  std::vector<Snapshot> found;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (!entry) break;
    // Hidden names are never downloads ("." and ".." and temporary files
    // among them); names the listing already shows to be something other than
    // a regular file need no look.
    if (entry->d_name[0] == '.') continue;
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
    struct stat info {};
    const auto record = ReadRecordAt(folderFd, entry->d_name, &info);
    if (!record || record->url != url) continue;
    found.push_back({entry->d_name, record->fetched, info.st_dev, info.st_ino});
  }
  const int err = errno;
  closedir(dir);
  if (err != 0) RaiseFolder("cannot read the folder", folder, err);

  std::sort(found.begin(), found.end(), [](const Snapshot& a, const Snapshot& b) {
    if (a.fetched != b.fetched) return a.fetched > b.fetched;
    return a.name < b.name;
  });
  return found;
}

std::string Join(const std::string& folder, const std::string& name) {
  return !folder.empty() && folder.back() == '/' ? folder + name : folder + "/" + name;
}

}  // namespace

std::vector<std::string> SnapshotsOf(const std::string& folder, const std::string& url) {
  const Folder dir(folder);
  std::vector<std::string> paths;
  for (const Snapshot& s : ListSnapshots(dir.fd(), folder, url)) {
    paths.push_back(Join(folder, s.name));
  }
  return paths;
}

std::optional<std::string> NewestSnapshot(const std::string& folder, const std::string& url) {
  const Folder dir(folder);
  const std::vector<Snapshot> found = ListSnapshots(dir.fd(), folder, url);
  if (found.empty()) return std::nullopt;
  return Join(folder, found.front().name);
}

void KeepNewest(const std::string& folder, const std::string& url, int keep,
                std::vector<std::string>* failures) {
  if (keep < 1) {
    throw Error(kInvalidArgument,
                "snapshots to keep must be at least 1, not " + std::to_string(keep));
  }
  const Folder dir(folder);
  const std::vector<Snapshot> found = ListSnapshots(dir.fd(), folder, url);
  for (size_t i = static_cast<size_t>(keep); i < found.size(); ++i) {
    const Snapshot& old = found[i];
    // The name must still name the file whose record was read: a file renamed
    // or linked in meanwhile is not one this run may remove.
    struct stat now {};
    if (fstatat(dir.fd(), old.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT && failures) {
        failures->push_back("cannot check " + Join(folder, old.name) + ": " + std::strerror(errno));
      }
      continue;
    }
    if (!S_ISREG(now.st_mode) || now.st_dev != old.device || now.st_ino != old.inode) continue;
    if (unlinkat(dir.fd(), old.name.c_str(), 0) != 0 && errno != ENOENT && failures) {
      failures->push_back("cannot remove " + Join(folder, old.name) + ": " + std::strerror(errno));
    }
  }
}

}  // namespace fw
