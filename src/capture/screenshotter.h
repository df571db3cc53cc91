#pragma once
#include <QFuture>
#include <QImage>
#include <QRectF>

#include <optional>
#include <set>

#include "core/seams.h"
#include "platform/platform.h"

namespace nimbo {

enum class ScreenshotError { permissionDenied, captureFailed, noDisplay };
QString description(ScreenshotError e);
Error toError(ScreenshotError e);

// Freezes displays and captures regions through the platform's capture
// service. The functions may be called from any thread; captureAllDisplays
// and capture(screenRect:on:) must be started on the main thread because
// they read the screen list.
namespace Screenshotter {

using WindowIDs = std::set<quint32>;

QFuture<Result<FrozenImages>> captureAllDisplays(const WindowIDs& excludingWindowIDs);
Result<QImage> captureFullDisplay(const ScreenInfo& screen, const WindowIDs& excludingWindowIDs);
QFuture<Result<QImage>> capture(const QRectF& screenRect, const ScreenInfo& screen);
// The same, on the calling thread.
Result<QImage> captureRect(const QRectF& screenRect, const ScreenInfo& screen);

// The list of displays and windows, reused for 2 seconds unless `fresh`.
Result<ShareableContent> shareableContent(bool fresh);
void resetCacheForTesting();

}  // namespace Screenshotter

// Cuts a selection (global points) out of a display image, clipped to the
// image. Nothing when the rectangle misses the image.
std::optional<QImage> cropToSelection(const QImage& display, const ScreenInfo& screen,
                                      const QRectF& selection);

}  // namespace nimbo
