// One download run of the list into the download folder, from the settings of
// section "Download" to the last line of the report file.
//
// Plan() names every entry as a run would today and asks no server (what
// --dry-run prints). Run() fetches every non-empty entry side by side as a
// dated snapshot (fetch/snapshot_run.h), naming each the same way as its
// transfer starts; tells each result in list order to the observer and the
// report file (run/report_file.h); then removes each URL's snapshots beyond
// KeepCopies (fetch/retention.h). A failed entry never stops the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fetch/snapshot_fetch.h"
#include "run/download_settings.h"
#include "run/headers_file.h"
#include "run/run_observer.h"
#include "store/clsFiles.h"
#include "store/clsSettings.h"

// One entry of the list as a run would take it today.
struct PlannedEntry {
  std::string url;          // as listed; empty for an empty entry
  std::string destination;  // the file a run would put in place
  // The name of the snapshot a run would ask the server about ("" for none);
  // nullopt when not looked for.
  std::optional<std::string> basis;
};

class DownloadRun {
 public:
  // The download folder's text, asked anew for each entry as it is named.
  using Folder = std::function<std::string()>;
  // A run of `files` into `folder`; section "Download" of `settings` is read
  // now, and the HeadersFile it names; a relative ReportFile or HeadersFile
  // is taken from `programFolder`.
  // REQUIRES: `files` outlives the run.
  DownloadRun(const clsFiles& files, Folder folder, clsSettings& settings,
              const std::string& programFolder);

  const DownloadSettings& Settings() const { return settings_; }
  // The request headers of HeadersFile, read once, with the settings.
  const RequestHeaders& Headers() const { return headers_; }

  // Every entry in list order, empty ones included; each basis is looked for
  // only when `withBases` and SkipUnchanged are both set. Only reads.
  std::vector<PlannedEntry> Plan(bool withBases);

  // Fetches every non-empty entry and returns how many failed (a failed
  // removal of older snapshots counts its entry as failed). Never raises but
  // std::bad_alloc.
  int Run(RunObserver& observer);

  // The entry of `url` as it would be fetched now: its destination in the
  // folder with today's date, cut to the folder's longest name.
  fw::SnapshotEntry EntryOf(const std::string& url);

 private:
  struct Road;
  int Count() const;
  void Fetch(Road& road);
  void Told(Road& road, const fw::SnapshotEntry& entry, const fw::SnapshotResult& result);
  void RemoveOlderCopies(Road& road);

  const clsFiles& files_;
  Folder folder_;
  std::string programFolder_;
  DownloadSettings settings_;
  RequestHeaders headers_;
  // The longest file name of the folder last named into, asked once a folder.
  std::string limitFolder_;
  size_t nameLimit_ = 255;
};
