// The window's layout: every control where the layout table puts it, its
// captions and access keys, one font that fits every caption at any desktop
// font, and tab order; and when a display counts as missing.
#include <QApplication>
#include <QDir>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <memory>
#include <tuple>
#include <utility>

#include "tests/fixtures/temp_folder.h"
#include "ui/frmMain.h"
#include "ui/window/display.h"
#include "ui/window/main_window.h"
#include "ui/window/test_support.h"
#include "ui/window/window_font.h"

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

// Same family, size and slant.
bool SameFace(const QFont& a, const QFont& b) {
  return a.family() == b.family() && a.pointSizeF() == b.pointSizeF() && a.italic() == b.italic();
}

// The desktop fonts the window is built at: as the desktop has it, large,
// small enough that every caption fits as it is, and one given in pixels.
void DesktopSizes() {
  QTest::addColumn<double>("points");  // 0: the desktop's own size
  QTest::addColumn<int>("pixels");     // 0: not in pixels
  QTest::newRow("default") << 0.0 << 0;
  QTest::newRow("13pt") << 13.0 << 0;
  QTest::newRow("6.5pt") << 6.5 << 0;
  QTest::newRow("17px") << 0.0 << 17;
}

QString Describe(const QFont& font) {
  return QStringLiteral("%1 %2 pt weight %3")
      .arg(font.family())
      .arg(font.pointSizeF())
      .arg(font.weight());
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

  // Builds the window anew with the desktop's font at `points` or `pixels`
  // (0: as it is). The desktop's font comes back when the returned guard ends.
  auto BuildAtDesktopSize(double points, int pixels) {
    const QFont before = QApplication::font();
    QFont desktop = before;
    if (points > 0) desktop.setPointSizeF(points);
    if (pixels > 0) desktop.setPixelSize(pixels);
    QApplication::setFont(desktop);
    window_.reset();
    window_ = std::make_unique<MainWindow>(frmMain::Instance());
    window_->show();
    if (!QTest::qWaitForWindowExposed(window_.get())) qFatal("the window is not shown");
    return qScopeGuard([before] { QApplication::setFont(before); });
  }

  // "13pt" or "scale2-13pt": the current row, and the screen's scale when it is not 1.
  static QString ShotName() {
    const QString scale = qEnvironmentVariable("QT_SCALE_FACTOR");
    const QString row = QString::fromUtf8(QTest::currentDataTag());
    if (scale.isEmpty() || scale == QStringLiteral("1")) return row;
    const QString scaled = QStringLiteral("scale") + scale;
    return row == QStringLiteral("default") ? scaled : scaled + QLatin1Char('-') + row;
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

  void captions() {
    QCOMPARE(Control<QGroupBox>("frameFiles")->title(), QStringLiteral("Files to download:"));
    QCOMPARE(Control<QGroupBox>("Frame1")->title(), QStringLiteral("Settings:"));
    QCOMPARE(Control<QLabel>("lblPath")->text(), QStringLiteral("Folder to download to:"));
    QCOMPARE(Control<QPushButton>("cmdAddFile")->text(), QStringLiteral("&Add file"));
    QCOMPARE(Control<QPushButton>("cmdRemoveFile")->text(), QStringLiteral("&Remove file"));
    QCOMPARE(Control<QPushButton>("cmdClearAll")->text(), QStringLiteral("&Clear all"));
    QCOMPARE(Control<QPushButton>("cmdSave")->text(), QStringLiteral("&Save"));
    QCOMPARE(Control<QPushButton>("cmdExit")->text(), QStringLiteral("&Exit"));
    QCOMPARE(Control<QListWidget>("lstFiles")->selectionMode(),
             QAbstractItemView::ExtendedSelection);
    QVERIFY(Control<QLineEdit>("txtPath")->text() == QString::fromStdString(folder_->Folder()));
  }

  void oneFontForEveryControl_data() { DesktopSizes(); }
  void oneFontForEveryControl() {
    QFETCH(double, points);
    QFETCH(int, pixels);
    const auto restore = BuildAtDesktopSize(points, pixels);
    const QFont desktop = QApplication::font();
    const QFont font = window_->font();
    QCOMPARE(font.family(), desktop.family());
    QCOMPARE(font.weight(), desktop.weight());
    QVERIFY2(font.pointSizeF() > 0 && font.pointSizeF() <= QFontInfo(desktop).pointSizeF(),
             qPrintable(Describe(font)));
    // 6.5 pt leaves every caption room to spare: nothing is made smaller.
    if (points == 6.5) QCOMPARE(font.pointSizeF(), 6.5);

    for (const char* name :
         {"picFilesToDownload", "lstFiles", "cmdAddFile", "cmdRemoveFile", "cmdClearAll",
          "picSettings", "lblPath", "txtPath", "cmdSave", "cmdExit"}) {
      const QFont used = Control(name)->font();
      QVERIFY2(SameFace(used, font) && used.weight() == font.weight(),
               qPrintable(QStringLiteral("%1: %2, the window's %3")
                              .arg(QString::fromUtf8(name), Describe(used), Describe(font))));
    }
    for (const char* name : {"frameFiles", "Frame1"}) {
      const QFont used = Control(name)->font();
      QVERIFY2(SameFace(used, font) && used.weight() == QFont::Bold,
               qPrintable(QStringLiteral("%1: %2, the window's %3 in bold")
                              .arg(QString::fromUtf8(name), Describe(used), Describe(font))));
    }

    // The window as it looks, with a few rows, to be looked at; on a scaled
    // screen it is drawn at the scale's density.
    frmMain::Instance().AddFile("https://example.org/reports/daily.pdf");
    frmMain::Instance().AddFile("ftp://ftp.example.com/pub/README");
    const QPixmap shot = window_->grab();
    QCOMPARE(shot.devicePixelRatio(), qEnvironmentVariable("QT_SCALE_FACTOR", "1").toDouble());
    QVERIFY(QDir().mkpath(QStringLiteral(FETCHWELL_TEST_OUTPUT)));
    const QString path =
        QStringLiteral(FETCHWELL_TEST_OUTPUT "/window-font-%1.png").arg(ShotName());
    QVERIFY2(shot.save(path), qPrintable(path));
  }

  // Each caption fits inside its control (a frame's above the frame's
  // contents) with a little room across, in the font the control draws with.
  void everyCaptionFitsItsControl_data() { DesktopSizes(); }
  void everyCaptionFitsItsControl() {
    QFETCH(double, points);
    QFETCH(int, pixels);
    const auto restore = BuildAtDesktopSize(points, pixels);
    constexpr int kMargin = 2;
    const auto check = [&](QWidget* control, const QString& caption, QSize room) {
      const QFontMetrics metrics = control->fontMetrics();
      const QString shown = QString(caption).remove(QLatin1Char('&'));
      const int across = metrics.horizontalAdvance(shown);
      QVERIFY2(across + kMargin <= room.width() && metrics.height() <= room.height(),
               qPrintable(QStringLiteral("\"%1\" is %2x%3 px in %4, its room %5x%6 px")
                              .arg(shown)
                              .arg(across)
                              .arg(metrics.height())
                              .arg(Describe(control->font()))
                              .arg(room.width())
                              .arg(room.height())));
    };
    auto* label = Control<QLabel>("lblPath");
    check(label, label->text(), label->contentsRect().size());
    for (const char* name : {"cmdAddFile", "cmdRemoveFile", "cmdClearAll", "cmdSave", "cmdExit"}) {
      auto* button = Control<QPushButton>(name);
      check(button, button->text(), button->contentsRect().size());
    }
    for (const auto& [frame, contents] :
         {std::pair{"frameFiles", "picFilesToDownload"}, std::pair{"Frame1", "picSettings"}}) {
      auto* box = Control<QGroupBox>(frame);
      check(box, box->title(), QSize(box->width(), Control(contents)->y()));
    }
  }

  // Access-key markers take no room, bold captions are measured bold, and the
  // size never goes above the desktop's nor, stepping down, below the smallest.
  void fontChoiceAtItsLimits() {
    QCOMPARE(ShownText(QStringLiteral("&Add file")), QStringLiteral("Add file"));
    QCOMPARE(ShownText(QStringLiteral("Salt && &Pepper&")), QStringLiteral("Salt & Pepper"));

    QFont desktop = QApplication::font();
    desktop.setPointSizeF(12);
    const QFontMetrics metrics(desktop);
    const QSize room(metrics.horizontalAdvance(QStringLiteral("Add file")) + kCaptionMargin,
                     metrics.height());
    QVERIFY(CaptionFits(desktop, {QStringLiteral("&Add file"), room}));
    QVERIFY(!CaptionFits(desktop, {QStringLiteral("&Add file"), room, true}));
    QVERIFY(!CaptionFits(desktop, {QStringLiteral("&Add file"), room - QSize(1, 0)}));
    QVERIFY(!CaptionFits(desktop, {QStringLiteral("&Add file"), room - QSize(0, 1)}));
    QCOMPARE(FittingFont(desktop, {{QStringLiteral("&Add file"), room}}).pointSizeF(), 12.0);
    const QFont smaller = FittingFont(desktop, {{QStringLiteral("&Add file"), room, true}});
    QVERIFY(smaller.pointSizeF() < 12.0);
    QVERIFY(CaptionFits(smaller, {QStringLiteral("&Add file"), room, true}));
    QCOMPARE(smaller.family(), desktop.family());

    const Caption never{QStringLiteral("Folder to download to:"), QSize(4, 4)};
    QCOMPARE(FittingFont(desktop, {never}).pointSizeF(), kSmallestPointSize);
    desktop.setPointSizeF(kSmallestPointSize - 2);
    QCOMPARE(FittingFont(desktop, {never}).pointSizeF(), kSmallestPointSize - 2);
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
