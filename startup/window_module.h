// The window is a module of its own, "fetchwell-window.so" beside the
// executable, loaded only when it is to be shown, so that a run that only
// downloads never needs Qt or a display. It takes the window object's symbols
// from the executable; its entry points are in ui/window/module.h. Its
// application object must be ended by CloseWindowModule before the process
// ends (left to the end, it would outlive the toolkit's statics and crash).
#pragma once

#include <string>

class frmMain;

namespace modMain {

// Loads the window module from the executable's folder and opens the display.
// Returns false, with a one-line reason in `why` (such as "no display (...)"),
// when either fails; never aborts. A display that the window toolkit itself
// fails to connect to ends the program with the line "fetchwell: cannot show
// the window: <reason>" on standard error and status 2.
// Only the program's name, argv[0], reaches the toolkit: every other word of
// the command line is the program's own, never a toolkit option.
bool OpenWindowModule(int argc, char** argv, std::string& why);

// Shows the standard error report in the window's message box, titled
// "Fetchwell" with the error's number and description, and returns once the
// user has closed it. Returns false, having shown nothing, when there is no
// open window module (the caller then prints the report itself).
bool ReportErrorInBox(int number, const std::string& description);

// Shows the window over `form`'s state and runs until it is closed (by Exit or
// the window's close control); then unloads the window object, so `form` is
// gone when this returns. Needs an open window module.
void RunWindow(frmMain& form);

// Ends the window module's application object; no box or window can be shown
// afterwards. Does nothing when the module is not open. The module itself stays
// loaded.
void CloseWindowModule();

}  // namespace modMain
