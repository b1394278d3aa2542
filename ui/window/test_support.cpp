#include "ui/window/test_support.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QListWidget>
#include <QTimer>
#include <fstream>
#include <iterator>
#include <sstream>

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

std::string ListFileBytes(const std::vector<std::string>& entries) {
  std::string bytes;
  auto put = [&bytes](uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  put(static_cast<uint32_t>(static_cast<int32_t>(entries.size()) - 1), 4);
  for (const auto& entry : entries) {
    put(static_cast<uint32_t>(entry.size()), 2);
    bytes += entry;
  }
  return bytes;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Rows(QWidget* list) {
  std::vector<std::string> rows;
  auto* widget = qobject_cast<QListWidget*>(list);
  for (int i = 0; widget != nullptr && i < widget->count(); ++i) {
    rows.push_back(widget->item(i)->text().toStdString());
  }
  return rows;
}
