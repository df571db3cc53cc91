// `nimbo screenshot` on a Wayland session: the Screenshot portal's picture
// of the whole desktop, cut the same way the X11 one-shot cuts the root
// window. Pixels are the picture's: each output at the picture's scale.
#include <QGuiApplication>
#include <QImage>
#include <QTimer>

#include <optional>

#include "app/one_shot.h"
#include "capture/png_writer.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/portal/portal_screenshot.h"
#include "platform/linux/wayland/wayland_platform.h"

extern "C" __attribute__((visibility("default"))) int nimbo_portal_one_shot(int argc, char** argv,
                                                                            int (*x11OneShot)(int, char**)) {
  using namespace nimbo;
  using namespace nimbo::one_shot;
  Request request;
  if (std::string e = parse(argc, argv, &request); !e.empty()) return fail(e);
  QString why;
  if (chooseSession(&why) == SessionKind::x11) {
    if (!why.isEmpty()) std::fprintf(stderr, "nimbo screenshot: using X11: %s\n", qPrintable(why));
    return x11OneShot(argc, argv);
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "wayland");
  QGuiApplication app(argc, argv);
  std::optional<Result<QImage>> shot;
  QTimer::singleShot(0, &app, [&] {
    PortalScreenshot::take([&](Result<QImage> r) {
      shot = std::move(r);
      app.quit();
    });
  });
  app.exec();
  if (!shot || !shot->ok()) return fail(shot ? shot->error().description.toStdString() : "no picture");
  const QImage image = shot->value().convertToFormat(QImage::Format_RGB32);

  const std::vector<OutputPlacement> layout = currentOutputs();
  std::vector<Monitor> monitors;
  for (const OutputPlacement& o : layout) {
    const QRect r = outputRectInShot(o.logical, layout, image.size());
    monitors.push_back({o.name.toStdString(), {r.x(), r.y(), r.width(), r.height()}});
  }
  Area a;
  if (std::string e = resolve(request, image.width(), image.height(), monitors, &a); !e.empty()) return fail(e);
  const QImage part = image.copy(a.x, a.y, a.width, a.height);
  return write(request.output, png::encode(part.constBits(), part.width(), part.height(), int(part.bytesPerLine()),
                                           /*opaque=*/true));
}
