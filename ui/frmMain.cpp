#include "ui/frmMain.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <memory>
#include <optional>
#include <set>

#include "fetch/download.h"
#include "fetch/retention.h"
#include "fetch/retry.h"
#include "fetch/snapshot_fetch.h"
#include "fetch/snapshot_run.h"
#include "platform/error.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "startup/names.h"
#include "startup/report_file.h"
#include "startup/run_observer.h"
#include "startup/written_names.h"
#include "ui/download_settings.h"

namespace {

// The folder box while no window is shown.
class MemoryTextBox : public TextBox {
 public:
  std::string Text() const override { return text_; }
  void SetText(const std::string& text) override { text_ = text; }

 private:
  std::string text_;
};

// The list display while no window is shown: nobody sees its rows, so none
// are kept (a second copy of a long list would double the run's memory).
class UnseenListDisplay : public ListDisplay {
 public:
  void Clear() override {}
  void AddItem(const std::string&) override {}
};

class SilentObserver : public RunObserver {
 public:
  void EntryStarted(int, int, const std::string&, const std::string&) override {}
  void EntryProgress(int64_t, int64_t) override {}
  void EntryFailed(const std::string&, const std::string&) override {}
  void RunEnded() override {}
};

std::unique_ptr<frmMain> g_form;
std::string g_programFolder;  // set by tests; empty means the executable's folder

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

fw::DownloadTrust TrustOf(const DownloadSettings& settings) {
  fw::DownloadTrust trust;
  trust.caFile = settings.caFile;
  trust.netrcFile = NetrcPath();
  return trust;
}

fw::SnapshotOptions OptionsOf(const DownloadSettings& settings) {
  fw::SnapshotOptions options;
  options.retries = settings.retries;
  options.skipUnchanged = settings.skipUnchanged;
  options.keepCopies = settings.keepCopies;
  return options;
}

fw::DownloadLimits LimitsOf(const DownloadSettings& settings) {
  fw::DownloadLimits limits;
  limits.connectTimeout = settings.connectTimeout;
  limits.stallTimeout = settings.stallTimeout;
  return limits;
}

}  // namespace

struct frmMain::State {
  std::unique_ptr<clsFiles> files;
  std::unique_ptr<clsSettings> settings;
  UnseenListDisplay unseenList;
  MemoryTextBox memoryText;
  ListDisplay* list = &unseenList;
  TextBox* text = &memoryText;
  RunObserver* observer = nullptr;
  // The name limit of the folder last looked at: a run asks once, not per entry.
  std::string limitFolder;
  size_t nameLimit = 255;
};

frmMain::frmMain() : state_(std::make_unique<State>()) {}
frmMain::~frmMain() = default;

frmMain& frmMain::Instance() {
  if (!g_form) g_form = std::make_unique<frmMain>();
  return *g_form;
}

bool frmMain::Loaded() {
  return g_form != nullptr;
}

void frmMain::Unload() {
  g_form.reset();
}

clsFiles& frmMain::Files() {
  if (!state_->files) state_->files = std::make_unique<clsFiles>();
  return *state_->files;
}

clsSettings& frmMain::Settings() {
  if (!state_->settings) state_->settings = std::make_unique<clsSettings>();
  return *state_->settings;
}

ListDisplay& frmMain::lstFiles() {
  return *state_->list;
}

TextBox& frmMain::txtPath() {
  return *state_->text;
}

void frmMain::AttachControls(ListDisplay* list, TextBox* text) {
  TextBox* newText = text ? text : &state_->memoryText;
  if (newText != state_->text) {
    newText->SetText(state_->text->Text());
    state_->text = newText;
  }
  state_->list = list ? list : &state_->unseenList;
  Files().AddToList(*state_->list);
}

void frmMain::LoadData() {
  {
    const fw::FolderLock lock(ProgramFolder(), fw::FolderLock::Mode::kShared);
    Files().LoadData(ListFilePath());
    LoadSettings();
  }
  Files().AddToList(lstFiles());
}

void frmMain::LoadSettings() {
  Settings().Path(SettingsFilePath());
  // An empty saved folder would send every file to the root of the file
  // system; it stands for the program's folder, like a missing one.
  const std::string folder = Settings().GetString("General", "FolderPath", "");
  txtPath().SetText(folder.empty() ? ProgramFolder() : folder);
}

int frmMain::DownloadFiles() {
  SilentObserver silent;
  RunObserver& observer = state_->observer ? *state_->observer : silent;
  clsFiles& files = Files();
  const int32_t upper = files.UpperBound();
  int count = 0;
  for (int32_t i = 0; i <= upper; ++i) count += !files.File(i).empty();

  std::unique_ptr<fw::DownloadSession> session;
  std::unique_ptr<fw::SnapshotFetcher> snapshots;
  const DownloadSettings settings = ReadDownloadSettings(Settings());
  for (const std::string& line : settings.invalid) observer.RunNote(line);
  // Each entry's result and the run's end go to the report file, when one is
  // set; one that cannot be written is said once and fails nothing.
  modMain::ReportFile reportFile(
      modMain::ReportPath(settings.reportFile, ProgramFolder()),
      [&observer](const std::string& problem) { observer.RunNote(problem); });
  // RunTimeout bounds the whole run: once it passes, the entry under way and
  // those not yet begun fail, their older files kept.
  fw::DownloadLimits limits = LimitsOf(settings);
  limits.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(settings.runTimeout);
  const fw::SnapshotOptions options = OptionsOf(settings);
  // Older snapshots go once every entry is settled (KeepCopies).
  std::unique_ptr<fw::RetentionPlan> retention;
  if (options.keepCopies > 0) retention = std::make_unique<fw::RetentionPlan>(options.keepCopies);
  // The files put in place this run, for the "replaces" line; the earlier
  // entry's URL is read back from the list. Kept compactly, and the run's
  // other state only for entries not yet told, so that memory does not grow
  // with the list.
  modMain::WrittenNames written(static_cast<size_t>(count));
  std::deque<int32_t> indexes;  // the list index of each entry taken, not yet told
  int failed = 0;
  // Entries are fetched side by side (fetch/snapshot_run.h); each result is
  // told in list order, once its file is in place or it failed for good.
  const auto report = [&](int, const fw::SnapshotEntry& entry, const fw::SnapshotResult& result) {
    const std::string& url = entry.url;
    const int32_t index = indexes.front();
    indexes.pop_front();
    // A URL a reason quotes is shown cut when very long; the report's "url"
    // field keeps it whole.
    fw::SnapshotResult told = result;
    told.reason = modMain::ShownUrlsIn(result.reason);
    reportFile.Entry(url, entry.destination, told);
    if (!result.ok) observer.EntryFailed(url, told.reason);
    for (const std::string& note : result.notes) observer.EntryNote(url, note);
    failed += !result.ok;
    if (!result.ok) return;
    // Two entries of one name: the later wins, and the user hears of it.
    if (const auto earlier = written.Placed(entry.destination, index)) {
      observer.EntryReplaces(url, modMain::GetFileFromURL(entry.destination), files.File(*earlier));
    }
    if (retention) retention->Placed(url, entry.recordUrl, entry.shape, entry.destination);
  };
  int32_t next = 0;
  const auto nextUrl = [&]() -> std::optional<std::string> {
    for (; next <= upper; ++next) {
      if (files.File(next).empty()) continue;
      indexes.push_back(next);
      return files.File(next++);
    }
    return std::nullopt;
  };
  // Name and date are taken anew for each entry, as its transfer starts.
  const auto name = [&](const std::string& url) { return EntryOf(url, settings.dateFormat); };
  // Made only when there is an entry, so that a run with nothing to fetch
  // never starts the download library.
  if (count > 0) {
    session = std::make_unique<fw::DownloadSession>(limits, TrustOf(settings), settings.parallel);
    for (const std::string& notice : session->Notices()) observer.RunNote(notice);
    snapshots = std::make_unique<fw::SnapshotFetcher>(*session, options);
    fw::SnapshotRun::Events events;
    events.started = [&](int number, const fw::SnapshotEntry& entry) {
      observer.EntryStarted(number, count, entry.url, entry.destination);
    };
    events.retrying = [&](int, int retry, int of, bool whole) {
      observer.EntryRetrying(retry, of, whole);
    };
    events.progress = [&](const fw::RunProgress& progress) { observer.RunProgressed(progress); };
    events.finished = report;
    fw::SnapshotRun run(*session, *snapshots, options.retries, name, events);
    run.Run(nextUrl);
    for (const std::string& note : session->RunNotes()) observer.RunNote(note);
  }
  // The session's connections and files made ahead are let go first, so that
  // retention has the descriptors it needs.
  snapshots.reset();
  session.reset();
  if (retention) {
    std::set<std::string> counted;
    for (const auto& failure : retention->Apply(static_cast<int64_t>(std::time(nullptr)))) {
      observer.EntryNote(failure.entry, failure.line);
      failed += counted.insert(failure.entry).second;
    }
  }
  reportFile.Run(count, failed);
  observer.RunCounted(failed, count);
  observer.RunEnded();
  return failed;
}

fw::SnapshotEntry frmMain::EntryOf(const std::string& url, const std::string& dateFormat) {
  fw::SnapshotEntry entry;
  entry.url = url;
  // A user and password in the URL never become part of a file's name.
  entry.recordUrl = modMain::WithoutUserInfo(url);
  const std::string name = modMain::GetFileFromURL(entry.recordUrl);
  entry.shape = {modMain::StripExtension(name), modMain::GetExtension(name)};
  const std::string folder = modMain::FixPath(txtPath().Text());
  const std::string date = DateText(dateFormat);
  // A name longer than the folder's file system takes is shortened now, not
  // found out once the whole body is in (the hidden temporary file beside it
  // has a short name of its own).
  if (folder != state_->limitFolder) {
    const long most = pathconf(folder.c_str(), _PC_NAME_MAX);
    state_->limitFolder = folder;
    state_->nameLimit = most > 0 ? static_cast<size_t>(most) : 255;
  }
  modMain::FitDatedName(entry.shape.stem, entry.shape.extension, date.size(), state_->nameLimit);
  entry.destination = folder + entry.shape.stem + "-" + date + "." + entry.shape.extension;
  return entry;
}

fw::DownloadTrust frmMain::DownloadTrust() {
  return TrustOf(ReadDownloadSettings(Settings()));
}

fw::SnapshotOptions frmMain::SnapshotOptions() {
  return OptionsOf(ReadDownloadSettings(Settings()));
}

fw::DownloadLimits frmMain::DownloadLimits() {
  return LimitsOf(ReadDownloadSettings(Settings()));
}

void frmMain::SetRunObserver(RunObserver* observer) {
  state_->observer = observer;
}

void frmMain::AddFile(const std::string& answer) {
  if (!answer.empty()) Files().AddFile(answer);
  Files().AddToList(lstFiles());
}

void frmMain::RemoveFiles(const std::vector<int>& selected) {
  std::vector<int> rows = selected;
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  for (int row : rows) {
    if (!Files().IsFile(row)) {
      throw fw::Error(fw::kSubscriptOutOfRange,
                      "Subscript out of range: no row " + std::to_string(row) + " in the list");
    }
  }
  // From the last row back, so that each position still names its entry.
  for (auto row = rows.rbegin(); row != rows.rend(); ++row) Files().RemoveFile(*row);
  Files().AddToList(lstFiles());
}

void frmMain::ClearAll() {
  Files().ClearAll();
  Files().AddToList(lstFiles());
}

bool frmMain::Save(const std::function<bool()>& replaceChanged) {
  // The version on disk that the user agreed to replace.
  std::optional<clsFiles::Version> agreed;
  for (;;) {
    std::optional<clsFiles::Version> onDisk;
    {
      const fw::FolderLock lock(ProgramFolder(), fw::FolderLock::Mode::kExclusive);
      onDisk = clsFiles::VersionOf(ListFilePath());
      if (!onDisk || onDisk == Files().LoadedVersion() || onDisk == agreed) {
        Files().SaveData(ListFilePath());
        if (Settings().WriteString("General", "FolderPath", txtPath().Text()) == 0) {
          throw fw::Error(fw::kFileAccess, "cannot write the settings file " + SettingsFilePath());
        }
        return true;
      }
    }
    // Asked without the lock, so that nobody's --add waits for the answer.
    if (!replaceChanged || !replaceChanged()) return false;
    agreed = onDisk;
  }
}

std::string frmMain::ListFilePath() {
  return modMain::FixPath(ProgramFolder()) + "Files.dat";
}

std::string frmMain::SettingsFilePath() {
  return modMain::FixPath(ProgramFolder()) + "Settings.inf";
}

std::string frmMain::ProgramFolder() {
  return g_programFolder.empty() ? fw::ProgramFolder() : g_programFolder;
}

void frmMain::UseProgramFolder(const std::string& folder) {
  g_programFolder = folder;
}
