#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/linux/freedesktop/desktop_services.h"
#include "platform/platform.h"

namespace nimbo::x11 {
class Grabber;
}

namespace nimbo {

// Screen capture on X11: RandR monitors are the displays, and a display is a
// MIT-SHM grab of its rectangle of the root window.
class X11ScreenCapture : public ScreenCaptureService {
 public:
  explicit X11ScreenCapture(std::shared_ptr<x11::Grabber> grabber);
  bool preflightAccess() override;
  Result<ShareableContent> shareableContent() override;
  Result<QImage> captureDisplay(const CapturableDisplay& display, QSize pixelSize,
                                const std::vector<quint32>& excludedWindows) override;
  // The display number of the monitor named `name` ("DP-1"), if any.
  std::optional<quint32> displayIdForName(const QString& name);

 private:
  std::shared_ptr<x11::Grabber> grabber_;
};

class X11Workspace : public FreedesktopWorkspace {
 public:
  explicit X11Workspace(std::shared_ptr<x11::Grabber> connection);
  std::optional<quint64> frontmostWindow() override;
  bool isOwnWindow(quint64 window) override;
  bool windowExists(quint64 window) override;
  void activate(quint64 window) override;
  void setTaskbarPresence(quint64 window, bool shown) override;
  bool compositingActive() override;

 private:
  void sendToWindowManager(quint64 window, const char* type, std::array<uint32_t, 5> data);
  std::shared_ptr<x11::Grabber> x_;
};

}  // namespace nimbo
