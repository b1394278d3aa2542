// The standard error report as the window shows it: a modal message box titled
// "Fetchwell" that gives the error's number and description. Returns when the
// user has closed the box. Needs a QApplication.
#pragma once

#include <string>

class QWidget;

// `parent` (may be null) is the window the box belongs to.
void ShowErrorBox(QWidget* parent, int number, const std::string& description);
