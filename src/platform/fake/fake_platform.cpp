#include "platform/fake/fake_platform.h"

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
  p->uploader.reset(f.uploader = new FakeUploader);
  p->editorHost.reset(f.editor = new FakeEditorHost);
  p->regionPresenter.reset(f.presenter = new FakeRegionPresenter);
  p->dialogs.reset(f.dialogs = new FakeDialogs);
  p->screenStreams.reset(f.streams = new FakeScreenStreams);
  p->audioCapture.reset(f.audio = new FakeAudioCapture);
  installPlatform(std::move(p));
  return f;
}

}  // namespace nimbo::fake
