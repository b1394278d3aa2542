// The main window object: the program's working state and the operations on it.
//
// There is one frmMain for the whole program, created on first use by
// Instance() and ended by Unload(). It owns the list store (`Files`), the
// settings store (`Settings`), the list display `lstFiles` and the folder box
// `txtPath`. Until a window is shown these two controls are in-memory ones; the
// Qt window hands over its own widgets with AttachControls(), after which the
// widgets hold the state. Nothing here includes Qt.
//
// Every operation raises fw::Error on failure; none catches.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "store/clsFiles.h"
#include "store/clsSettings.h"
#include "store/list_display.h"

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
  // folder text back first.
  void AttachControls(ListDisplay* list, TextBox* text);

  // Fills the state from "Files.dat" and "Settings.inf" in the program's folder.
  void LoadData();
  // Fetches every non-empty entry into the folder text's folder; returns the
  // number of entries whose fetch failed.
  int DownloadFiles();

  // The window's commands, after any dialog has been answered.
  void AddFile(const std::string& answer);            // Add file
  void RemoveFiles(const std::vector<int>& selected);  // Remove file: rows by position
  void ClearAll();                                     // Clear all
  void Save();                                         // Save

  // The data files' paths, built from the program's own folder on every use.
  static std::string ListFilePath();
  static std::string SettingsFilePath();

  frmMain();
  ~frmMain();

 private:
  struct State;
  std::unique_ptr<State> state_;
};
