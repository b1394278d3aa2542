// Helpers shared by the window's Qt tests.
#pragma once

#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <string>
#include <vector>

class QWidget;

// Calls `answer` with the next modal widget (a dialog or a message box) as soon
// as it is shown, from inside the event loop that runs it. Polls for up to five
// seconds; if none appears, `answer` is never called.
void AnswerNextModal(std::function<void(QWidget*)> answer);

// A temporary folder that stands for the program's folder while it exists, so
// that "Files.dat" and "Settings.inf" are this test's own. Unloads the window
// object when it ends.
class ProgramFolderForTest {
 public:
  ProgramFolderForTest();
  ~ProgramFolderForTest();

  std::string Path(const char* name) const;
  std::string Folder() const;

 private:
  QTemporaryDir dir_;
};

// The rows the widget `list` (a QListWidget) shows, as UTF-8.
std::vector<std::string> Rows(QWidget* list);
