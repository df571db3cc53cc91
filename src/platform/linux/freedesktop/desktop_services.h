#pragma once
// What the desktop itself offers: its settings pages and its file manager.
#include <QString>

#include "platform/platform.h"

namespace nimbo::DesktopServices {

// GNOME's settings panel `gnomePanel`, else KDE's System Settings with
// `kdeModule` (none: its start page); nothing where neither is installed.
void openSettings(const QString& gnomePanel, const QString& kdeModule);
// The file selected in the file manager (org.freedesktop.FileManager1);
// without one, its folder opened. False when only the folder could be.
bool revealFile(const QString& path);

}  // namespace nimbo::DesktopServices

namespace nimbo {

// What every desktop session offers the same way, X11 or Wayland: links,
// settings pages and the file manager. The window calls are the session's.
class FreedesktopWorkspace : public Workspace {
 public:
  void openUrl(const QUrl& url) override;
  void openScreenCapturePrivacySettings() override;
  void openDeviceSettings(bool camera) override;
  void revealFile(const QString& path) override;
};

}  // namespace nimbo
