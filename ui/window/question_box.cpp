#include "ui/window/question_box.h"

#include <QMessageBox>
#include <QString>

bool AskToReplaceChangedList(QWidget* parent) {
  return QMessageBox::question(parent, QStringLiteral("Fetchwell"),
                               QStringLiteral("The list was changed by another program since it "
                                              "was loaded. Replace it with this list?"),
                               QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}
