// The "Download file" window: the list of URLs, the download folder and the
// five commands, laid out as fixed controls measured in twips. Every control
// draws in the desktop's font at the desktop's size, the frames' captions in
// its bold. The twips become pixels at one scale, the smallest (at least 1) at
// which every caption fits its control, so a large desktop font makes the
// whole window larger, each control in proportion. When the desktop's font
// changes, the window takes the new one and is scaled again.
//
// A MainWindow works on the window object it is given. While it exists its list
// box and folder box are the window object's controls (handed over with
// frmMain::AttachControls on construction and handed back on destruction), so
// the state lives in the widgets. A command that fails shows the error box and
// leaves the window open with the user's edits. Exit and the window's close
// control only close the window; nothing is saved.
//
// The Delete key in the list runs Remove file. After a removal the row that
// followed the last removed row is selected and current (the new last row when
// none followed), so that repeated Deletes walk down the list.
#pragma once

#include <QWidget>
#include <memory>

class frmMain;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class ListWidgetDisplay;
class LineEditTextBox;

class MainWindow : public QWidget {
 public:
  // Builds the window over `form`'s state, not yet shown. `form` must outlive it.
  explicit MainWindow(frmMain& form, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The commands, as their buttons run them.
  void AddFile();     // asks for a URL with a modal dialog, adds a non-empty answer
  void RemoveFile();  // removes the selected rows (also the Delete key in the list)
  void ClearAll();    // empties the list, without asking
  void Save();        // writes "Files.dat" and the folder into "Settings.inf", asking
                      // first when another program changed "Files.dat" since it was loaded
  void Exit();        // closes the window

  // The factor the layout's sizes are multiplied by, 1 when the desktop's font
  // fits the layout as it stands.
  double LayoutScale() const { return scale_; }

 protected:
  bool event(QEvent* event) override;

 private:
  void BuildControls();
  // Takes the desktop's font and lays the controls out at the scale it needs.
  void FitToDesktopFont();
  void PlaceControls(double scale);
  void ConnectCommands();
  // Selects `row` alone and makes it current; nothing when it is not a row.
  void SelectRow(int row);
  // Runs one command; anything it raises is shown in the error box.
  template <typename Command>
  void Guarded(Command command);

  frmMain& form_;
  double scale_ = 1;
  QGroupBox* frameFiles_ = nullptr;
  QWidget* picFilesToDownload_ = nullptr;
  QGroupBox* Frame1_ = nullptr;
  QWidget* picSettings_ = nullptr;
  QLabel* lblPath_ = nullptr;
  QListWidget* lstFiles_ = nullptr;
  QLineEdit* txtPath_ = nullptr;
  QPushButton* cmdAddFile_ = nullptr;
  QPushButton* cmdRemoveFile_ = nullptr;
  QPushButton* cmdClearAll_ = nullptr;
  QPushButton* cmdSave_ = nullptr;
  QPushButton* cmdExit_ = nullptr;
  std::unique_ptr<ListWidgetDisplay> list_display_;
  std::unique_ptr<LineEditTextBox> text_box_;
};
