#pragma once
// The platform on Wayland sessions: what X11 lets any client do (read the
// screen, grab keys, list windows) goes through the desktop portals here.
#include <QImage>
#include <QRect>
#include <QString>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/linux/freedesktop/desktop_services.h"
#include "platform/platform.h"

namespace nimbo {

// One output as the compositor lays it out: logical (scaled) coordinates,
// as Qt reports them on Wayland.
struct OutputPlacement {
  quint32 displayID = 0;
  QString name;
  QRect logical;
  double scale = 1;
};

// Where `output` lies in a picture of the whole layout `shotSize` pixels
// large: the portal's picture spans the outputs' bounding box at one scale
// (the largest output scale with wlroots, the stage's own with GNOME).
QRect outputRectInShot(const QRect& output, const std::vector<OutputPlacement>& layout, QSize shotSize);

// The outputs as Qt sees them now, numbered 1… in Qt's order. Main thread.
std::vector<OutputPlacement> currentOutputs();

// Screenshots through the Screenshot portal: one picture of the whole
// desktop serves every display of a freeze; each display's part is cut out
// and brought to its own pixel size.
class PortalScreenCapture : public ScreenCaptureService {
 public:
  bool preflightAccess() override { return true; }  // the portal asks the user itself
  Result<ShareableContent> shareableContent() override;
  Result<QImage> captureDisplay(const CapturableDisplay& display, QSize pixelSize,
                                const std::vector<quint32>& excludedWindows) override;

 private:
  struct Shot {
    bool done = false;
    std::optional<Error> error;
    QImage image;
    std::vector<OutputPlacement> layout;
    std::set<quint32> served;
  };
  std::shared_ptr<Shot> shotFor(quint32 displayID);
  void take(const std::shared_ptr<Shot>& shot);
  std::mutex mutex_;
  std::condition_variable changed_;
  std::shared_ptr<Shot> current_;
};

// Wayland lets no client look at or raise another's windows.
class WaylandWorkspace : public FreedesktopWorkspace {
 public:
  std::optional<quint64> frontmostWindow() override { return std::nullopt; }
  bool isOwnWindow(quint64) override { return false; }
  bool windowExists(quint64) override { return false; }
  void activate(quint64) override {}
  // Taskbars on Wayland list every toplevel; there is no hint to leave one out.
  void setTaskbarPresence(quint64, bool) override {}
  bool compositingActive() override { return true; }  // every Wayland compositor composites
};

}  // namespace nimbo
