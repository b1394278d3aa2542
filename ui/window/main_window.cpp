#include "ui/window/main_window.h"

#include <QApplication>
#include <QFont>
#include <QGroupBox>
#include <QIcon>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QShortcut>
#include <algorithm>
#include <cmath>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "platform/error.h"
#include "ui/frmMain.h"
#include "ui/window/error_box.h"
#include "ui/window/widget_controls.h"
#include "ui/window/window_font.h"

namespace {

// The layout is measured in twips (1/1440 inch). At 15 twips to the pixel it
// becomes Qt's device-independent pixels, which Qt scales on a dense screen.
int Px(int twips) {
  return static_cast<int>(std::lround(twips / 15.0));
}

// Places `widget` at a rectangle given in twips. Positions are relative to the
// containing control's client area, which for every container here is the
// whole parent widget: Qt measures a child's geometry from its parent's
// top-left corner, and for a QGroupBox that is the outer corner of the frame,
// caption included, exactly as the table measures a frame's contents.
void Place(QWidget* widget, int left, int top, int width, int height) {
  widget->setGeometry(Px(left), Px(top), Px(width), Px(height));
}

// A titled frame whose caption is the window's font in bold.
QGroupBox* Frame(QWidget* parent, const char* name, const char* caption) {
  auto* frame = new QGroupBox(QString::fromUtf8(caption), parent);
  frame->setObjectName(QString::fromUtf8(name));
  QFont bold;  // sets the weight only: the rest comes from the window
  bold.setWeight(QFont::Bold);
  frame->setFont(bold);
  return frame;
}

// A plain container inside a frame. It turns the frame's bold back to the
// window's normal weight, so that the caption's boldness stays on the caption.
QWidget* Container(QGroupBox* frame, const char* name) {
  auto* container = new QWidget(frame);
  container->setObjectName(QString::fromUtf8(name));
  QFont normal;
  normal.setWeight(QFont::Normal);
  container->setFont(normal);
  return container;
}

QPushButton* Button(QWidget* parent, const char* name, const char* caption) {
  auto* button = new QPushButton(QString::fromUtf8(caption), parent);
  button->setObjectName(QString::fromUtf8(name));
  return button;
}

}  // namespace

MainWindow::MainWindow(frmMain& form, QWidget* parent) : QWidget(parent), form_(form) {
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(QStringLiteral("Download file"));
  setWindowIcon(QIcon::fromTheme(QStringLiteral("fetchwell")));
  BuildControls();
  ConnectCommands();

  list_display_ = std::make_unique<ListWidgetDisplay>(lstFiles_);
  text_box_ = std::make_unique<LineEditTextBox>(txtPath_);
  form_.AttachControls(list_display_.get(), text_box_.get());
}

MainWindow::~MainWindow() {
  // Hands the state back (the folder text is copied out of the box) while the
  // widgets still exist.
  form_.AttachControls(nullptr, nullptr);
}

void MainWindow::BuildControls() {
  // The client area is fixed; nothing is laid out again.
  setFixedSize(Px(5925), Px(5235));

  QGroupBox* frameFiles = Frame(this, "frameFiles", "Files to download:");
  Place(frameFiles, 120, 120, 5655, 3255);
  QWidget* picFilesToDownload = Container(frameFiles, "picFilesToDownload");
  Place(picFilesToDownload, 220, 360, 5295, 2775);

  lstFiles_ = new QListWidget(picFilesToDownload);
  lstFiles_->setObjectName(QStringLiteral("lstFiles"));
  lstFiles_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  // Every row is one line of text: the view can lay out a long list without
  // measuring each row.
  lstFiles_->setUniformItemSizes(true);
  Place(lstFiles_, 0, 0, 5175, 2205);
  cmdAddFile_ = Button(picFilesToDownload, "cmdAddFile", "&Add file");
  Place(cmdAddFile_, 0, 2280, 1575, 375);
  cmdRemoveFile_ = Button(picFilesToDownload, "cmdRemoveFile", "&Remove file");
  Place(cmdRemoveFile_, 1680, 2280, 1695, 375);
  cmdClearAll_ = Button(picFilesToDownload, "cmdClearAll", "&Clear all");
  Place(cmdClearAll_, 3480, 2280, 1695, 375);

  QGroupBox* Frame1 = Frame(this, "Frame1", "Settings:");
  Place(Frame1, 120, 3480, 5655, 855);
  QWidget* picSettings = Container(Frame1, "picSettings");
  Place(picSettings, 120, 240, 5415, 495);
  auto* lblPath = new QLabel(QStringLiteral("Folder to download to:"), picSettings);
  lblPath->setObjectName(QStringLiteral("lblPath"));
  Place(lblPath, 0, 120, 1695, 255);
  txtPath_ = new QLineEdit(picSettings);
  txtPath_->setObjectName(QStringLiteral("txtPath"));
  Place(txtPath_, 1920, 120, 3335, 285);

  cmdSave_ = Button(this, "cmdSave", "&Save");
  Place(cmdSave_, 4200, 4680, 1575, 375);
  cmdExit_ = Button(this, "cmdExit", "&Exit");
  Place(cmdExit_, 2520, 4680, 1575, 375);

  // One font for every control, the frames' captions in its bold: the
  // desktop's font, made smaller when a caption would not fit the layout's
  // fixed sizes. Windows opened from here (the URL dialog, the error box)
  // keep the desktop's font, as windows do not take their parent's font.
  std::vector<Caption> captions = {CaptionOf(frameFiles, picFilesToDownload),
                                   CaptionOf(Frame1, picSettings), CaptionOf(lblPath)};
  for (const QPushButton* button :
       {cmdAddFile_, cmdRemoveFile_, cmdClearAll_, cmdSave_, cmdExit_}) {
    captions.push_back(CaptionOf(button));
  }
  setFont(FittingFont(QApplication::font(), captions));

  // Tab order: Save, Exit, the folder box, the list, then its three buttons.
  // Frames, containers and the label take no focus.
  const std::vector<QWidget*> order = {cmdSave_,    cmdExit_,       txtPath_,    lstFiles_,
                                       cmdAddFile_, cmdRemoveFile_, cmdClearAll_};
  for (std::size_t i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
  cmdSave_->setFocus();
}

void MainWindow::ConnectCommands() {
  connect(cmdAddFile_, &QPushButton::clicked, this, [this] { AddFile(); });
  connect(cmdRemoveFile_, &QPushButton::clicked, this, [this] { RemoveFile(); });
  connect(cmdClearAll_, &QPushButton::clicked, this, [this] { ClearAll(); });
  connect(cmdSave_, &QPushButton::clicked, this, [this] { Save(); });
  connect(cmdExit_, &QPushButton::clicked, this, [this] { Exit(); });

  // Delete removes the selected rows while the list has the focus; elsewhere
  // (in the folder box) the key keeps its own meaning.
  auto* remove = new QShortcut(QKeySequence::Delete, lstFiles_);
  remove->setContext(Qt::WidgetShortcut);
  connect(remove, &QShortcut::activated, this, [this] { RemoveFile(); });
}

// Nothing may leave a command for the toolkit's event loop, which cannot pass
// an exception on: every failure is shown in the error box, numbered as the
// program's top reports it, and the window stays open.
template <typename Command>
void MainWindow::Guarded(Command command) {
  try {
    command();
  } catch (const fw::Error& error) {
    ShowErrorBox(this, error.Number(), error.Description());
  } catch (const std::bad_alloc&) {
    ShowErrorBox(this, fw::kOutOfMemory, "Out of memory");
  } catch (const std::exception& error) {
    ShowErrorBox(this, fw::kInternalError, std::string("Internal error: ") + error.what());
  } catch (...) {
    ShowErrorBox(this, fw::kInternalError, "Internal error: an exception of unknown type");
  }
}

void MainWindow::AddFile() {
  bool accepted = false;
  const QString answer =
      QInputDialog::getText(this, QStringLiteral("Fetchwell"),
                            QStringLiteral("Write the URL to the file to be downloaded"),
                            QLineEdit::Normal, QString(), &accepted);
  // Cancel answers with the empty text, which adds nothing; the list is refilled either way.
  const std::string text = accepted ? answer.toStdString() : std::string();
  Guarded([&] { form_.AddFile(text); });
}

void MainWindow::RemoveFile() {
  std::vector<int> selected;
  for (int row = 0; row < lstFiles_->count(); ++row) {
    if (lstFiles_->item(row)->isSelected()) selected.push_back(row);
  }
  const int current = lstFiles_->currentRow();
  bool removed = false;
  Guarded([&] {
    form_.RemoveFiles(selected);
    removed = true;
  });
  // A failed removal changed nothing and keeps the selection as it was.
  if (!removed) return;
  if (selected.empty()) {
    // Nothing was removed, but the list was drawn again: the current row
    // stays where it was, still unselected.
    if (current >= 0 && current < lstFiles_->count()) {
      lstFiles_->setCurrentRow(current, QItemSelectionModel::NoUpdate);
    }
    return;
  }
  // The row after the last removed one has moved up by the number removed.
  const int follower = selected.back() + 1 - static_cast<int>(selected.size());
  SelectRow(std::min(follower, lstFiles_->count() - 1));
}

void MainWindow::SelectRow(int row) {
  if (row < 0 || row >= lstFiles_->count()) return;
  lstFiles_->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
}

void MainWindow::ClearAll() {
  Guarded([&] { form_.ClearAll(); });
}

void MainWindow::Save() {
  Guarded([&] { form_.Save(); });
}

void MainWindow::Exit() {
  close();
}
