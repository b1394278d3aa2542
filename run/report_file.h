// The report file of one download run: each entry's line and then the run's
// line (run/report_lines.h) appended to the file the settings name.
//
// The file is opened once, when the run starts (the ReportFile is made), with
// O_RDWR|O_APPEND|O_CREAT|O_CLOEXEC|O_NOCTTY|O_NONBLOCK (O_WRONLY for a file
// this user may write but not read); a new file gets mode 0600 (less the
// umask), as its lines name URLs and folders; an existing one keeps its own.
// Only a regular file, or a link to one, is written: a FIFO neither blocks
// the open nor is written to, and a folder or device is refused.
//
// Each line is appended whole or not at all, under an exclusive flock() of the
// file held from before the write until after any truncation, so that runs
// appending to one file at the same time never mix or cut each other's lines.
// A write that fails or is cut short (a full disk, a file size limit) has what
// it wrote truncated away again. A file that does not end in a line break (cut
// by another program) gets one before the next line. A lock another program
// holds for longer than `lockWait` ends the report; on a file system without
// locks the lines go out unlocked, each still whole or truncated away.
//
// The first failure (the file cannot be opened, is not a regular file, stays
// locked, a write fails or is cut short) is told once through `say`, as
// "cannot write the report <path>: <why>"; the file is then let go and nothing
// more is written by this run. A report never fails a run. Nothing here
// raises, except std::bad_alloc.
#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <string>

#include "fetch/snapshot_fetch.h"

namespace modMain {

// Where the ReportFile setting `setting` points: "" for no report, an absolute
// path as it is, any other path relative to `programFolder`.
std::string ReportPath(const std::string& setting, const std::string& programFolder);

class ReportFile {
 public:
  using Say = std::function<void(const std::string& line)>;

  // How long a line waits for a lock another program holds.
  static constexpr std::chrono::milliseconds kLockWait{10000};

  // Opens `path` for the run starting now; an empty `path` means no report,
  // and every call then does nothing.
  ReportFile(const std::string& path, Say say, std::chrono::milliseconds lockWait = kLockWait);
  ~ReportFile();
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  // Appends the line of the entry fetched from `url` into `file`, told now.
  void Entry(const std::string& url, const std::string& file, const fw::SnapshotResult& result);
  // Appends the run's line: from when this object was made until now, with
  // `failed` of `entries` entries failed.
  void Run(int entries, int failed);
  // Appends `line` (ending in "\n") whole or not at all.
  void Append(const std::string& line);

 private:
  bool Lock();
  std::string AppendLocked(const std::string& line);
  void Fail(const std::string& why);

  std::string path_;
  Say say_;
  int fd_ = -1;
  bool readable_ = true;  // the last byte can be read, to see that a line ended
  std::chrono::milliseconds lockWait_;
  std::time_t started_;
};

}  // namespace modMain
