#pragma once
#include <QString>
#include <memory>

#include "platform/platform.h"

namespace nimbo {

enum class SessionKind { x11, wayland };

// Which platform this session gets, decided before Qt starts:
// NIMBO_PLATFORM=x11 or =wayland forces one; otherwise Wayland when
// WAYLAND_DISPLAY is set and the desktop portal answers, X11 (which on a
// Wayland desktop means XWayland) when not. `why` says why X11 was chosen on
// a Wayland session.
SessionKind chooseSession(QString* why = nullptr);

// The Qt platform plugin for a session.
const char* qtPlatformFor(SessionKind kind);

// The registry filled with the real Linux services. Nothing, with the
// reason in `error`, when the display cannot be reached.
std::unique_ptr<Platform> makeLinuxPlatform(SessionKind kind, QString* error);

}  // namespace nimbo
