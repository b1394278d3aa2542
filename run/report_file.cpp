#include "run/report_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_lock.h"
#include "run/names.h"
#include "run/report_lines.h"

namespace modMain {
namespace {

constexpr char kNotRegular[] = "not a regular file";

// Why opening `path` failed with `err`: an existing file of another kind (a
// FIFO without a reader gives ENXIO, a folder EISDIR) is named as such.
std::string WhyNotOpened(const std::string& path, int err) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return kNotRegular;
  return std::strerror(err);
}

}  // namespace

std::string ReportPath(const std::string& setting, const std::string& programFolder) {
  if (setting.empty() || setting[0] == '/') return setting;
  return FixPath(programFolder) + setting;
}

ReportFile::ReportFile(const std::string& path, Say say, std::chrono::milliseconds lockWait)
    : path_(path), say_(std::move(say)), lockWait_(lockWait), started_(std::time(nullptr)) {
  if (path_.empty()) return;
  // O_NONBLOCK: a FIFO without a reader fails at once instead of waiting for
  // one; on a regular file it changes nothing.
  constexpr int kFlags = O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  fd_ = open(path_.c_str(), O_RDWR | kFlags, 0600);
  if (fd_ < 0 && errno == EACCES) {
    fd_ = open(path_.c_str(), O_WRONLY | kFlags, 0600);
    readable_ = false;
  }
  if (fd_ < 0) {
    Fail(WhyNotOpened(path_, errno));
    return;
  }
  struct stat st {};
  if (fstat(fd_, &st) != 0) {
    Fail(std::strerror(errno));
  } else if (!S_ISREG(st.st_mode)) {
    Fail(kNotRegular);
  }
}

ReportFile::~ReportFile() {
  if (fd_ >= 0) close(fd_);
}

void ReportFile::Entry(const std::string& url, const std::string& file,
                       const fw::SnapshotResult& result) {
  if (fd_ >= 0) Append(EntryLine(std::time(nullptr), url, file, result));
}

void ReportFile::Run(int entries, int failed) {
  if (fd_ >= 0) Append(RunLine(started_, std::time(nullptr), entries, failed));
}

void ReportFile::Append(const std::string& line) {
  if (fd_ < 0) return;
  if (!Lock()) {
    Fail("another program keeps it locked");
    return;
  }
  const std::string why = AppendLocked(line);
  flock(fd_, LOCK_UN);
  if (!why.empty()) Fail(why);
}

// Takes the file's exclusive lock, waiting at most lockWait_ for another
// holder (other runs hold it only for one line). False when it stays taken.
// On a file system without locks the line goes out unlocked.
bool ReportFile::Lock() {
  return fw::LockWithin(fd_, LOCK_EX, lockWait_) || errno != EWOULDBLOCK;
}

// Writes `line` at the end of the locked file, after a line break when the
// file does not end in one; on failure truncates away what was written and
// says why.
std::string ReportFile::AppendLocked(const std::string& line) {
  struct stat st {};
  if (fstat(fd_, &st) != 0) return std::strerror(errno);
  char last = '\n';
  if (st.st_size > 0 && readable_ && pread(fd_, &last, 1, st.st_size - 1) != 1) last = '\n';
  const std::string text = last == '\n' ? line : "\n" + line;
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd_, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    std::string why = n < 0 ? std::strerror(errno) : "nothing was written";
    // With O_APPEND the offset is the end of what this write put there.
    const off_t end = lseek(fd_, 0, SEEK_CUR);
    if (done > 0 && (end < 0 || ftruncate(fd_, end - static_cast<off_t>(done)) != 0)) {
      why += "; a cut line stays at the end: " + std::string(std::strerror(errno));
    }
    return why;
  }
  return {};
}

void ReportFile::Fail(const std::string& why) {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (say_) say_("cannot write the report " + path_ + ": " + why);
}

}  // namespace modMain
