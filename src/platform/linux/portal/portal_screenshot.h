#pragma once
// A still of the whole desktop through the desktop portal's Screenshot
// interface (xdg-desktop-portal), the way in on Wayland sessions.
#include <QImage>

#include <functional>

#include "platform/platform.h"

namespace nimbo::PortalScreenshot {

// Asks for a screenshot without the portal's own dialog where the desktop
// allows it; `done` runs on the calling (main) thread with the picture, or
// a platform error: permissionDenied when the user or the desktop said no,
// failed otherwise. The file the portal writes for us is removed once read.
void take(std::function<void(Result<QImage>)> done, int timeoutMs = 30000);

// Whether a portal with the Screenshot interface answers on the session bus.
bool available();

}  // namespace nimbo::PortalScreenshot
