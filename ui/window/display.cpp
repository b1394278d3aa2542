#include "ui/window/display.h"

#include <cstdlib>
#include <string_view>

namespace {

bool IsSet(const char* value) {
  return value != nullptr && *value != '\0';
}

// The platform plugins that need no X11 or Wayland server.
bool DrawsWithoutDisplay(std::string_view platform) {
  for (std::string_view name :
       {"offscreen", "minimal", "minimalegl", "vnc", "linuxfb", "eglfs", "vkkhrdisplay"}) {
    if (platform == name) return true;
  }
  return false;
}

}  // namespace

std::string MissingDisplayReason(const char* qpa_platform, const char* display,
                                 const char* wayland_display) {
  if (IsSet(qpa_platform)) {
    // "name:option=value;fallback:..." : a ";" list of plugins, each with options.
    std::string_view list = qpa_platform;
    while (!list.empty()) {
      const auto end = list.find(';');
      std::string_view entry = list.substr(0, end);
      if (DrawsWithoutDisplay(entry.substr(0, entry.find(':')))) return "";
      if (end == std::string_view::npos) break;
      list.remove_prefix(end + 1);
    }
  }
  if (IsSet(display) || IsSet(wayland_display)) return "";
  return "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)";
}

std::string MissingDisplayReason() {
  return MissingDisplayReason(std::getenv("QT_QPA_PLATFORM"), std::getenv("DISPLAY"),
                              std::getenv("WAYLAND_DISPLAY"));
}
