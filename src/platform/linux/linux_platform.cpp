#include "platform/linux/linux_platform.h"


#include "platform/linux/ffmpeg/ffmpeg_camera.h"
#include "platform/linux/ffmpeg/ffmpeg_video_reader.h"
#include "platform/linux/freedesktop/canberra_sound.h"
#include "platform/linux/freedesktop/secret_service_store.h"
#include "platform/linux/qt_screens.h"
#include "platform/linux/x11/x11_grabber.h"
#include "platform/linux/x11/x11_screen_capture.h"
#include "platform/linux/x11/x11_screen_stream.h"
#include "platform/linux/pulse/pulse_audio.h"
#include "util/log.h"

namespace nimbo {

std::unique_ptr<Platform> makeLinuxPlatform(QString* error) {
  std::string why;
  std::shared_ptr<x11::Grabber> x = x11::Grabber::open(nullptr, &why);
  if (!x) {
    if (error) *error = QString::fromStdString(why);
    return nullptr;
  }
  auto capture = std::make_unique<X11ScreenCapture>(x);
  X11ScreenCapture* cap = capture.get();
  auto p = std::make_unique<Platform>();
  p->screens = std::make_unique<QtScreens>([cap](const QString& name) { return cap->displayIdForName(name); });
  p->screenCapture = std::move(capture);
  p->clipboard = std::make_unique<QtClipboard>();
  p->sound = std::make_unique<CanberraSound>();
  p->workspace = std::make_unique<X11Workspace>(x);
  p->media = std::make_unique<FfmpegVideoReader>();
  p->secrets = std::make_unique<SecretServiceStore>();
  p->screenStreams = std::make_unique<X11ScreenStreams>(x);
  p->audioCapture = std::make_unique<PulseAudioCapture>();
  p->cameras = std::make_unique<FfmpegCameraService>();
  return p;
}

}  // namespace nimbo
