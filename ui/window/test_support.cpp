#include "ui/window/test_support.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QListWidget>
#include <QTimer>

#include "ui/frmMain.h"

void AnswerNextModal(std::function<void(QWidget*)> answer) {
  auto* timer = new QTimer(qApp);
  const QDeadlineTimer deadline(5000);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, answer, deadline] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr && !deadline.hasExpired()) return;
    timer->stop();
    timer->deleteLater();
    if (modal != nullptr) answer(modal);
  });
  timer->start(10);
}

ProgramFolderForTest::ProgramFolderForTest() {
  frmMain::Unload();
  frmMain::UseProgramFolder(dir_.path().toStdString());
}

ProgramFolderForTest::~ProgramFolderForTest() {
  frmMain::Unload();
  frmMain::UseProgramFolder("");
}

std::string ProgramFolderForTest::Path(const char* name) const {
  return Folder() + "/" + name;
}

std::string ProgramFolderForTest::Folder() const {
  return dir_.path().toStdString();
}

std::vector<std::string> Rows(QWidget* list) {
  std::vector<std::string> rows;
  auto* widget = qobject_cast<QListWidget*>(list);
  for (int i = 0; widget != nullptr && i < widget->count(); ++i) {
    rows.push_back(widget->item(i)->text().toStdString());
  }
  return rows;
}
