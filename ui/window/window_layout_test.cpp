// The window's layout: every control where the layout table puts it, its
// captions and access keys, fonts and tab order; and when a display counts as
// missing.
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <memory>
#include <tuple>

#include "tests/fixtures/temp_folder.h"
#include "ui/frmMain.h"
#include "ui/window/display.h"
#include "ui/window/main_window.h"
#include "ui/window/test_support.h"

namespace {

// The layout table, in twips, positions relative to the containing control.
struct Placement {
  const char* name;
  const char* inside;
  int left, top, width, height;
};
constexpr Placement kLayout[] = {
    {"frameFiles", "frmMain", 120, 120, 5655, 3255},
    {"picFilesToDownload", "frameFiles", 220, 360, 5295, 2775},
    {"lstFiles", "picFilesToDownload", 0, 0, 5175, 2205},
    {"cmdAddFile", "picFilesToDownload", 0, 2280, 1575, 375},
    {"cmdRemoveFile", "picFilesToDownload", 1680, 2280, 1695, 375},
    {"cmdClearAll", "picFilesToDownload", 3480, 2280, 1695, 375},
    {"Frame1", "frmMain", 120, 3480, 5655, 855},
    {"picSettings", "Frame1", 120, 240, 5415, 495},
    {"lblPath", "picSettings", 0, 120, 1695, 255},
    {"txtPath", "picSettings", 1920, 120, 3335, 285},
    {"cmdSave", "frmMain", 4200, 4680, 1575, 375},
    {"cmdExit", "frmMain", 2520, 4680, 1575, 375},
};

// A length in pixels stands for a length in twips when it is the nearest
// whole pixel at 15 twips to the pixel.
bool Matches(int pixels, int twips) {
  return 2 * std::abs(pixels * 15 - twips) <= 15;
}

}  // namespace

class WindowLayoutTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<ProgramFolderForTest> folder_;
  std::unique_ptr<MainWindow> window_;

  template <typename T = QWidget>
  T* Control(const char* name) {
    T* control = window_->findChild<T*>(QString::fromUtf8(name));
    if (control == nullptr) qFatal("no control named %s", name);
    return control;
  }

 private slots:
  void init() {
    folder_ = std::make_unique<ProgramFolderForTest>();
    frmMain::Instance().LoadData();
    window_ = std::make_unique<MainWindow>(frmMain::Instance());
    window_->show();
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
  }

  void cleanup() {
    window_.reset();
    folder_.reset();
  }

  void windowIsFixedAtTheClientSize() {
    QCOMPARE(window_->windowTitle(), QStringLiteral("Download file"));
    QVERIFY(Matches(window_->width(), 5925));
    QVERIFY(Matches(window_->height(), 5235));
    QCOMPARE(window_->minimumSize(), window_->maximumSize());
  }

  void everyControlSitsWhereTheTablePutsIt() {
    for (const Placement& p : kLayout) {
      QWidget* control = Control(p.name);
      QCOMPARE(control->parentWidget()->objectName(), QString::fromUtf8(p.inside));
      const QRect g = control->geometry();
      const QString where = QStringLiteral("%1 at %2,%3 %4x%5 px")
                                .arg(QString::fromUtf8(p.name))
                                .arg(g.x())
                                .arg(g.y())
                                .arg(g.width())
                                .arg(g.height());
      QVERIFY2(Matches(g.x(), p.left) && Matches(g.y(), p.top) && Matches(g.width(), p.width) &&
                   Matches(g.height(), p.height),
               qPrintable(where));
      QVERIFY2(control->isVisible(), p.name);
    }
  }

  void captionsAndFonts() {
    QCOMPARE(Control<QGroupBox>("frameFiles")->title(), QStringLiteral("Files to download:"));
    QCOMPARE(Control<QGroupBox>("Frame1")->title(), QStringLiteral("Settings:"));
    QCOMPARE(Control<QLabel>("lblPath")->text(), QStringLiteral("Folder to download to:"));
    QCOMPARE(Control<QPushButton>("cmdAddFile")->text(), QStringLiteral("&Add file"));
    QCOMPARE(Control<QPushButton>("cmdRemoveFile")->text(), QStringLiteral("&Remove file"));
    QCOMPARE(Control<QPushButton>("cmdClearAll")->text(), QStringLiteral("&Clear all"));
    QCOMPARE(Control<QPushButton>("cmdSave")->text(), QStringLiteral("&Save"));
    QCOMPARE(Control<QPushButton>("cmdExit")->text(), QStringLiteral("&Exit"));

    for (const char* frame : {"frameFiles", "Frame1"}) {
      const QFont font = Control(frame)->font();
      QCOMPARE(font.weight(), QFont::Weight(700));
      QCOMPARE(font.family(), QStringLiteral("MS Sans Serif"));
      QCOMPARE(font.pointSizeF(), 8.25);
    }
    // The frames' caption font stays on the captions: the controls inside
    // have the window's font, at most made smaller so that a caption fits.
    const QFont window_font = window_->font();
    for (const char* name :
         {"lstFiles", "cmdAddFile", "cmdRemoveFile", "cmdClearAll", "lblPath", "txtPath"}) {
      const QFont font = Control(name)->font();
      QVERIFY2(font.family() == window_font.family() && font.weight() == window_font.weight() &&
                   font.pointSizeF() <= window_font.pointSizeF(),
               name);
    }
    QCOMPARE(Control("lstFiles")->font(), window_font);
    QCOMPARE(Control("txtPath")->font(), window_font);
    QCOMPARE(Control<QListWidget>("lstFiles")->selectionMode(),
             QAbstractItemView::ExtendedSelection);
    QVERIFY(Control<QLineEdit>("txtPath")->text() == QString::fromStdString(folder_->Folder()));
  }

  void everyCaptionFitsItsControl() {
    auto* label = Control<QLabel>("lblPath");
    QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->width());
    for (const char* name : {"cmdAddFile", "cmdRemoveFile", "cmdClearAll", "cmdSave", "cmdExit"}) {
      auto* button = Control<QPushButton>(name);
      const QString caption = button->text().remove(QLatin1Char('&'));
      QVERIFY2(button->fontMetrics().horizontalAdvance(caption) < button->width(), name);
    }
  }

  void accessKeysPressTheirButtons() {
    const std::pair<Qt::Key, const char*> keys[] = {{Qt::Key_A, "cmdAddFile"},
                                                    {Qt::Key_R, "cmdRemoveFile"},
                                                    {Qt::Key_C, "cmdClearAll"},
                                                    {Qt::Key_S, "cmdSave"},
                                                    {Qt::Key_E, "cmdExit"}};
    for (const auto& [key, name] : keys) {
      QSignalSpy clicked(Control<QPushButton>(name), &QPushButton::clicked);
      bool dialog_shown = false;
      if (key == Qt::Key_A) {
        AnswerNextModal([&](QWidget* modal) {
          dialog_shown = true;
          modal->close();
        });
      }
      // Access keys reach the active window, which the dialog of Alt+A took over.
      window_->activateWindow();
      QVERIFY(QTest::qWaitForWindowActive(window_.get()));
      QTest::keyClick(window_->windowHandle(), key, Qt::AltModifier);
      // An access key presses its button visibly, so the click comes a moment later.
      QTRY_VERIFY2(clicked.count() == 1, name);
      if (key == Qt::Key_A) QVERIFY(dialog_shown);
    }
    // Alt+S saved into this test's folder; Alt+E closed the window.
    QVERIFY(fwtest::ReadFile(folder_->Path("Settings.inf")) != "<missing>");
    QTRY_VERIFY(!window_->isVisible());
  }

  void tabOrder() {
    QCOMPARE(QApplication::focusWidget(), Control("cmdSave"));
    const char* const order[] = {"cmdExit",       "txtPath",     "lstFiles", "cmdAddFile",
                                 "cmdRemoveFile", "cmdClearAll", "cmdSave"};
    for (const char* name : order) {
      QTest::keyClick(window_->windowHandle(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget()->objectName(), QString::fromUtf8(name));
    }
    QTest::keyClick(window_->windowHandle(), Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("cmdClearAll"));
  }

  void displayCountsAsMissingOnlyWithoutAnyWayToDraw() {
    const std::string missing = MissingDisplayReason(nullptr, nullptr, nullptr);
    QVERIFY(missing.find("no display") != std::string::npos);
    QVERIFY(missing.find('\n') == std::string::npos);
    // Platform, DISPLAY, WAYLAND_DISPLAY; and whether the display is missing.
    const std::tuple<const char*, const char*, const char*, bool> cases[] = {
        {nullptr, "", "", true},
        {"xcb", nullptr, nullptr, true},
        {"wayland;xcb", nullptr, nullptr, true},
        {"offscreenish", nullptr, nullptr, true},
        {nullptr, ":0", nullptr, false},
        {nullptr, nullptr, "wayland-0", false},
        {"offscreen", nullptr, nullptr, false},
        {"vnc:size=800x600", nullptr, nullptr, false},
        {"xcb;minimal", nullptr, nullptr, false}};
    for (const auto& [platform, x11, wayland, isMissing] : cases) {
      QCOMPARE(MissingDisplayReason(platform, x11, wayland), isMissing ? missing : std::string());
    }
  }
};

QTEST_MAIN(WindowLayoutTest)
#include "window_layout_test.moc"
