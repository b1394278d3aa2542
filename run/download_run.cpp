#include "run/download_run.h"

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <memory>
#include <set>
#include <utility>

#include "fetch/basis_search.h"
#include "fetch/download.h"
#include "fetch/retention.h"
#include "fetch/snapshot_run.h"
#include "run/names.h"
#include "run/report_file.h"
#include "run/written_names.h"

namespace {

// Today's date in the strftime `format` (the locale's short date, "%x", when
// the format gives nothing usable), "/" turned into "-" so that the date cannot
// add folders to a destination.
std::string DateText(const std::string& format) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  if (auto date = UsableDate(format, local)) return *date;
  return UsableDate("%x", local).value_or("");
}

// The user's netrc file: ~/.netrc.
std::string NetrcPath() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    const passwd* pw = getpwuid(getuid());
    home = pw != nullptr ? pw->pw_dir : nullptr;
  }
  return home != nullptr && *home != '\0' ? modMain::FixPath(home) + ".netrc" : std::string();
}

}  // namespace

// What one Run() keeps while entries are told.
struct DownloadRun::Road {
  RunObserver& observer;
  modMain::ReportFile report;
  int count = 0;   // non-empty entries
  int failed = 0;  // entries failed so far
  // The files put in place this run, for the "replaces" line; the earlier
  // entry's URL is read back from the list, so that memory does not grow with it.
  modMain::WrittenNames written;
  std::deque<int32_t> indexes;                   // the list index of each entry taken, not yet told
  std::unique_ptr<fw::RetentionPlan> retention;  // with KeepCopies only
};

DownloadRun::DownloadRun(const clsFiles& files, Folder folder, clsSettings& settings,
                         const std::string& programFolder)
    : files_(files),
      folder_(std::move(folder)),
      programFolder_(programFolder),
      settings_(ReadDownloadSettings(settings)) {
  if (!settings_.headersFile.empty()) {
    headers_ = RequestHeaders::Read(modMain::ReportPath(settings_.headersFile, programFolder_));
  }
}

fw::SnapshotEntry DownloadRun::EntryOf(const std::string& url) {
  fw::SnapshotEntry entry;
  entry.url = url;
  // A user and password in the URL never become part of a file's name.
  entry.recordUrl = modMain::WithoutUserInfo(url);
  const auto rule = settings_.namesByPath ? modMain::NameRule::kPath : modMain::NameRule::kUrl;
  entry.shape = modMain::NameShapeOf(entry.recordUrl, rule);
  const std::string folder = modMain::FixPath(folder_());
  const std::string date = DateText(settings_.dateFormat);
  // A name longer than the folder's file system takes is shortened now, not
  // found out once the whole body is in.
  if (folder != limitFolder_) {
    const long most = pathconf(folder.c_str(), _PC_NAME_MAX);
    limitFolder_ = folder;
    nameLimit_ = most > 0 ? static_cast<size_t>(most) : 255;
  }
  modMain::FitNameShape(entry.shape, rule, date.size(), nameLimit_);
  entry.destination = folder + modMain::DatedName(entry.shape, date);
  return entry;
}

std::vector<PlannedEntry> DownloadRun::Plan(bool withBases) {
  std::vector<PlannedEntry> plan;
  fw::BasisSearch bases;
  for (int32_t i = 0; i <= files_.UpperBound(); ++i) {
    PlannedEntry planned;
    planned.url = files_.File(i);
    if (!planned.url.empty()) {
      const fw::SnapshotEntry entry = EntryOf(planned.url);
      planned.destination = entry.destination;
      if (withBases && settings_.skipUnchanged) planned.basis = bases.BasisName(entry);
    }
    plan.push_back(std::move(planned));
  }
  return plan;
}

int DownloadRun::Count() const {
  int count = 0;
  for (int32_t i = 0; i <= files_.UpperBound(); ++i) count += !files_.File(i).empty();
  return count;
}

int DownloadRun::Run(RunObserver& observer) {
  for (const std::string& line : settings_.invalid) observer.RunNote(line);
  for (const std::string& line : settings_.unused) observer.RunNote(line);
  for (const std::string& line : headers_.Notices()) observer.RunNote(line);
  // A report file that cannot be written is said once and fails nothing.
  Road road{observer,
            modMain::ReportFile(modMain::ReportPath(settings_.reportFile, programFolder_),
                                [&observer](const std::string& line) { observer.RunNote(line); }),
            Count(),
            0,
            modMain::WrittenNames(static_cast<size_t>(Count())),
            {},
            nullptr};
  if (settings_.keepCopies > 0) {
    road.retention = std::make_unique<fw::RetentionPlan>(settings_.keepCopies);
  }
  // A run with nothing to fetch never starts the download library.
  if (road.count > 0) Fetch(road);
  if (road.retention) RemoveOlderCopies(road);
  road.report.Run(road.count, road.failed);
  observer.RunCounted(road.failed, road.count);
  observer.RunEnded();
  return road.failed;
}

// Every entry, side by side; each told in list order once settled.
void DownloadRun::Fetch(Road& road) {
  fw::DownloadLimits limits;
  limits.connectTimeout = settings_.connectTimeout;
  limits.stallTimeout = settings_.stallTimeout;
  // RunTimeout bounds the whole run: the entries under way and those not yet
  // begun fail once it passes, their older files kept.
  limits.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(settings_.runTimeout);
  fw::DownloadTrust trust;
  trust.caFile = settings_.caFile;
  trust.netrcFile = NetrcPath();
  trust.userAgent = settings_.userAgent;
  if (!headers_.Empty()) {
    trust.headers = [this](const std::string& url) { return headers_.For(url); };
  }
  fw::SnapshotOptions options;
  options.retries = settings_.retries;
  options.skipUnchanged = settings_.skipUnchanged;
  options.keepCopies = settings_.keepCopies;

  fw::DownloadSession session(limits, trust, settings_.parallel);
  for (const std::string& notice : session.Notices()) road.observer.RunNote(notice);
  fw::SnapshotFetcher fetcher(session, options);
  fw::SnapshotRun::Events events;
  events.started = [&](int number, const fw::SnapshotEntry& entry) {
    road.observer.EntryStarted(number, road.count, entry.url, entry.destination);
  };
  events.retrying = [&](int, int retry, int of, bool whole) {
    road.observer.EntryRetrying(retry, of, whole);
  };
  events.progress = [&](const fw::RunProgress& p) { road.observer.RunProgressed(p); };
  events.finished = [&](int, const fw::SnapshotEntry& entry, const fw::SnapshotResult& result) {
    Told(road, entry, result);
  };
  int32_t next = 0;
  const auto nextUrl = [&]() -> std::optional<std::string> {
    for (; next <= files_.UpperBound(); ++next) {
      if (files_.File(next).empty()) continue;
      road.indexes.push_back(next);
      return files_.File(next++);
    }
    return std::nullopt;
  };
  // Name and date are taken anew for each entry, as its transfer starts.
  fw::SnapshotRun run(
      session, fetcher, options.retries, [this](const std::string& url) { return EntryOf(url); },
      events);
  run.Run(nextUrl);
  for (const std::string& note : session.RunNotes()) road.observer.RunNote(note);
}

void DownloadRun::Told(Road& road, const fw::SnapshotEntry& entry,
                       const fw::SnapshotResult& result) {
  const std::string& url = entry.url;
  const int32_t index = road.indexes.front();
  road.indexes.pop_front();
  // A URL a reason quotes is shown cut when very long; the report's "url"
  // field keeps it whole.
  fw::SnapshotResult told = result;
  told.reason = modMain::ShownUrlsIn(result.reason);
  road.report.Entry(url, entry.destination, told);
  if (result.ok) {
    road.observer.EntryFetched(url, result.fresh, result.bytes);
  } else {
    road.observer.EntryFailed(url, told.reason);
  }
  for (const std::string& note : result.notes) road.observer.EntryNote(url, note);
  road.failed += !result.ok;
  if (!result.ok) return;
  // Two entries of one name: the later wins, and the user hears of it.
  if (const auto earlier = road.written.Placed(entry.destination, index)) {
    road.observer.EntryReplaces(url, modMain::GetFileFromURL(entry.destination),
                                files_.File(*earlier));
  }
  if (road.retention) {
    road.retention->Placed(url, entry.recordUrl, entry.shape, entry.destination);
  }
}

// Once every entry is settled and the session's descriptors are let go.
void DownloadRun::RemoveOlderCopies(Road& road) {
  std::set<std::string> counted;
  for (const auto& failure : road.retention->Apply(static_cast<int64_t>(std::time(nullptr)))) {
    road.observer.EntryNote(failure.entry, failure.line);
    road.failed += counted.insert(failure.entry).second;
  }
}
