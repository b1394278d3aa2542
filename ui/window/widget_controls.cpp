#include "ui/window/widget_controls.h"

#include <QLineEdit>
#include <QListWidget>

void ListWidgetDisplay::Clear() {
  list_->clear();
}

void ListWidgetDisplay::AddItem(const std::string& item) {
  const QString text = QString::fromStdString(item);
  auto* row = new QListWidgetItem(text);
  row->setData(Qt::ToolTipRole, text);
  list_->addItem(row);  // the list takes the row
}

std::string LineEditTextBox::Text() const {
  const QString shown = edit_->text();
  // Bytes that are not UTF-8 cannot be shown as they are; while the box still
  // shows what they were turned into, the folder is still those bytes.
  if (shown == set_shown_) return set_bytes_;
  return shown.toStdString();
}

void LineEditTextBox::SetText(const std::string& text) {
  set_bytes_ = text;
  edit_->setText(QString::fromStdString(text));
  set_shown_ = edit_->text();
}
