// The window's widgets seen as the window object's controls: the list box as a
// ListDisplay and the folder box as a TextBox. Each wraps a widget it does not
// own; the widget must outlive it.
#pragma once

#include <QString>
#include <string>

#include "store/list_display.h"
#include "ui/frmMain.h"

class QLineEdit;
class QListWidget;

// `lstFiles`: one row per AddItem, shown as UTF-8 text. The row's tooltip is the
// same text, so that a URL too long for the box can be read whole.
class ListWidgetDisplay : public ListDisplay {
 public:
  explicit ListWidgetDisplay(QListWidget* list) : list_(list) {}
  void Clear() override;
  void AddItem(const std::string& item) override;

 private:
  QListWidget* list_;
};

// `txtPath`: the folder text. Text() gives back exactly the bytes last given to
// SetText() (also bytes that are not valid UTF-8) until the user edits the
// box; after an edit it gives the box's text as UTF-8.
class LineEditTextBox : public TextBox {
 public:
  explicit LineEditTextBox(QLineEdit* edit) : edit_(edit) {}
  std::string Text() const override;
  void SetText(const std::string& text) override;

 private:
  QLineEdit* edit_;
  std::string set_bytes_;  // the bytes of the last SetText
  QString set_shown_;      // what the box showed for them
};
