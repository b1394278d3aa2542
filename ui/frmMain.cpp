#include "ui/frmMain.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <map>
#include <memory>

#include "platform/download.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/retry.h"
#include "platform/snapshot_fetch.h"
#include "startup/names.h"
#include "startup/run_observer.h"

namespace {

constexpr long kDefaultConnectTimeout = 30;
constexpr long kDefaultStallTimeout = 60;
constexpr long kLongestTimeLimit = 86400;
constexpr long kDefaultRetries = 2;
constexpr long kMostKeptCopies = 1000000;

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
  char buf[256];
  std::string date(buf, std::strftime(buf, sizeof buf, format.c_str(), &local));
  // Too long, empty, or with control characters (%n, %t) for a file's name.
  const bool usable = !date.empty() && std::none_of(date.begin(), date.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
  if (!usable && format != "%x") return DateText("%x");
  std::replace(date.begin(), date.end(), '/', '-');
  return date;
}

// A whole number from section "Download": `fallback` unless the stored value is
// a whole number of at least `least` (that a long can hold); one above `most`
// counts as `most`.
long WholeNumber(clsSettings& settings, const std::string& key, long fallback, long least,
                 long most) {
  const std::string text = settings.GetString("Download", key, "");
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    return fallback;
  }
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || value < least) return fallback;
  return std::min(value, most);
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

struct frmMain::State {
  std::unique_ptr<clsFiles> files;
  std::unique_ptr<clsSettings> settings;
  UnseenListDisplay unseenList;
  MemoryTextBox memoryText;
  ListDisplay* list = &unseenList;
  TextBox* text = &memoryText;
  RunObserver* observer = nullptr;
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
  Files().LoadData(ListFilePath());
  Settings().Path(SettingsFilePath());
  Files().AddToList(lstFiles());
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

  // Made at the first entry, so that a run with nothing to fetch never starts
  // the download library.
  std::unique_ptr<fw::DownloadSession> session;
  std::unique_ptr<fw::SnapshotFetcher> snapshots;
  const std::string dateFormat = Settings().GetString("Download", "DateFormat", "%x");
  std::map<std::string, std::string> written;  // destination -> URL, this run
  int number = 0;
  int failed = 0;
  // An entry's file goes to the disk while the next entries' requests go out;
  // its result is told once it is in place, before the next entry's. At most
  // kInFlight entries wait so (the writer's buffers bound the memory anyway).
  struct Pending {
    std::string url, destination;
    fw::SnapshotFetcher::Started started;
  };
  constexpr size_t kInFlight = 8;
  std::deque<Pending> pending;
  const auto report = [&](Pending& entry) {
    const fw::SnapshotResult result = snapshots->Finish(entry.started);
    if (!result.ok) observer.EntryFailed(entry.url, result.reason);
    for (const std::string& note : result.notes) observer.EntryNote(entry.url, note);
    failed += !result.ok || result.removalFailed;
    if (!result.ok) return;
    // Two entries of one name: the later wins, and the user hears of it.
    const auto [earlier, first] = written.try_emplace(entry.destination, entry.url);
    if (!first) {
      observer.EntryReplaces(entry.url, modMain::GetFileFromURL(entry.destination),
                             earlier->second);
      earlier->second = entry.url;
    }
  };
  for (int32_t i = 0; i <= upper; ++i) {
    const std::string url = files.File(i);
    if (url.empty()) continue;
    // A user and password in the URL never become part of a file's name.
    const std::string bareUrl = modMain::WithoutUserInfo(url);
    const std::string name = modMain::GetFileFromURL(bareUrl);
    const std::string destination = modMain::FixPath(txtPath().Text()) +
                                    modMain::StripExtension(name) + "-" + DateText(dateFormat) +
                                    "." + modMain::GetExtension(name);
    if (!session) {
      session = std::make_unique<fw::DownloadSession>(DownloadLimits(), DownloadTrust());
      session->OnProgress([&observer](const fw::DownloadProgress& progress) {
        observer.EntryProgress(progress.bytes, progress.total);
      });
      for (const std::string& notice : session->Notices()) observer.RunNote(notice);
      snapshots = std::make_unique<fw::SnapshotFetcher>(*session, SnapshotOptions());
      snapshots->OnRetry([&observer](int retry, int of) { observer.EntryRetrying(retry, of); });
    }
    observer.EntryStarted(++number, count, url, destination);
    pending.push_back(Pending{url, destination, snapshots->Start(url, bareUrl, destination)});
    // A fetch that failed outright is told at once, after those before it;
    // one on its way to the disk once it is there.
    const bool failedOutright = pending.back().started.ticket == 0;
    while (!pending.empty() && (failedOutright || pending.size() > kInFlight)) {
      report(pending.front());
      pending.pop_front();
    }
  }
  for (; !pending.empty(); pending.pop_front()) report(pending.front());
  observer.RunEnded();
  return failed;
}

fw::DownloadTrust frmMain::DownloadTrust() {
  fw::DownloadTrust trust;
  trust.caFile = Settings().GetString("Download", "CAFile", "");
  trust.netrcFile = NetrcPath();
  return trust;
}

fw::SnapshotOptions frmMain::SnapshotOptions() {
  fw::SnapshotOptions options;
  options.retries =
      static_cast<int>(WholeNumber(Settings(), "Retries", kDefaultRetries, 0, fw::kMostRetries));
  options.skipUnchanged = Settings().GetString("Download", "SkipUnchanged", "0") == "1";
  options.keepCopies =
      static_cast<int>(WholeNumber(Settings(), "KeepCopies", 0, 0, kMostKeptCopies));
  return options;
}

fw::DownloadLimits frmMain::DownloadLimits() {
  fw::DownloadLimits limits;
  limits.connectTimeout =
      WholeNumber(Settings(), "ConnectTimeout", kDefaultConnectTimeout, 1, kLongestTimeLimit);
  limits.stallTimeout =
      WholeNumber(Settings(), "StallTimeout", kDefaultStallTimeout, 1, kLongestTimeLimit);
  return limits;
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

void frmMain::Save() {
  Files().SaveData(ListFilePath());
  if (Settings().WriteString("General", "FolderPath", txtPath().Text()) == 0) {
    throw fw::Error(fw::kFileAccess, "cannot write the settings file " + SettingsFilePath());
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
