#pragma once
#include <QString>
class QWidget;

namespace nimbo::AppVisibility {

// Taskbar presence of the app's windows follows "showInDock" (off by default:
// the app lives in the tray).
void applyDockVisibility();
bool showsInTaskbar();
// Applies the current taskbar presence to one window once it is shown.
void applyTo(QWidget* window);

// Launch at login through an XDG autostart entry, following "launchAtLogin".
void applyLaunchAtLogin();
QString autostartPath();

}  // namespace nimbo::AppVisibility
