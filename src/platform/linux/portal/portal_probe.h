#pragma once
// Whether the desktop portal answers on the session bus, asked before Qt
// starts (the answer decides which Qt platform plugin to load). Kept free of
// Qt: GLib's headers and Qt's keywords do not mix.
#include <string>

namespace nimbo::PortalProbe {

// True when org.freedesktop.portal.Desktop (started on demand by the bus)
// has `interfaceName` with a version; `why` says what failed otherwise.
bool answers(const std::string& interfaceName, int timeoutMs, std::string* why);

}  // namespace nimbo::PortalProbe
