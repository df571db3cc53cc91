#include "platform/fake/fake_platform.h"
#include "platform/qt_screen_info.h"

#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>

namespace nimbo::fake {

std::optional<ScreenInfo> FakeScreens::main() {
  for (const ScreenInfo& s : screens)
    if (mainKey && s.key == *mainKey) return s;
  return std::nullopt;
}

Result<ShareableContent> FakeScreenCapture::shareableContent() {
  ++contentQueries;
  return content;
}

Result<QImage> FakeScreenCapture::captureDisplay(const CapturableDisplay& display, QSize pixelSize,
                                                 const std::vector<quint32>&) {
  ++captures;
  if (declined) return Error{"declined", "capture", kUserDeclined};
  if (failing.count(display.displayID)) return Error{"device gone", "capture", -1};
  auto it = images.find(display.displayID);
  if (it == images.end()) return Error{"no image", "capture", -1};
  if (it->second.size() != pixelSize) return it->second.scaled(pixelSize);
  return it->second;
}

FakePlatform installFakes() {
  auto p = std::make_unique<Platform>();
  FakePlatform f{};
  p->screens.reset(f.screens = new FakeScreens);
  p->screenCapture.reset(f.capture = new FakeScreenCapture);
  p->clipboard.reset(f.clipboard = new FakeClipboard);
  p->sound.reset(f.sound = new FakeSound);
  p->workspace.reset(f.workspace = new FakeWorkspace);
  p->media.reset(f.media = new FakeMedia);
  p->secrets.reset(f.secrets = new FakeSecretStore);
  p->screenStreams.reset(f.streams = new FakeScreenStreams);
  p->audioCapture.reset(f.audio = new FakeAudioCapture);
  p->cameras.reset(f.cameras = new FakeCameraService);
  p->notifications.reset(f.notifications = new FakeNotifications);
  installPlatform(std::move(p));
  return f;
}

namespace {

// Something recognisable to select from: a gradient, a grid and a label.
QImage demoPicture(QSize pixels, const QString& label) {
  QImage img(pixels, QImage::Format_RGB32);
  QPainter p(&img);
  QLinearGradient g(0, 0, pixels.width(), pixels.height());
  g.setColorAt(0, QColor(32, 64, 112));
  g.setColorAt(1, QColor(200, 120, 60));
  p.fillRect(img.rect(), g);
  p.setPen(QColor(255, 255, 255, 60));
  for (int x = 0; x < pixels.width(); x += 64) p.drawLine(x, 0, x, pixels.height());
  for (int y = 0; y < pixels.height(); y += 64) p.drawLine(0, y, pixels.width(), y);
  p.setPen(Qt::white);
  QFont f = p.font();
  f.setPixelSize(std::max(12, pixels.height() / 20));
  p.setFont(f);
  p.drawText(img.rect(), Qt::AlignCenter, label);
  return img;
}

}  // namespace

FakePlatform installDemo() {
  FakePlatform f = installFakes();
  std::vector<ScreenInfo> screens = qtScreenInfos();
  if (screens.empty()) return f;
  quint32 id = 1;
  for (ScreenInfo& info : screens) {
    info.displayId = id;
    const QSize pixels = (info.frame.size() * info.scale).toSize();
    // Each screen keeps its origin in pixels, as on X11.
    const QPoint origin(int(info.frame.x()), int(primaryScreenBottom() - info.frame.bottom()));
    f.screens->screens.push_back(info);
    f.capture->content.displays.push_back({id, QRect(origin, pixels)});
    f.capture->images[id] = demoPicture(pixels, QStringLiteral("In-memory display %1 (%2)").arg(id).arg(info.name));
    f.streams->displays[id] = QRect(QPoint(0, 0), pixels);
    ++id;
  }
  f.screens->mainKey = reinterpret_cast<quintptr>(QGuiApplication::primaryScreen());
  f.screens->cursor = f.screens->screens.front().frame.center();
  f.audio->mics = {{QStringLiteral("demo-mic"), QStringLiteral("Demo microphone")}};
  f.audio->defaultMic = f.audio->mics.front();
  return f;
}

}  // namespace nimbo::fake
