// The window toolkit's application object and the window's run, as the window
// module offers them to the executable.
#pragma once

#include <string>

class frmMain;

// Creates the QApplication, unless one exists. Returns false, with a one-line
// reason in `why`, when the environment offers no display. When the toolkit
// finds the display it was pointed at unreachable, which it treats as fatal,
// this prints "fetchwell: " and the one-line reason on standard error and ends
// the process with status 2 instead of aborting. Messages the toolkit logs
// while starting are held back and passed on only when it starts.
// `argc` and `argv` are the program's command line, of which only the
// program's name (argv[0]) reaches the toolkit: its other words are the
// program's own, and a word such as "-reverse" or "-platform" must not change
// the window. The toolkit still follows its environment (QT_QPA_PLATFORM...).
bool OpenApplication(int argc, char** argv, std::string& why);

// Deletes the QApplication that OpenApplication created, if any. The program
// calls it before it returns from its entry: a QApplication left to static
// destruction would outlive the toolkit's own statics.
void CloseApplication();

// Shows a MainWindow over `form`'s state and runs the event loop until the
// window is closed; then destroys the window, handing the controls back, and
// unloads the window object (frmMain::Unload). Needs a QApplication.
void RunMainWindow(frmMain& form);
