#include "ui/window/error_box.h"

#include <QMessageBox>
#include <QString>

void ShowErrorBox(QWidget* parent, int number, const std::string& description) {
  const QString text = QStringLiteral("Error %1: %2")
                           .arg(QString::number(number), QString::fromStdString(description));
  QMessageBox::critical(parent, QStringLiteral("Fetchwell"), text);
}
