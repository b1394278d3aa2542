// The window is a module of its own, loaded only when it is to be shown, so
// that a run that only downloads never needs Qt or a display.
#pragma once

#include <string>

class frmMain;

namespace modMain {

// Loads the window module from the executable's folder and opens the display.
// Returns false, with a one-line reason in `why`, when either fails; never aborts.
bool OpenWindowModule(int argc, char** argv, std::string& why);

// The standard error report while the window is to be shown: a message box
// titled "Fetchwell" with the error's number and description. Needs an open
// window module.
void ReportErrorInBox(int number, const std::string& description);

// Shows the window over `form`'s state and runs until it is closed.
void RunWindow(frmMain& form);

}  // namespace modMain
