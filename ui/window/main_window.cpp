#include "ui/window/main_window.h"

#include <QEvent>
#include <QFont>
#include <QGroupBox>
#include <QIcon>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
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
#include "ui/window/question_box.h"
#include "ui/window/widget_controls.h"
#include "ui/window/window_font.h"

namespace {

// The layout is measured in twips (1/1440 inch). At 15 twips to the pixel it
// becomes Qt's device-independent pixels, which Qt scales on a dense screen;
// `scale` makes every twip more pixels still, for a desktop font larger than
// the layout was drawn for.
int Px(int twips, double scale) {
  return static_cast<int>(std::lround(twips * scale / 15.0));
}

// Places `widget` at a rectangle given in twips. Positions are relative to the
// containing control's client area, which for every container here is the
// whole parent widget: Qt measures a child's geometry from its parent's
// top-left corner, and for a QGroupBox that is the outer corner of the frame,
// caption included, exactly as the table measures a frame's contents.
void Place(QWidget* widget, double scale, int left, int top, int width, int height) {
  widget->setGeometry(Px(left, scale), Px(top, scale), Px(width, scale), Px(height, scale));
}

// A titled frame; its caption's bold font is given with the window's font.
QGroupBox* Frame(QWidget* parent, const char* name, const char* caption) {
  auto* frame = new QGroupBox(QString::fromUtf8(caption), parent);
  frame->setObjectName(QString::fromUtf8(name));
  return frame;
}

// A plain container inside a frame; it holds the window's normal font, so that
// the frame's bold stays on the frame's caption.
QWidget* Container(QGroupBox* frame, const char* name) {
  auto* container = new QWidget(frame);
  container->setObjectName(QString::fromUtf8(name));
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
  frameFiles_ = Frame(this, "frameFiles", "Files to download:");
  picFilesToDownload_ = Container(frameFiles_, "picFilesToDownload");
  lstFiles_ = new QListWidget(picFilesToDownload_);
  lstFiles_->setObjectName(QStringLiteral("lstFiles"));
  lstFiles_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  // Every row is one line of text: the view can lay out a long list without
  // measuring each row.
  lstFiles_->setUniformItemSizes(true);
  cmdAddFile_ = Button(picFilesToDownload_, "cmdAddFile", "&Add file");
  cmdRemoveFile_ = Button(picFilesToDownload_, "cmdRemoveFile", "&Remove file");
  cmdClearAll_ = Button(picFilesToDownload_, "cmdClearAll", "&Clear all");

  Frame1_ = Frame(this, "Frame1", "Settings:");
  picSettings_ = Container(Frame1_, "picSettings");
  lblPath_ = new QLabel(QStringLiteral("Folder to download to:"), picSettings_);
  lblPath_->setObjectName(QStringLiteral("lblPath"));
  txtPath_ = new QLineEdit(picSettings_);
  txtPath_->setObjectName(QStringLiteral("txtPath"));

  cmdSave_ = Button(this, "cmdSave", "&Save");
  cmdExit_ = Button(this, "cmdExit", "&Exit");

  FitToDesktopFont();

  // Tab order: Save, Exit, the folder box, the list, then its three buttons.
  // Frames, containers and the label take no focus.
  const std::vector<QWidget*> order = {cmdSave_,    cmdExit_,       txtPath_,    lstFiles_,
                                       cmdAddFile_, cmdRemoveFile_, cmdClearAll_};
  for (std::size_t i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
  cmdSave_->setFocus();
}

void MainWindow::FitToDesktopFont() {
  // One font for every control, the frames' captions in its bold. Each frame
  // and each container holds its font whole, so that what is inside a frame
  // takes the container's normal weight, never the frame's bold nor a
  // platform theme's font for its kind of control.
  const QFont desktop = DesktopFont();
  QFont bold = desktop;
  bold.setWeight(QFont::Bold);
  setFont(desktop);
  frameFiles_->setFont(bold);
  Frame1_->setFont(bold);
  picFilesToDownload_->setFont(desktop);
  picSettings_->setFont(desktop);
  scale_ = FittingScale(font(), [this](double scale) {
    PlaceControls(scale);
    std::vector<Caption> captions = {CaptionOf(frameFiles_, picFilesToDownload_),
                                     CaptionOf(Frame1_, picSettings_), CaptionOf(lblPath_),
                                     CaptionOf(txtPath_)};
    for (const QPushButton* button :
         {cmdAddFile_, cmdRemoveFile_, cmdClearAll_, cmdSave_, cmdExit_}) {
      captions.push_back(CaptionOf(button));
    }
    return captions;
  });
  PlaceControls(scale_);
  // The client area is fixed; nothing is laid out again but for a new font.
  setFixedSize(Px(5925, scale_), Px(5235, scale_));
}

void MainWindow::PlaceControls(double scale) {
  Place(frameFiles_, scale, 120, 120, 5655, 3255);
  Place(picFilesToDownload_, scale, 220, 360, 5295, 2775);
  Place(lstFiles_, scale, 0, 0, 5175, 2205);
  Place(cmdAddFile_, scale, 0, 2280, 1575, 375);
  Place(cmdRemoveFile_, scale, 1680, 2280, 1695, 375);
  Place(cmdClearAll_, scale, 3480, 2280, 1695, 375);

  Place(Frame1_, scale, 120, 3480, 5655, 855);
  Place(picSettings_, scale, 120, 240, 5415, 495);
  Place(lblPath_, scale, 0, 120, 1695, 255);
  Place(txtPath_, scale, 1920, 120, 3335, 285);

  Place(cmdSave_, scale, 4200, 4680, 1575, 375);
  Place(cmdExit_, scale, 2520, 4680, 1575, 375);
}

bool MainWindow::event(QEvent* event) {
  const bool handled = QWidget::event(event);
  // The window holds the desktop's font as its own, so a new desktop font
  // reaches it only as this notice.
  if (event->type() == QEvent::ApplicationFontChange) FitToDesktopFont();
  return handled;
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
  // The dialog draws in the window's font, so that the two read alike. It is
  // the window's child: were the window destroyed while the dialog runs, the
  // dialog would go with it.
  QPointer<QInputDialog> dialog = new QInputDialog(this);
  dialog->setFont(font());
  dialog->setWindowTitle(QStringLiteral("Fetchwell"));
  dialog->setLabelText(QStringLiteral("Write the URL to the file to be downloaded"));
  const bool accepted = dialog->exec() == QDialog::Accepted;
  if (dialog.isNull()) return;
  const QString answer = dialog->textValue();
  delete dialog;
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
  // A list another program changed since it was loaded is replaced only when
  // the user says so; No keeps the window and its edits as they are.
  Guarded([&] { form_.Save([this] { return AskToReplaceChangedList(this); }); });
}

void MainWindow::Exit() {
  close();
}
