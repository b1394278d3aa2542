// The window module's entry points (declared in startup/window_module.h). The
// window object's code is not in this module: it is resolved from the
// executable that loads it. Nothing here prints: a report the module cannot
// show goes back to the executable, which prints it.
#include <QApplication>
#include <cstdio>
#include <string>

#include "ui/window/application.h"
#include "ui/window/error_box.h"
#include "ui/window/module.h"

#define FETCHWELL_EXPORT __attribute__((visibility("default")))

extern "C" FETCHWELL_EXPORT int fetchwell_window_open(int argc, char** argv, char* why,
                                                      unsigned long why_size) {
  std::string reason;
  if (OpenApplication(argc, argv, reason)) return 1;
  if (why_size > 0) std::snprintf(why, why_size, "%s", reason.c_str());
  return 0;
}

extern "C" FETCHWELL_EXPORT int fetchwell_window_report(int number, const char* description) {
  if (QApplication::instance() == nullptr) return 0;
  ShowErrorBox(nullptr, number, description);
  return 1;
}

extern "C" FETCHWELL_EXPORT void fetchwell_window_run(frmMain* form) {
  RunMainWindow(*form);
}

extern "C" FETCHWELL_EXPORT void fetchwell_window_close() {
  CloseApplication();
}
