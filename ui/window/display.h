// Whether a window can be shown at all, decided from the environment alone,
// before the window toolkit tries to connect to anything. No Qt here.
#pragma once

#include <string>

// Why no window can be shown, or "" when the toolkit may try. `qpa_platform`
// is QT_QPA_PLATFORM, `display` DISPLAY and `wayland_display` WAYLAND_DISPLAY
// (each nullptr when unset). A platform that draws without a display server
// (offscreen, minimal, vnc, linuxfb, eglfs...) named anywhere in
// QT_QPA_PLATFORM's list always may; otherwise DISPLAY or WAYLAND_DISPLAY must
// be set and not empty.
std::string MissingDisplayReason(const char* qpa_platform, const char* display,
                                 const char* wayland_display);

// MissingDisplayReason for this process's environment.
std::string MissingDisplayReason();
