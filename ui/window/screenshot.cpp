// Renders the "Download file" window with a few rows into a PNG file, so that
// the layout can be looked at without a display:
//   window_screenshot <file.png>
// Nothing is read from or written to the data files.
#include <QApplication>
#include <QListWidget>
#include <QPixmap>
#include <cstdio>

#include "ui/frmMain.h"
#include "ui/window/main_window.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: window_screenshot <file.png>\n");
    return 2;
  }
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

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
    saved = window.grab().save(QString::fromLocal8Bit(argv[1]));
  }
  frmMain::Unload();
  if (!saved) {
    std::fprintf(stderr, "window_screenshot: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
