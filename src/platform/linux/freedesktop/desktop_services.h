#pragma once
// What the desktop itself offers: its settings pages and its file manager.
#include <QString>

namespace nimbo::DesktopServices {

// GNOME's settings panel `gnomePanel`, else KDE's System Settings with
// `kdeModule` (none: its start page); nothing where neither is installed.
void openSettings(const QString& gnomePanel, const QString& kdeModule);
// The file selected in the file manager (org.freedesktop.FileManager1);
// without one, its folder opened. False when only the folder could be.
bool revealFile(const QString& path);

}  // namespace nimbo::DesktopServices
