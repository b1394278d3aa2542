// The standard error report as a line: "fetchwell: error <number>:
// <description>". It is printed here and nowhere else, whether the error ended
// a run without the window or the window could not show its box.
#pragma once

#include <string>

namespace modMain {

// Writes "fetchwell: error <number>: <description>" and a newline on `fd`, with
// the description's control bytes escaped (EscapeControls), so that a file
// name or server text in it cannot move the cursor or change the terminal.
// Write errors are ignored; nothing here raises.
void PrintError(int fd, int number, const std::string& description);

}  // namespace modMain
