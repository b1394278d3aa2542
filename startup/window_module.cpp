#include "startup/window_module.h"

#include <dlfcn.h>

#include <string>

#include "platform/error.h"
#include "platform/files.h"
#include "ui/window/module.h"

namespace modMain {
namespace {

constexpr const char* kModuleName = "fetchwell-window.so";

struct Module {
  fetchwell_window_open_fn open = nullptr;
  fetchwell_window_report_fn report = nullptr;
  fetchwell_window_run_fn run = nullptr;
  fetchwell_window_close_fn close = nullptr;
  bool opened = false;
};

Module& TheModule() {
  static Module module;
  return module;
}

}  // namespace

bool OpenWindowModule(int argc, char** argv, std::string& why) {
  Module& m = TheModule();
  if (m.opened) return true;

  std::string path;
  try {
    path = fw::ProgramFolder() + "/" + kModuleName;
  } catch (const fw::Error& error) {
    why = "cannot find the program's folder: " + error.Description();
    return false;
  }
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    why = reason ? std::string(reason) : path + ": cannot be loaded";
    return false;
  }
  m.open = reinterpret_cast<fetchwell_window_open_fn>(dlsym(handle, "fetchwell_window_open"));
  m.report = reinterpret_cast<fetchwell_window_report_fn>(dlsym(handle, "fetchwell_window_report"));
  m.run = reinterpret_cast<fetchwell_window_run_fn>(dlsym(handle, "fetchwell_window_run"));
  m.close = reinterpret_cast<fetchwell_window_close_fn>(dlsym(handle, "fetchwell_window_close"));
  if (m.open == nullptr || m.report == nullptr || m.run == nullptr || m.close == nullptr) {
    why = path + ": not a Fetchwell window module";
    m = Module{};
    dlclose(handle);
    return false;
  }

  char reason[512] = {};
  if (m.open(argc, argv, reason, sizeof reason) == 0) {
    why = reason;
    // The module stays loaded: Qt may have registered handlers that point into it.
    m = Module{};
    return false;
  }
  m.opened = true;
  return true;
}

bool ReportErrorInBox(int number, const std::string& description) {
  const Module& m = TheModule();
  return m.opened && m.report(number, description.c_str()) != 0;
}

void RunWindow(frmMain& form) {
  const Module& m = TheModule();
  if (m.opened) m.run(&form);
}

void CloseWindowModule() {
  const Module& m = TheModule();
  if (m.opened) m.close();
}

}  // namespace modMain
