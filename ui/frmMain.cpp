#include "ui/frmMain.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <memory>

#include "platform/download.h"
#include "platform/error.h"
#include "platform/files.h"
#include "startup/download.h"
#include "startup/names.h"
#include "startup/run_observer.h"

namespace {

constexpr long kDefaultConnectTimeout = 30;
constexpr long kDefaultStallTimeout = 60;

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

// Today's date in the locale's short format, "/" turned into "-" so that the
// date cannot add folders to a destination.
std::string ShortDate() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buf[256];
  std::string date(buf, std::strftime(buf, sizeof buf, "%x", &local));
  std::replace(date.begin(), date.end(), '/', '-');
  return date;
}

// A time limit from section "Download": the default unless the stored value is
// a positive whole number of seconds.
long TimeLimit(clsSettings& settings, const std::string& key, long fallback) {
  const std::string text = settings.GetString("Download", key, "");
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value <= 0) return fallback;
  return value;
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
  int number = 0;
  int failed = 0;
  for (int32_t i = 0; i <= upper; ++i) {
    const std::string url = files.File(i);
    if (url.empty()) continue;
    // A user and password in the URL never become part of a file's name.
    const std::string name = modMain::GetFileFromURL(modMain::WithoutUserInfo(url));
    const std::string destination = modMain::FixPath(txtPath().Text()) +
                                    modMain::StripExtension(name) + "-" + ShortDate() + "." +
                                    modMain::GetExtension(name);
    if (!session) {
      session = std::make_unique<fw::DownloadSession>(DownloadLimits());
      session->OnProgress([&observer](const fw::DownloadProgress& progress) {
        observer.EntryProgress(progress.bytes, progress.total);
      });
    }
    observer.EntryStarted(++number, count, url, destination);
    if (!modMain::DownloadFile(url, destination, session.get())) {
      ++failed;
      observer.EntryFailed(url, session->LastError());
    }
  }
  observer.RunEnded();
  return failed;
}

fw::DownloadLimits frmMain::DownloadLimits() {
  fw::DownloadLimits limits;
  limits.connectTimeout = TimeLimit(Settings(), "ConnectTimeout", kDefaultConnectTimeout);
  limits.stallTimeout = TimeLimit(Settings(), "StallTimeout", kDefaultStallTimeout);
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
