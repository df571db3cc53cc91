#include "capture/capture_flow.h"

#include <QScopeGuard>

#include <QCoreApplication>
#include <QFuture>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include "capture/capture_history.h"
#include "capture/pasteboard.h"
#include "capture/png_image.h"
#include "capture/screenshotter.h"
#include "capture/thumbnail_maker.h"
#include "core/seams.h"
#include "platform/platform.h"
#include "util/preferences.h"
#include "ui/upload_toast.h"
#include "util/log.h"
#include "util/trace.h"

namespace nimbo {

QString captureModeName(CaptureMode mode) {
  return mode == CaptureMode::clipboardOnly ? QStringLiteral("clipboardOnly")
                                            : QStringLiteral("uploadAndCopyURL");
}

namespace CaptureFlow {
namespace {

bool g_inProgress = false;
using Done = std::function<void()>;

void later(std::function<void()> fn) {
  QTimer::singleShot(0, QCoreApplication::instance(), std::move(fn));
}

void failureToast(const QString& message) { UploadToast::show(message, false); }

void showPermissionDialog() {
  if (seams().dialogs->screenCapturePermissionAlert())
    platform().workspace->openScreenCapturePrivacySettings();
}

// What the background part of a capture hands back to the main thread.
struct Encoded {
  enum class Failure { none, capture, encode } failure = Failure::none;
  QString error;
  QByteArray png;
  QByteArray thumbnail;
  qint64 width = 0, height = 0;
};

Encoded cropAndEncode(const QRectF& rect, const ScreenInfo& screen, const QImage& frozen) {
  Encoded out;
  std::optional<QImage> image;
  if (!frozen.isNull()) image = cropToSelection(frozen, screen, rect);
  if (!image) {
    // No frozen picture of this display: capture it afresh.
    Result<QImage> fresh = Screenshotter::captureRect(rect, screen);
    if (!fresh.ok()) {
      out.failure = Encoded::Failure::capture;
      out.error = fresh.error().description;
      return out;
    }
    image = fresh.value();
  }
  out.png = encodePng(*image);
  if (out.png.isEmpty()) {
    out.failure = Encoded::Failure::encode;
    return out;
  }
  out.thumbnail = ThumbnailMaker::pngData(*image, ThumbnailMaker::kMaxEdge).value_or(out.png);
  out.width = image->width();
  out.height = image->height();
  return out;
}

void deliver(CaptureMode mode, const CaptureItem& item, const QByteArray& png, Done done) {
  const QString id = item.id;
  if (mode == CaptureMode::clipboardOnly) {
    Pasteboard::writeImage(png);
    UploadToast::show(
        QStringLiteral("Copied to clipboard"), true, QStringLiteral("Upload & Copy Link"),
        [id] { later([id] { uploadRetroactively(id); }); }, QStringLiteral("Markup"),
        [id] { seams().editorHost->open(id); });
    return done();
  }
  UploadToast::show(QStringLiteral("Uploading…"), true);
  const Pasteboard::Dimensions dims = std::make_pair(item.width, item.height);
  seams().uploader->uploadImage(png, [png, id, dims, done](Result<QString> r) {
    if (r.ok()) {
      const QString url = r.value();
      Pasteboard::writeImageAndURL(png, url, dims);
      Preferences::setValue(Preferences::kLastShareURL, url);
      CaptureHistory::shared().updateShareURL(id, url);
      UploadToast::show("Copied: " + url, true);
    } else {
      // The image still reaches the clipboard; the record stays without a link.
      Pasteboard::writeImage(png);
      failureToast(r.error().description);
    }
    done();
  });
}

void perform(CaptureMode mode, const QRectF& rect, const ScreenInfo& screen,
             const FrozenImages& frozen, Done done) {
  auto it = frozen.find(screen.key);
  const QImage image = it != frozen.end() ? it->second : QImage();
  QtConcurrent::run(cropAndEncode, rect, screen, image)
      .then(QCoreApplication::instance(), [mode, done](Encoded e) {
        if (e.failure == Encoded::Failure::capture) {
          logLine("Screenshot: capture error: " + e.error);
          failureToast(e.error);
          return done();
        }
        if (e.failure == Encoded::Failure::encode) {
          failureToast(QStringLiteral("Failed to encode PNG"));
          return done();
        }
        // Back on the main thread, where the settings may be read.
        if (Preferences::boolValue(Preferences::kSoundOnCapture, true))
          platform().sound->play(QStringLiteral("screen-capture"));
        const CaptureItem item = CaptureItem::newImage(e.width, e.height);
        CaptureHistory::shared().add(item, e.png, e.thumbnail);
        deliver(mode, item, e.png, done);
      });
}

ScreenInfo chooseScreen(const std::vector<ScreenInfo>& screens) {
  const QPointF cursor = platform().screens->cursorPosition();
  for (const ScreenInfo& s : screens)
    // Frames are half-open like the platform's: a point on the right or top
    // edge belongs to the neighbour.
    if (cursor.x() >= s.frame.left() && cursor.x() < s.frame.right() &&
        cursor.y() >= s.frame.top() && cursor.y() < s.frame.bottom())
      return s;
  if (auto main = platform().screens->main()) return *main;
  return screens.front();
}

void runGuarded(CaptureMode mode, Done done) {
  if (!platform().screenCapture->preflightAccess()) {
    logLine(QStringLiteral(
        "Screenshot: Screen Recording permission NOT granted — showing Settings dialog"));
    showPermissionDialog();
    return done();
  }
  const std::vector<ScreenInfo> screens = platform().screens->list();
  if (screens.empty()) {
    // Nothing to draw an overlay on: the selection could never end.
    const QString message = description(ScreenshotError::noDisplay);
    logLine("Screenshot: freeze-screen capture failed: " + message);
    failureToast(message);
    return done();
  }
  const ScreenInfo chosen = chooseScreen(screens);
  std::vector<ScreenInfo> ordered{chosen};
  for (const ScreenInfo& s : screens)
    if (s.key != chosen.key) ordered.push_back(s);

  Screenshotter::captureAllDisplays({}).then(
      QCoreApplication::instance(), [mode, ordered, done](Result<FrozenImages> frozen) {
        if (!frozen.ok()) {
          logLine("Screenshot: freeze-screen capture failed: " + frozen.error().description);
          failureToast(frozen.error().description);
          return done();
        }
        trace::mark(QStringLiteral("frozen"));
        const std::optional<quint64> previous = platform().workspace->frontmostWindow();
        const FrozenImages images = frozen.value();
        seams().regionPresenter->present(
            ordered, images, [mode, images, previous, done](RegionSelection selection) {
              Workspace& ws = *platform().workspace;
              if (previous && !ws.isOwnWindow(*previous) && ws.windowExists(*previous))
                ws.activate(*previous);
              if (!selection.selected) {
                logLine(QStringLiteral("Screenshot: selection cancelled"));
                return done();
              }
              logLine(QStringLiteral("Screenshot: selection %1x%2 on %3")
                          .arg(qint64(selection.rect.width()))
                          .arg(qint64(selection.rect.height()))
                          .arg(selection.screen.name));
              perform(mode, selection.rect, selection.screen, images, done);
            });
      });
}

}  // namespace

bool captureInProgress() { return g_inProgress; }

void run(CaptureMode mode) {
  trace::start();
  logLine("Screenshot: CaptureFlow.run(mode: " + captureModeName(mode) + ") invoked");
  later([mode] {
    if (g_inProgress) {
      logLine(QStringLiteral("Screenshot: capture already in progress; ignoring hotkey"));
      return;
    }
    g_inProgress = true;
    runGuarded(mode, [] { g_inProgress = false; });
  });
}

void uploadRetroactively(const QString& id, std::function<void()> finished) {
  UploadToast::show(QStringLiteral("Uploading…"), true);
  CaptureHistory::shared().uploadExisting(id, [id, finished](Result<QString> r) {
    const auto report = qScopeGuard([&] {
      if (finished) finished();
    });
    if (!r.ok()) return failureToast(r.error().description);
    const QString url = r.value();
    Pasteboard::Dimensions dims;
    if (const CaptureItem* item = CaptureHistory::shared().find(id))
      dims = std::make_pair(item->width, item->height);
    Pasteboard::writeURL(url, dims);
    UploadToast::show("Copied: " + url, true);
  });
}

}  // namespace CaptureFlow
}  // namespace nimbo
