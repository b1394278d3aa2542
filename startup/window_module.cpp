#include "startup/window_module.h"

namespace modMain {

// The window module is not built yet: every attempt to show the window fails.
bool OpenWindowModule(int, char**, std::string& why) {
  why = "the window is not available in this build";
  return false;
}

void ReportErrorInBox(int, const std::string&) {}

void RunWindow(frmMain&) {}

}  // namespace modMain
