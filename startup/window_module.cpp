#include "startup/window_module.h"

#include <dlfcn.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/files.h"

namespace modMain {
namespace {

constexpr const char* kModuleName = "fetchwell-window.so";

struct Module {
  fetchwell_window_open_fn open = nullptr;
  fetchwell_window_report_fn report = nullptr;
  fetchwell_window_run_fn run = nullptr;
  bool opened = false;
};

Module& TheModule() {
  static Module module;
  return module;
}

// The application object keeps references to these for the program's life.
int g_argc = 0;
std::vector<std::string> g_arg_text;
std::vector<char*> g_argv;

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
  if (m.open == nullptr || m.report == nullptr || m.run == nullptr) {
    why = path + ": not a Fetchwell window module";
    m = Module{};
    dlclose(handle);
    return false;
  }

  g_arg_text.assign(argv, argv + argc);
  g_argv.clear();
  for (auto& word : g_arg_text) g_argv.push_back(word.data());
  g_argv.push_back(nullptr);
  g_argc = argc;

  char reason[512] = {};
  if (m.open(&g_argc, g_argv.data(), reason, sizeof reason) == 0) {
    why = reason;
    // The module stays loaded: Qt may have registered handlers that point into it.
    m = Module{};
    return false;
  }
  m.opened = true;
  return true;
}

void ReportErrorInBox(int number, const std::string& description) {
  const Module& m = TheModule();
  if (m.opened) {
    m.report(number, description.c_str());
  } else {
    std::fprintf(stderr, "fetchwell: error %d: %s\n", number, description.c_str());
  }
}

void RunWindow(frmMain& form) {
  const Module& m = TheModule();
  if (m.opened) m.run(&form);
}

}  // namespace modMain
