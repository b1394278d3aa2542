// The window module's entry points: the C functions that the executable looks
// up by name once it has loaded "fetchwell-window.so" (startup/window_module.h).
#pragma once

class frmMain;

extern "C" {
// Creates the application object from the program's name, argv[0] (the other
// words are not passed on). Returns 1 when the display is open; 0 with a
// NUL-terminated one-line reason (cut to `why_size` bytes) otherwise.
int fetchwell_window_open(int argc, char** argv, char* why, unsigned long why_size);
using fetchwell_window_open_fn = int (*)(int, char**, char*, unsigned long);
// Shows the error box: `number` and the UTF-8 `description`. Returns 1 once
// the box has been closed; 0, showing nothing and printing nothing, when there
// is no application object.
int fetchwell_window_report(int number, const char* description);
using fetchwell_window_report_fn = int (*)(int, const char*);
// Runs the window over `form` until it is closed, then unloads `form`. The
// application object stays, for a report that may follow.
void fetchwell_window_run(frmMain* form);
using fetchwell_window_run_fn = void (*)(frmMain*);
// Deletes the application object, if any.
void fetchwell_window_close();
using fetchwell_window_close_fn = void (*)();
}
