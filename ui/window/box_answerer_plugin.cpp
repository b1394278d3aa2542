// A Qt generic plugin for the end-to-end tests: it answers the program's
// message boxes as a user would, so that a test can run the real executable on
// the offscreen platform through an error box to its end.
//
// Qt loads it only when asked through its own environment:
// QT_PLUGIN_PATH=<folder holding generic/> and
// QT_QPA_GENERIC_PLUGINS=fetchwell-box-answerer. Nothing of it is built into
// the program or installed. Every box it answers is written on standard error
// as "answered box: <title>: <text>" before it presses the box's default button.
#include <unistd.h>

#include <QApplication>
#include <QByteArray>
#include <QGenericPlugin>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace {

void AnswerShownBox() {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (box == nullptr || !box->isVisible()) return;
  const QByteArray line =
      "answered box: " + box->windowTitle().toUtf8() + ": " + box->text().toUtf8() + "\n";
  (void)!write(STDERR_FILENO, line.constData(), static_cast<std::size_t>(line.size()));
  if (QPushButton* button = box->defaultButton()) {
    button->click();
  } else {
    box->close();
  }
}

}  // namespace

class BoxAnswererPlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "box_answerer_plugin.json")

 public:
  QObject* create(const QString& key, const QString&) override {
    if (key.compare(QStringLiteral("fetchwell-box-answerer"), Qt::CaseInsensitive) != 0) {
      return nullptr;
    }
    // Owned by the application, which deletes the objects of its generic plugins.
    auto* poller = new QTimer;
    QObject::connect(poller, &QTimer::timeout, poller, &AnswerShownBox);
    poller->start(20);
    return poller;
  }
};

#include "box_answerer_plugin.moc"
