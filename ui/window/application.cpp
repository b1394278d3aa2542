#include "ui/window/application.h"

#include <unistd.h>

#include <QApplication>
#include <QByteArray>
#include <QString>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ui/frmMain.h"
#include "ui/window/display.h"
#include "ui/window/main_window.h"

namespace {

// The command line the QApplication is given, which it keeps references to for
// its life: the program's name alone. Defined before the application, so
// that they outlive it.
std::string g_program_name;
int g_toolkit_argc = 1;
char* g_toolkit_argv[] = {nullptr, nullptr};

std::unique_ptr<QApplication> g_application;

// A message logged while the application object is being created.
struct HeldMessage {
  QtMsgType type;
  QByteArray category;
  QString text;
};
std::vector<HeldMessage>* g_held = nullptr;

QString FirstLine(const QString& text) {
  return text.section(QLatin1Char('\n'), 0, 0).trimmed();
}

// Holds messages back while the toolkit starts. A fatal message (the toolkit
// gives up when it cannot reach the display) would abort the program; it
// becomes one line on standard error and status 2 instead. The line names the
// display problem the toolkit reported before giving up, when it reported one.
void HoldingHandler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type == QtFatalMsg) {
    QString reason = FirstLine(text);
    for (const HeldMessage& held : *g_held) {
      if (held.text.contains(QStringLiteral("display"), Qt::CaseInsensitive)) {
        reason = FirstLine(held.text);
        break;
      }
    }
    const QByteArray line = "fetchwell: cannot show the window: " + reason.toUtf8() + "\n";
    (void)!write(STDERR_FILENO, line.constData(), static_cast<std::size_t>(line.size()));
    // Nothing has been loaded or written yet, and the toolkit is half made:
    // leave at once, without running exit handlers.
    _exit(2);
  }
  g_held->push_back({type, QByteArray(context.category), text});
}

}  // namespace

bool OpenApplication(int argc, char** argv, std::string& why) {
  if (QApplication::instance() != nullptr) return true;
  why = MissingDisplayReason();
  if (!why.empty()) return false;

  // A process may be started with no arguments at all, not even its name.
  g_program_name = argc > 0 && argv[0] != nullptr ? argv[0] : "fetchwell";
  g_toolkit_argc = 1;
  g_toolkit_argv[0] = g_program_name.data();
  g_toolkit_argv[1] = nullptr;

  std::vector<HeldMessage> held;
  g_held = &held;
  const QtMessageHandler previous = qInstallMessageHandler(HoldingHandler);
  g_application = std::make_unique<QApplication>(g_toolkit_argc, g_toolkit_argv);
  qInstallMessageHandler(previous);
  g_held = nullptr;
  for (const HeldMessage& message : held) {
    const QMessageLogContext context(nullptr, 0, nullptr, message.category.constData());
    qt_message_output(message.type, context, message.text);
  }
  QApplication::setApplicationName(QStringLiteral("Fetchwell"));
  QApplication::setDesktopFileName(QStringLiteral("fetchwell"));
  return true;
}

void CloseApplication() {
  g_application.reset();
}

void RunMainWindow(frmMain& form) {
  {
    MainWindow window(form);
    window.show();
    QApplication::exec();
  }
  frmMain::Unload();
}
