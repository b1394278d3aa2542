#include "ui/frmMain.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "platform/error.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "run/download_run.h"
#include "run/names.h"

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

std::unique_ptr<frmMain> g_form;
std::string g_programFolder;  // set by tests; empty means the executable's folder

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
  RunObserver silent;
  DownloadRun run(
      Files(), [this] { return txtPath().Text(); }, Settings(), ProgramFolder());
  return run.Run(state_->observer ? *state_->observer : silent);
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
