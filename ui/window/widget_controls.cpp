#include "ui/window/widget_controls.h"

#include <QLineEdit>
#include <QListWidget>
#include <QTextDocument>

void ListWidgetDisplay::Clear() {
  list_->clear();
}

void ListWidgetDisplay::AddItem(const std::string& item) {
  const QString text = QString::fromStdString(item);
  auto* row = new QListWidgetItem(text);
  // A tooltip that looks like markup is shown as markup: such a URL is escaped
  // so that it shows as the text it is.
  row->setData(Qt::ToolTipRole,
               Qt::mightBeRichText(text) ? "<qt>" + text.toHtmlEscaped() + "</qt>" : text);
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
