#include "platform/linux/linux_platform.h"

#include <QMessageBox>
#include <QPushButton>

#include "capture/region_selector.h"
#include "editor/editor_window.h"
#include "platform/linux/ffmpeg/ffmpeg_video_reader.h"
#include "platform/linux/freedesktop/canberra_sound.h"
#include "platform/linux/freedesktop/secret_service_store.h"
#include "sharing/share_uploader.h"
#include "platform/linux/qt_screens.h"
#include "platform/linux/x11/x11_grabber.h"
#include "platform/linux/x11/x11_screen_capture.h"
#include "platform/linux/x11/x11_screen_stream.h"
#include "platform/linux/pulse/pulse_audio.h"
#include "util/log.h"

namespace nimbo {
namespace {

class MessageBoxDialogs : public Dialogs {
 public:
  bool screenCapturePermissionAlert() override {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Nimbo"),
                    QStringLiteral("Screen Recording permission needed"));
    box.setInformativeText(QStringLiteral(
        "If Settings already shows Nimbo toggled on, the grant is for a previous build. In "
        "Terminal, run:\n\n  make reset-permissions\n\nfrom the mac-app/ directory. Then quit "
        "Nimbo and relaunch it — Linux will ask fresh."));
    QPushButton* open = box.addButton(QStringLiteral("Open System Settings"), QMessageBox::AcceptRole);
    box.addButton(QStringLiteral("Close"), QMessageBox::RejectRole);
    box.activateWindow();
    box.exec();
    return box.clickedButton() == open;
  }

  EditorCloseChoice editorClosePrompt(QWidget* window) override {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Nimbo"), QStringLiteral("Save your edits before closing?"),
                    QMessageBox::NoButton, window);
    box.setWindowModality(Qt::WindowModal);
    box.setInformativeText(QStringLiteral(
        "You can replace the original capture, save your annotated version as a new capture, or discard the "
        "changes entirely."));
    // One role for all four keeps them in this order whatever the desktop's
    // button layout.
    QPushButton* save = box.addButton(QStringLiteral("Save"), QMessageBox::ActionRole);
    QPushButton* saveAsNew = box.addButton(QStringLiteral("Save as New"), QMessageBox::ActionRole);
    QPushButton* cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::ActionRole);
    QPushButton* discard = box.addButton(QStringLiteral("Discard"), QMessageBox::ActionRole);
    box.setDefaultButton(save);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == save) return EditorCloseChoice::save;
    if (box.clickedButton() == saveAsNew) return EditorCloseChoice::saveAsNew;
    if (box.clickedButton() == discard) return EditorCloseChoice::discard;
    return EditorCloseChoice::cancel;
  }
};

}  // namespace

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
  p->uploader = std::make_unique<ShareUploader>();
  p->editorHost = std::make_unique<WindowEditorHost>();
  p->regionPresenter = std::make_unique<OverlayRegionPresenter>();
  p->dialogs = std::make_unique<MessageBoxDialogs>();
  p->screenStreams = std::make_unique<X11ScreenStreams>(x);
  p->audioCapture = std::make_unique<PulseAudioCapture>();
  return p;
}

}  // namespace nimbo
