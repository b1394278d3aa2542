// The application object as the window module makes it, from a command line
// full of words that the toolkit would take for its own options. The words are
// the program's: the window must look the same with or without them.
#include <QApplication>
#include <QGuiApplication>
#include <QTest>
#include <cstdio>
#include <string>
#include <vector>

#include "ui/frmMain.h"
#include "ui/window/application.h"
#include "ui/window/main_window.h"
#include "ui/window/test_support.h"

class WindowApplicationTest : public QObject {
  Q_OBJECT

 private slots:
  void theCommandLinesWordsDoNotReachTheToolkit() {
    // Not "xcb" from the words: the environment's offscreen platform.
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("offscreen"));
    // Not mirrored by "-reverse".
    QCOMPARE(QGuiApplication::layoutDirection(), Qt::LeftToRight);
    QCOMPARE(QCoreApplication::arguments().size(), 1);

    const ProgramFolderForTest folder;
    frmMain::Instance().LoadData();
    MainWindow window(frmMain::Instance());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // Not retitled by "-qwindowtitle"; laid out left to right.
    QCOMPARE(window.windowHandle()->title(), QStringLiteral("Download file"));
    QCOMPARE(window.layoutDirection(), Qt::LeftToRight);
  }
};

int main(int, char** argv) {
  std::vector<std::string> words = {
      argv[0], "-reverse", "-qwindowtitle", "Hello",       "-platform",
      "xcb",   "-style",   "windows",       "-stylesheet", "/nonexistent.qss"};
  std::vector<char*> command_line;
  for (std::string& word : words) command_line.push_back(word.data());
  command_line.push_back(nullptr);
  std::string why;
  if (!OpenApplication(static_cast<int>(words.size()), command_line.data(), why)) {
    std::fprintf(stderr, "cannot open the application: %s\n", why.c_str());
    return 2;
  }
  WindowApplicationTest test;
  char* test_words[] = {argv[0], nullptr};
  const int failed = QTest::qExec(&test, 1, test_words);
  // As the program ends: the application object goes before the toolkit's statics.
  CloseApplication();
  return failed;
}

#include "window_application_test.moc"
