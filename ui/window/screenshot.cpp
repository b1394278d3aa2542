// Renders the "Download file" window with a few rows into a PNG file, so that
// the layout can be looked at without a display:
//   window_screenshot <file.png> [desktop font size in points]
// With a size, the desktop's font is taken at that size. The window's font and
// the scale its layout took for it are printed. Nothing is read from or
// written to the data files.
#include <QApplication>
#include <QFont>
#include <QFontInfo>
#include <QListWidget>
#include <QPixmap>
#include <cstdio>
#include <cstdlib>

#include "ui/frmMain.h"
#include "ui/window/main_window.h"

int main(int argc, char** argv) {
  double points = 0;  // the desktop's own size
  bool usage = argc != 2 && argc != 3;
  if (argc == 3) {
    char* end = nullptr;
    points = std::strtod(argv[2], &end);
    usage = *end != '\0' || !(points > 0);
  }
  if (usage) {
    std::fprintf(stderr, "usage: window_screenshot <file.png> [desktop font size in points]\n");
    return 2;
  }
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  if (points > 0) {
    QFont desktop = QApplication::font();
    desktop.setPointSizeF(points);
    QApplication::setFont(desktop);
  }

  frmMain& form = frmMain::Instance();
  for (const char* url :
       {"https://example.org/reports/daily.pdf", "https://data.example.net/export/sales.tar.gz",
        "ftp://ftp.example.com/pub/README", "http://intranet/status/"}) {
    form.AddFile(url);
  }
  form.txtPath().SetText("/home/me/snapshots");

  bool saved = false;
  {
    MainWindow window(form);
    window.findChild<QListWidget*>(QStringLiteral("lstFiles"))->item(1)->setSelected(true);
    window.show();
    QApplication::processEvents();
    const QFontInfo font(window.font());
    std::printf("window font: %s %g pt (%d px), layout scale %g, window %dx%d\n",
                qPrintable(font.family()), window.font().pointSizeF(), font.pixelSize(),
                window.LayoutScale(), window.width(), window.height());
    saved = window.grab().save(QString::fromLocal8Bit(argv[1]));
  }
  frmMain::Unload();
  if (!saved) {
    std::fprintf(stderr, "window_screenshot: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
