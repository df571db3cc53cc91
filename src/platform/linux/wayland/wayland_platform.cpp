#include "platform/linux/wayland/wayland_platform.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QScreen>
#include <QThread>

#include <chrono>

#include "platform/linux/portal/portal_screenshot.h"

namespace nimbo {

QRect outputRectInShot(const QRect& output, const std::vector<OutputPlacement>& layout, QSize shotSize) {
  QRect box;
  for (const OutputPlacement& o : layout) box |= o.logical;
  if (box.isEmpty() || shotSize.isEmpty()) return {};
  const double fx = double(shotSize.width()) / box.width();
  const double fy = double(shotSize.height()) / box.height();
  const QPoint origin = output.topLeft() - box.topLeft();
  const int x0 = int(std::lround(origin.x() * fx)), y0 = int(std::lround(origin.y() * fy));
  const int x1 = int(std::lround((origin.x() + output.width()) * fx));
  const int y1 = int(std::lround((origin.y() + output.height()) * fy));
  return QRect(QPoint(x0, y0), QPoint(x1 - 1, y1 - 1)).intersected(QRect(QPoint(0, 0), shotSize));
}

std::vector<OutputPlacement> currentOutputs() {
  std::vector<OutputPlacement> out;
  quint32 id = 1;
  for (QScreen* s : QGuiApplication::screens())
    out.push_back({id++, s->name(), s->geometry(), s->devicePixelRatio()});
  return out;
}

namespace {

// Runs `f` on the main thread and waits for it; directly when already there.
template <typename F>
void onMainThread(F f) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() == app->thread()) return f();
  QMetaObject::invokeMethod(app, f, Qt::BlockingQueuedConnection);
}

}  // namespace

Result<ShareableContent> PortalScreenCapture::shareableContent() {
  std::vector<OutputPlacement> outputs;
  onMainThread([&] { outputs = currentOutputs(); });
  ShareableContent content;
  for (const OutputPlacement& o : outputs) {
    const QRect pixels(int(std::lround(o.logical.x() * o.scale)), int(std::lround(o.logical.y() * o.scale)),
                       int(std::lround(o.logical.width() * o.scale)), int(std::lround(o.logical.height() * o.scale)));
    content.displays.push_back({o.displayID, pixels});
  }
  // Wayland has no list of other clients' windows.
  return content;
}

std::shared_ptr<PortalScreenCapture::Shot> PortalScreenCapture::shotFor(quint32 displayID) {
  std::unique_lock lock(mutex_);
  // One picture serves each display once: the displays of one freeze share
  // it, the next freeze (asking for a display again) takes a new one.
  if (current_ && !current_->served.count(displayID)) {
    current_->served.insert(displayID);
    return current_;
  }
  auto shot = std::make_shared<Shot>();
  shot->served.insert(displayID);
  current_ = shot;
  lock.unlock();
  take(shot);
  return shot;
}

void PortalScreenCapture::take(const std::shared_ptr<Shot>& shot) {
  auto finish = [this, shot](Result<QImage> r) {
    std::vector<OutputPlacement> layout = currentOutputs();
    {
      std::lock_guard lock(mutex_);
      if (r.ok()) shot->image = r.value().convertToFormat(QImage::Format_RGB32);
      else shot->error = r.error();
      shot->layout = std::move(layout);
      shot->done = true;
    }
    changed_.notify_all();
  };
  QCoreApplication* app = QCoreApplication::instance();
  if (app && QThread::currentThread() == app->thread()) {
    // Asked on the main thread: the portal's answer arrives through this
    // thread's event loop, so wait in a local one.
    QEventLoop loop;
    PortalScreenshot::take([&](Result<QImage> r) {
      finish(std::move(r));
      loop.quit();
    });
    std::unique_lock lock(mutex_);
    if (!shot->done) {
      lock.unlock();
      loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    return;
  }
  QMetaObject::invokeMethod(app, [finish] { PortalScreenshot::take(finish); }, Qt::QueuedConnection);
}

Result<QImage> PortalScreenCapture::captureDisplay(const CapturableDisplay& display, QSize pixelSize,
                                                   const std::vector<quint32>& excludedWindows) {
  // The portal's picture cannot leave windows out; screenshots never ask.
  Q_UNUSED(excludedWindows);
  std::shared_ptr<Shot> shot = shotFor(display.displayID);
  std::unique_lock lock(mutex_);
  // The user may be looking at the desktop's consent dialog.
  if (!changed_.wait_for(lock, std::chrono::minutes(2), [&] { return shot->done; }))
    return platformError(PlatformErrorCode::failed, QStringLiteral("the screenshot portal did not answer"));
  if (shot->error) {
    if (isPlatformError(*shot->error, PlatformErrorCode::permissionDenied))
      return Error{shot->error->description, QStringLiteral("capture"), ScreenCaptureService::kUserDeclined};
    return *shot->error;
  }
  const OutputPlacement* output = nullptr;
  for (const OutputPlacement& o : shot->layout)
    if (o.displayID == display.displayID) output = &o;
  if (!output) return platformError(PlatformErrorCode::noDisplay, QStringLiteral("the display is gone"));
  const QRect part = outputRectInShot(output->logical, shot->layout, shot->image.size());
  if (part.isEmpty()) return platformError(PlatformErrorCode::failed, QStringLiteral("the portal's picture is empty"));
  QImage image = shot->image.copy(part);
  if (pixelSize.isValid() && pixelSize != image.size())
    return image.scaled(pixelSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  return image;
}

}  // namespace nimbo
