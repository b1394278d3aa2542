// The report file of one download run: each entry's line, then the run's
// (run/report_lines.h), appended to the file ReportFile names.
//
// Opened once, without blocking; only a regular file (or a link to one) is
// written, and a new one gets mode 0600. Each line is appended whole or not at
// all, under an exclusive flock() held until any truncation, so runs sharing
// the file never mix lines; a short write is truncated away, and a file not
// ending in a line break gets one first. The first failure (cannot open, not a
// regular file, locked longer than `lockWait`, a failed write) is said once
// through `say` as "cannot write the report <path>: <why>", and the report
// ends there. A report never fails a run; nothing raises but std::bad_alloc.
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
