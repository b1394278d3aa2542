// The main window object: the program's working state and the operations on it.
//
// There is one frmMain for the whole program, created on first use by
// Instance() and ended by Unload(). It owns the list store (`Files`), the
// settings store (`Settings`), the list display `lstFiles` and the folder box
// `txtPath`. Until a window is shown the folder box is an in-memory one and the
// list display keeps no rows (nobody sees them); the Qt window hands over its
// own widgets with AttachControls(), after which the widgets hold the state.
// Nothing here includes Qt.
//
// Every operation raises fw::Error on failure; none catches.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "store/clsFiles.h"
#include "store/clsSettings.h"
#include "store/list_display.h"

class RunObserver;

// The one-line text box that holds the download folder.
class TextBox {
 public:
  virtual ~TextBox() = default;
  virtual std::string Text() const = 0;
  virtual void SetText(const std::string& text) = 0;
};

class frmMain {
 public:
  // The single window object, created on its first use.
  static frmMain& Instance();
  // True while the window object exists.
  static bool Loaded();
  // Ends the window object with its state; nothing is saved.
  static void Unload();

  clsFiles& Files();        // created on first use
  clsSettings& Settings();  // created on first use
  ListDisplay& lstFiles();
  TextBox& txtPath();

  // Hands the list display and the folder box over to a shown window: the
  // current folder text is copied into `text` and `list` is refilled from
  // Files. Passing nullptrs goes back to the in-memory controls, copying the
  // folder text back first; `list` alone may be given (tests watch the rows so).
  void AttachControls(ListDisplay* list, TextBox* text);

  // Fills the state from "Files.dat" and "Settings.inf" in the program's folder,
  // read under a shared lock of that folder (platform/file_lock.h). A
  // FolderPath that is missing or empty gives the program's folder.
  void LoadData();
  // The part of LoadData that creates nothing: points the settings store at
  // "Settings.inf" and sets the folder text from its FolderPath (the
  // program's folder when missing or empty).
  void LoadSettings();
  // One download run of the list into the folder text's folder
  // (run/download_run.h); returns the number of entries that failed.
  int DownloadFiles();
  // The observer told about every run's progress and failures; nullptr for
  // none. Not owned.
  void SetRunObserver(RunObserver* observer);

  // The window's commands, after any dialog has been answered. Each refills
  // the list display afterwards.
  //  - AddFile adds `answer` as the last entry unless it is the empty text.
  //  - RemoveFiles removes the entries of the rows at the `selected`
  //    positions, counted before any removal; the others keep their order. A
  //    position outside the list raises error 9 and removes nothing.
  //  - Save writes the list file, then the folder text as "General"/"FolderPath"
  //    of the settings file, both under the program folder's exclusive lock;
  //    a settings file that cannot be written raises 75. When the list file
  //    holds other bytes than the list last loaded from it or saved to it
  //    (another program changed it meanwhile), `replaceChanged` is asked
  //    first, with the lock let go: false saves nothing and Save returns
  //    false; true saves unless the file changed again while it was asked,
  //    which asks again (a null `replaceChanged` answers false). A list file
  //    that is gone is saved without asking. Returns true once saved.
  void AddFile(const std::string& answer);                 // Add file
  void RemoveFiles(const std::vector<int>& selected);      // Remove file: rows by position
  void ClearAll();                                         // Clear all
  bool Save(const std::function<bool()>& replaceChanged);  // Save

  // The data files' paths, built from the program's own folder on every use.
  static std::string ListFilePath();
  static std::string SettingsFilePath();
  // The program's own folder, without a trailing "/": the executable's folder,
  // unless a test has named another with UseProgramFolder.
  static std::string ProgramFolder();
  // For tests: makes `folder` stand for the program's folder (the data files'
  // home and the default download folder); the empty text goes back to the
  // executable's folder.
  static void UseProgramFolder(const std::string& folder);

  frmMain();
  ~frmMain();

 private:
  struct State;
  std::unique_ptr<State> state_;
};
