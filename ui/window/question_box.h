// The window's questions: modal message boxes titled "Fetchwell" with Yes and
// No, No the default (Enter or Escape keep things as they are). Each returns
// true for Yes, once the user has answered. Need a QApplication.
#pragma once

class QWidget;

// Asks whether Save may replace a list file that another program changed
// since the window loaded it. `parent` (may be null) is the window it
// belongs to.
bool AskToReplaceChangedList(QWidget* parent);
