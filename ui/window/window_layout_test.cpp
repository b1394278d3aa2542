// The window's layout: every control where the layout table puts it, at the
// smallest scale at which every caption fits the desktop's font; its captions
// and access keys; the desktop's font in every control and in the Add file
// dialog, at the desktop's size; tab order; and when a display counts as
// missing.
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
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <cmath>
#include <functional>
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

// A length in pixels stands for a length in twips at `scale` when it is the
// nearest whole pixel at 15 twips to the pixel, times the scale.
bool Matches(int pixels, int twips, double scale) {
  return 2 * std::abs(pixels * 15 - twips * scale) <= 15;
}

int Scaled(int twips, double scale) {
  return static_cast<int>(std::lround(twips * scale / 15.0));
}

// Same family, size, slant and weight.
bool SameFont(const QFont& a, const QFont& b) {
  return a.family() == b.family() && a.pointSizeF() == b.pointSizeF() &&
         a.pixelSize() == b.pixelSize() && a.italic() == b.italic() && a.weight() == b.weight();
}

// The desktop fonts the window is built at: as the desktop has it, small
// enough that every caption fits the layout as it is, larger ones, and one
// given in pixels.
void DesktopSizes() {
  QTest::addColumn<double>("points");  // 0: the desktop's own size
  QTest::addColumn<int>("pixels");     // 0: not in pixels
  QTest::newRow("default") << 0.0 << 0;
  QTest::newRow("6.5pt") << 6.5 << 0;
  QTest::newRow("9pt") << 9.0 << 0;
  QTest::newRow("12pt") << 12.0 << 0;
  QTest::newRow("16pt") << 16.0 << 0;
  QTest::newRow("17px") << 0.0 << 17;
}

QString Describe(const QFont& font) {
  return QStringLiteral("%1 %2 pt weight %3")
      .arg(font.family())
      .arg(QFontInfo(font).pointSizeF())
      .arg(font.weight());
}

// The area a button's style draws its text in: inside the bevel.
QSize InsideBevel(const QPushButton* button) {
  QStyleOptionButton option;
  option.initFrom(button);
  option.text = button->text();
  return button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).size();
}

// The area inside a text box's border.
QSize InsideBorder(const QLineEdit* box) {
  const int border = box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, box);
  return box->rect().adjusted(border, border, -border, -border).size();
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
  // (0: as it is), after `theme` has given fonts to kinds of control. The
  // desktop's font, the same for all, comes back when the returned guard ends.
  auto BuildAtDesktopSize(double points, int pixels, const std::function<void()>& theme = {}) {
    const QFont before = QApplication::font();
    SetDesktopSize(points, pixels);  // drops the fonts of kinds of control
    if (theme) theme();
    window_.reset();
    window_ = std::make_unique<MainWindow>(frmMain::Instance());
    window_->show();
    if (!QTest::qWaitForWindowExposed(window_.get())) qFatal("the window is not shown");
    return qScopeGuard([before] { QApplication::setFont(before); });
  }

  static void SetDesktopSize(double points, int pixels) {
    QFont desktop = QApplication::font();
    if (points > 0) desktop.setPointSizeF(points);
    if (pixels > 0) desktop.setPixelSize(pixels);
    QApplication::setFont(desktop);
    // The windows hear of the new font from a posted notice.
    QCoreApplication::sendPostedEvents();
  }

  // "13pt" or "scale2-13pt": the current row, and the screen's scale when it is not 1.
  static QString ShotName() {
    const QString scale = qEnvironmentVariable("QT_SCALE_FACTOR");
    const QString row = QString::fromUtf8(QTest::currentDataTag());
    if (scale.isEmpty() || scale == QStringLiteral("1")) return row;
    const QString scaled = QStringLiteral("scale") + scale;
    return row == QStringLiteral("default") ? scaled : scaled + QLatin1Char('-') + row;
  }

  // Moves every control to where the table puts it at `scale`.
  void PlaceAt(double scale) {
    for (const Placement& p : kLayout) {
      Control(p.name)->setGeometry(Scaled(p.left, scale), Scaled(p.top, scale),
                                   Scaled(p.width, scale), Scaled(p.height, scale));
    }
  }

  // The captions that do not fit inside their controls (a frame's above the
  // frame's contents) with a little room across, in the font each control
  // draws with; and the folder box when one line of its text is cut.
  QStringList CutCaptions() {
    constexpr int kMargin = 2;
    QStringList cut;
    const auto check = [&](QWidget* control, const QString& caption, QSize room) {
      const QFontMetrics metrics = control->fontMetrics();
      const QString shown = QString(caption).remove(QLatin1Char('&'));
      const int across = metrics.horizontalAdvance(shown);
      if (across + kMargin <= room.width() && metrics.height() <= room.height()) return;
      cut << QStringLiteral("%1 \"%2\" is %3x%4 px in %5, its room %6x%7 px")
                 .arg(control->objectName(), shown)
                 .arg(across)
                 .arg(metrics.height())
                 .arg(Describe(control->font()))
                 .arg(room.width())
                 .arg(room.height());
    };
    auto* label = Control<QLabel>("lblPath");
    check(label, label->text(), label->contentsRect().size());
    for (const char* name : {"cmdAddFile", "cmdRemoveFile", "cmdClearAll", "cmdSave", "cmdExit"}) {
      auto* button = Control<QPushButton>(name);
      check(button, button->text(), InsideBevel(button));
    }
    for (const auto& [frame, contents] :
         {std::pair{"frameFiles", "picFilesToDownload"}, std::pair{"Frame1", "picSettings"}}) {
      auto* box = Control<QGroupBox>(frame);
      check(box, box->title(), QSize(box->width(), Control(contents)->y()));
    }
    auto* folder = Control<QLineEdit>("txtPath");
    check(folder, QString(), InsideBorder(folder));
    return cut;
  }

  // Every caption fits at the window's scale, and (above 1) some caption is
  // cut one step below it.
  void VerifySmallestScaleThatFits() {
    const double scale = window_->LayoutScale();
    const QStringList cut = CutCaptions();
    QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QStringLiteral("; "))));
    if (scale > 1) {
      PlaceAt(scale - kScaleStep);
      QVERIFY2(!CutCaptions().isEmpty(),
               qPrintable(QStringLiteral("everything fits below %1").arg(scale)));
      PlaceAt(scale);
    }
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

  // The window is the layout's client area times its scale, which is 1 while
  // the desktop's font is small and grows with it.
  void windowIsTheLayoutsSizeTimesItsScale_data() { DesktopSizes(); }
  void windowIsTheLayoutsSizeTimesItsScale() {
    QFETCH(double, points);
    QFETCH(int, pixels);
    const auto restore = BuildAtDesktopSize(points, pixels);
    QCOMPARE(window_->windowTitle(), QStringLiteral("Download file"));
    const double scale = window_->LayoutScale();
    QVERIFY2(scale >= 1 && scale <= kLargestScale, qPrintable(QString::number(scale)));
    QVERIFY(Matches(window_->width(), 5925, scale));
    QVERIFY(Matches(window_->height(), 5235, scale));
    QCOMPARE(window_->minimumSize(), window_->maximumSize());
    if (points == 6.5) QCOMPARE(scale, 1.0);
    if (points == 16) QVERIFY2(scale > 1.5, qPrintable(QString::number(scale)));
  }

  void everyControlSitsWhereTheTablePutsIt_data() { DesktopSizes(); }
  void everyControlSitsWhereTheTablePutsIt() {
    QFETCH(double, points);
    QFETCH(int, pixels);
    const auto restore = BuildAtDesktopSize(points, pixels);
    const double scale = window_->LayoutScale();
    for (const Placement& p : kLayout) {
      QWidget* control = Control(p.name);
      QCOMPARE(control->parentWidget()->objectName(), QString::fromUtf8(p.inside));
      const QRect g = control->geometry();
      const QString where = QStringLiteral("%1 at %2,%3 %4x%5 px, scale %6")
                                .arg(QString::fromUtf8(p.name))
                                .arg(g.x())
                                .arg(g.y())
                                .arg(g.width())
                                .arg(g.height())
                                .arg(scale);
      QVERIFY2(Matches(g.x(), p.left, scale) && Matches(g.y(), p.top, scale) &&
                   Matches(g.width(), p.width, scale) && Matches(g.height(), p.height, scale),
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

  // The desktop's font at the desktop's size in every control, the frames'
  // captions in its bold.
  void oneFontForEveryControl_data() { DesktopSizes(); }
  void oneFontForEveryControl() {
    QFETCH(double, points);
    QFETCH(int, pixels);
    const auto restore = BuildAtDesktopSize(points, pixels);
    const QFont desktop = QApplication::font();
    const QFont font = window_->font();
    QVERIFY2(SameFont(font, desktop), qPrintable(Describe(font) + " for " + Describe(desktop)));
    QCOMPARE(QFontInfo(font).pointSizeF(), QFontInfo(desktop).pointSizeF());
    if (points > 0) QCOMPARE(font.pointSizeF(), points);
    if (pixels > 0) QCOMPARE(QFontInfo(font).pixelSize(), pixels);

    for (const char* name :
         {"picFilesToDownload", "lstFiles", "cmdAddFile", "cmdRemoveFile", "cmdClearAll",
          "picSettings", "lblPath", "txtPath", "cmdSave", "cmdExit"}) {
      const QFont used = Control(name)->font();
      QVERIFY2(SameFont(used, font),
               qPrintable(QStringLiteral("%1: %2, the window's %3")
                              .arg(QString::fromUtf8(name), Describe(used), Describe(font))));
    }
    QFont bold = font;
    bold.setWeight(QFont::Bold);
    for (const char* name : {"frameFiles", "Frame1"}) {
      const QFont used = Control(name)->font();
      QVERIFY2(SameFont(used, bold),
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

  // The window's scale is the smallest at which every caption fits.
  void everyCaptionFitsItsControl_data() { DesktopSizes(); }
  void everyCaptionFitsItsControl() {
    QFETCH(double, points);
    QFETCH(int, pixels);
    const auto restore = BuildAtDesktopSize(points, pixels);
    VerifySmallestScaleThatFits();
  }

  // A new desktop font reaches the open window: it takes the font and the
  // scale that font needs, larger and smaller again.
  void followsANewDesktopFont() {
    const auto restore = BuildAtDesktopSize(9, 0);
    const double at9 = window_->LayoutScale();
    SetDesktopSize(16, 0);
    QCOMPARE(window_->font().pointSizeF(), 16.0);
    QCOMPARE(Control("cmdSave")->font().pointSizeF(), 16.0);
    QVERIFY(window_->LayoutScale() > at9);
    QVERIFY(Matches(window_->width(), 5925, window_->LayoutScale()));
    VerifySmallestScaleThatFits();
    SetDesktopSize(9, 0);
    QCOMPARE(window_->LayoutScale(), at9);
    QVERIFY(Matches(window_->height(), 5235, at9));
  }

  // The window and its Add file dialog draw every control in the desktop's
  // font, also where a platform theme gives one kind of control a font of its own.
  void oneFontAcrossTheWindowAndItsAddDialog() {
    const auto restore = BuildAtDesktopSize(14, 0, [] {
      QFont themed = QApplication::font();
      themed.setFamily(QStringLiteral("DejaVu Serif"));
      themed.setPointSizeF(20);
      for (const char* kind : {"QLabel", "QPushButton", "QLineEdit"}) {
        QApplication::setFont(themed, kind);
      }
    });
    const QFont font = window_->font();
    QCOMPARE(font.pointSizeF(), 14.0);
    QStringList differing;
    const auto compare = [&](QWidget* top) {
      QList<QWidget*> drawn = top->findChildren<QWidget*>();
      drawn.prepend(top);
      for (const QWidget* widget : drawn) {
        QFont expected = font;
        if (qobject_cast<const QGroupBox*>(widget) != nullptr) expected.setWeight(QFont::Bold);
        if (!SameFont(widget->font(), expected)) {
          differing << QStringLiteral("%1 %2: %3")
                           .arg(QString::fromUtf8(widget->metaObject()->className()),
                                widget->objectName(), Describe(widget->font()));
        }
      }
    };
    compare(window_.get());
    bool shown = false;
    AnswerNextModal([&](QWidget* modal) {
      shown = true;
      compare(modal);
      modal->close();
    });
    window_->AddFile();
    QVERIFY(shown);
    QVERIFY2(differing.isEmpty(), qPrintable(differing.join(QStringLiteral("; "))));
  }

  // Access-key markers take no room, bold captions are measured bold, and the
  // scale is the smallest step that fits, 1 when the room is enough as it is,
  // and the largest when nothing fits.
  void scaleChoiceAtItsLimits() {
    QCOMPARE(ShownText(QStringLiteral("&Add file")), QStringLiteral("Add file"));
    QCOMPARE(ShownText(QStringLiteral("Salt && &Pepper&")), QStringLiteral("Salt & Pepper"));

    QFont desktop = QApplication::font();
    desktop.setPointSizeF(12);
    const QFontMetrics metrics(desktop);
    const QString add = QStringLiteral("&Add file");
    const QSize room(metrics.horizontalAdvance(QStringLiteral("Add file")) + kCaptionMargin,
                     metrics.height());
    QVERIFY(CaptionFits(desktop, {add, room}));
    QVERIFY(!CaptionFits(desktop, {add, room, true}));
    QVERIFY(!CaptionFits(desktop, {add, room - QSize(1, 0)}));
    QVERIFY(!CaptionFits(desktop, {add, room - QSize(0, 1)}));

    // A control two thirds of the size its caption needs, with a border of
    // 3 pixels that does not grow with the scale.
    constexpr int kBorder = 3;
    const auto at = [&](double scale, bool bold) {
      const auto grown = [&](int needed) {
        return static_cast<int>(std::lround(needed * 2 / 3.0 * scale)) - 2 * kBorder;
      };
      return Caption{
          add, QSize(grown(room.width() + 2 * kBorder), grown(room.height() + 2 * kBorder)), bold};
    };
    for (const bool bold : {false, true}) {
      int calls = 0;
      const double scale = FittingScale(desktop, [&](double s) {
        ++calls;
        return std::vector<Caption>{at(s, bold)};
      });
      QVERIFY(scale > 1.4 && scale < 2);
      QCOMPARE(std::fmod(scale - 1, kScaleStep), 0.0);
      QVERIFY(CaptionFits(desktop, at(scale, bold)));
      QVERIFY(!CaptionFits(desktop, at(scale - kScaleStep, bold)));
      QCOMPARE(calls, static_cast<int>((scale - 1) / kScaleStep) + 1);
    }

    QCOMPARE(
        FittingScale(desktop, [&](double s) { return std::vector<Caption>{at(s * 2, false)}; }),
        1.0);
    const Caption never{QStringLiteral("Folder to download to:"), QSize(4, 4)};
    QCOMPARE(FittingScale(desktop, [&](double) { return std::vector<Caption>{never}; }),
             kLargestScale);
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
