// The window is a module of its own, loaded only when it is to be shown, so
// that a run that only downloads never needs Qt or a display.
//
// The module, "fetchwell-window.so", sits beside the executable (in
// fw::ProgramFolder()) and resolves the window object's symbols from the
// executable that loads it. Its entry points are the C functions declared at
// the end of this file.
#pragma once

#include <string>

class frmMain;

namespace modMain {

// Loads the window module from the executable's folder and opens the display.
// Returns false, with a one-line reason in `why` (such as "no display (...)"),
// when either fails; never aborts. A display that the window toolkit itself
// fails to connect to ends the program with the line "fetchwell: cannot show
// the window: <reason>" on standard error and status 2.
// `argv` is copied: the caller's arguments are left as they are.
bool OpenWindowModule(int argc, char** argv, std::string& why);

// The standard error report while the window is to be shown: a message box
// titled "Fetchwell" with the error's number and description. Without an open
// window module it prints the one-line report on standard error instead.
void ReportErrorInBox(int number, const std::string& description);

// Shows the window over `form`'s state and runs until it is closed (by Exit or
// the window's close control); then unloads the window object, so `form` is
// gone when this returns. Needs an open window module.
void RunWindow(frmMain& form);

}  // namespace modMain

// The window module's entry points, looked up by name after loading it.
extern "C" {

// Creates the application object. Returns 1 when the display is open; 0 with a
// NUL-terminated one-line reason (cut to `why_size` bytes) otherwise.
// `argc` and `argv` must stay alive as long as the program runs.
int fetchwell_window_open(int* argc, char** argv, char* why, unsigned long why_size);
using fetchwell_window_open_fn = int (*)(int*, char**, char*, unsigned long);

// Shows the error box: `number` and the UTF-8 `description`.
void fetchwell_window_report(int number, const char* description);
using fetchwell_window_report_fn = void (*)(int, const char*);

// Runs the window over `form` until it is closed, then unloads `form`.
void fetchwell_window_run(frmMain* form);
using fetchwell_window_run_fn = void (*)(frmMain*);
}
