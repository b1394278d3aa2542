#include "startup/list_run.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/error.h"
#include "platform/file_lock.h"
#include "run/download_run.h"
#include "run/download_settings.h"
#include "run/names.h"
#include "startup/list_text.h"
#include "startup/list_words.h"
#include "ui/frmMain.h"

namespace modMain {

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 2;

// Ends the window object on every way out, so that a later -e starts afresh.
struct FormUnloader {
  ~FormUnloader() { frmMain::Unload(); }
};

// True unless `path` is certainly missing: a link, even to nothing, or a path
// that cannot be looked at is left to the list store, which says what is wrong.
bool MayExist(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 || errno != ENOENT;
}

// Fills the window object's state as LoadData does, creating nothing.
void LoadWithoutCreating(frmMain& form, bool& listExists) {
  listExists = MayExist(frmMain::ListFilePath());
  if (listExists) form.Files().LoadData(frmMain::ListFilePath());
  form.LoadSettings();
}

int Refuse(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  return kRefused;
}

bool WriteOut(const std::string& text) {
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  return std::fflush(stdout) == 0 && written && std::ferror(stdout) == 0;
}

ListView ViewOf(frmMain& form, bool listExists, bool withBases) {
  ListView view;
  view.listFile = frmMain::ListFilePath();
  view.listFileExists = listExists;
  view.settingsFile = frmMain::SettingsFilePath();
  view.settingsFileExists = MayExist(view.settingsFile);
  view.folder = form.txtPath().Text();
  DownloadRun run(
      form.Files(), [&view] { return view.folder; }, form.Settings(), frmMain::ProgramFolder());
  view.settings = run.Settings();
  if (!view.settings.headersFile.empty()) view.headers = run.Headers().Summary();
  view.entries = run.Plan(withBases);
  return view;
}

// Makes the changes the words ask for, in order, then saves them as the
// window's Save does: the list first, then the settings. Returns kRefused,
// with its line said and nothing saved, when a --remove names no entry.
int MakeChanges(frmMain& form, const CommandLine& line, bool& listExists) {
  bool listChanged = false;
  bool password = false;  // a URL added holds one
  const std::string* folder = nullptr;
  std::vector<fw::profile::ProfileEdit> edits;
  for (const auto& word : line.listWords) {
    if (word.verb == ListVerb::kAdd) {
      for (const auto& url : word.args) {
        form.Files().AddFile(url);
        password = password || HidePassword(url) != url;
      }
      listChanged = true;
    } else if (word.verb == ListVerb::kRemove) {
      std::vector<int> positions;
      if (const auto refusal = PositionsToRemove(word, form.Files().UpperBound() + 1, positions)) {
        return Refuse(*refusal);
      }
      form.RemoveFiles(positions);
      listChanged = true;
    } else if (word.verb == ListVerb::kFolder) {
      folder = &word.args.front();
      edits.push_back({"General", "FolderPath", *folder});
    } else if (word.verb == ListVerb::kSet) {
      for (const auto& text : word.args) {
        SettingChange change = ChangeOf(text);
        edits.push_back(
            {"Download", change.key,
             change.value.empty() ? std::nullopt : std::optional<std::string>(change.value)});
      }
    }
  }

  // As the window's Save: the list first, then the settings.
  if (listChanged) {
    form.Files().SaveData(frmMain::ListFilePath());
    listExists = true;
  }
  if (password) {
    std::fprintf(stderr,
                 "fetchwell: a password in a URL added is kept in the list in clear; ~/.netrc or "
                 "a HeadersFile keep it apart from the list\n");
  }
  if (!edits.empty()) {
    if (form.Settings().WriteValues(edits) == 0) {
      throw fw::Error(fw::kFileAccess,
                      "cannot write the settings file " + frmMain::SettingsFilePath());
    }
    if (folder) form.txtPath().SetText(*folder);
  }
  return kDone;
}

}  // namespace

int RunListWords(const CommandLine& line) {
  for (const auto& word : line.listWords) {
    if (const auto refusal = Refusal(word)) return Refuse(*refusal);
  }
  const bool changes = std::any_of(line.listWords.begin(), line.listWords.end(), [](const auto& w) {
    return w.verb == ListVerb::kAdd || w.verb == ListVerb::kRemove || w.verb == ListVerb::kFolder ||
           w.verb == ListVerb::kSet;
  });
  const FormUnloader unloader;
  frmMain& form = frmMain::Instance();
  std::vector<std::string> reports;
  {
    // From the read to the last rename, no other run of the program changes
    // the files; the reports are made under the lock and printed after it,
    // so that a slow reader of the output holds nobody up.
    const fw::FolderLock lock(frmMain::ProgramFolder(), changes ? fw::FolderLock::Mode::kExclusive
                                                                : fw::FolderLock::Mode::kShared);
    bool listExists = false;
    LoadWithoutCreating(form, listExists);

    if (MakeChanges(form, line, listExists) != kDone) return kRefused;
    for (const auto& word : line.listWords) {
      if (word.verb != ListVerb::kList && word.verb != ListVerb::kDryRun) continue;
      const bool dryRun = word.verb == ListVerb::kDryRun;
      const ListView view = ViewOf(form, listExists, dryRun);
      reports.push_back(dryRun ? DryRunText(view) : ListingText(view));
    }
  }

  for (const std::string& report : reports) {
    if (!WriteOut(report)) {
      const int error = errno;
      std::fprintf(stderr, "fetchwell: cannot write to standard output: %s\n",
                   error != 0 ? std::strerror(error) : "write error");
      return kRefused;
    }
  }
  return kDone;
}

}  // namespace modMain
