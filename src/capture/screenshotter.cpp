#include "capture/screenshotter.h"
#include "platform/geometry.h"

#include <QtConcurrent/QtConcurrentMap>
#include <QtConcurrent/QtConcurrentRun>

#include <chrono>
#include <cmath>
#include <mutex>

namespace nimbo {

QString description(ScreenshotError e) {
  switch (e) {
    case ScreenshotError::permissionDenied:
      return QStringLiteral(
          "Screen Recording permission is required. Enable it in System Settings and try again.");
    case ScreenshotError::captureFailed:
      return QStringLiteral("Failed to capture screen.");
    case ScreenshotError::noDisplay:
      return QStringLiteral("Couldn't find a display for the selection.");
  }
  return {};
}

Error toError(ScreenshotError e) { return Error{description(e)}; }

namespace Screenshotter {
namespace {

using Clock = std::chrono::steady_clock;

struct Cache {
  std::mutex mutex;
  std::optional<ShareableContent> content;
  Clock::time_point cachedAt = Clock::time_point::min();
};

Cache& cache() {
  static Cache c;
  return c;
}

}  // namespace

Result<ShareableContent> shareableContent(bool fresh) {
  Cache& c = cache();
  // Held across the query: concurrent freezes of several displays then share
  // one answer instead of each asking the server.
  std::lock_guard lock(c.mutex);
  if (!fresh && c.content && Clock::now() - c.cachedAt < std::chrono::milliseconds(2000))
    return *c.content;
  Result<ShareableContent> r = platform().screenCapture->shareableContent();
  if (r.ok()) {
    c.content = r.value();
    c.cachedAt = Clock::now();
  }
  return r;
}

void resetCacheForTesting() {
  Cache& c = cache();
  std::lock_guard lock(c.mutex);
  c.content.reset();
  c.cachedAt = Clock::time_point::min();
}

Result<QImage> captureFullDisplay(const ScreenInfo& screen, const WindowIDs& excluding) {
  Result<ShareableContent> content = shareableContent(!excluding.empty());
  if (!content.ok()) return content.error();
  if (!screen.displayId) return toError(ScreenshotError::noDisplay);
  const CapturableDisplay* display = nullptr;
  for (const CapturableDisplay& d : content.value().displays)
    if (d.displayID == *screen.displayId) { display = &d; break; }
  if (!display) return toError(ScreenshotError::noDisplay);

  std::vector<quint32> windows;
  for (const CapturableWindow& w : content.value().windows)
    if (excluding.count(w.windowID)) windows.push_back(w.windowID);

  // X11 reports displays in device pixels already, so the output is the
  // display's own pixel size whatever fractional scale the toolkit applies.
  Result<QImage> image =
      platform().screenCapture->captureDisplay(*display, display->pixelRect.size(), windows);
  if (!image.ok()) {
    return toError(image.error().code == ScreenCaptureService::kUserDeclined
                       ? ScreenshotError::permissionDenied
                       : ScreenshotError::captureFailed);
  }
  return image;
}

QFuture<Result<FrozenImages>> captureAllDisplays(const WindowIDs& excluding) {
  using Pair = std::pair<quintptr, Result<QImage>>;
  const std::vector<ScreenInfo> screens = platform().screens->list();
  QList<ScreenInfo> list(screens.begin(), screens.end());
  return QtConcurrent::mapped(list, [excluding](const ScreenInfo& s) {
           return Pair(s.key, captureFullDisplay(s, excluding));
         })
      .then([](QFuture<Pair> f) -> Result<FrozenImages> {
        FrozenImages table;
        for (const Pair& p : f.results()) {
          if (!p.second.ok()) return p.second.error();
          table[p.first] = p.second.value();
        }
        return table;
      });
}

Result<QImage> captureRect(const QRectF& rect, const ScreenInfo& screen) {
  Result<QImage> full = captureFullDisplay(screen, {});
  if (!full.ok()) return full;
  std::optional<QImage> cut = cropToSelection(full.value(), screen, rect);
  if (!cut) return toError(ScreenshotError::captureFailed);
  return *cut;
}

QFuture<Result<QImage>> capture(const QRectF& rect, const ScreenInfo& screen) {
  return QtConcurrent::run(captureRect, rect, screen);
}

}  // namespace Screenshotter

std::optional<QImage> cropToSelection(const QImage& display, const ScreenInfo& screen,
                                      const QRectF& r) {
  const QRectF& f = screen.frame;
  const double s = screen.scale;
  const QRectF local = geometry::globalToScreen(r, f);
  const double x = local.x() * s;
  const double yFromTop = local.y() * s;
  // Like a bitmap crop: the rectangle is widened to whole pixels, then clipped
  // to the image.
  const int x0 = int(std::floor(x)), y0 = int(std::floor(yFromTop));
  const int x1 = int(std::ceil(x + r.width() * s)), y1 = int(std::ceil(yFromTop + r.height() * s));
  const QRect px = QRect(QPoint(x0, y0), QPoint(x1 - 1, y1 - 1)).intersected(display.rect());
  if (px.isEmpty()) return std::nullopt;
  return display.copy(px);
}

}  // namespace nimbo
