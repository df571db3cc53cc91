#pragma once
#include <QString>

namespace nimbo::DesktopEntries {

// The "Name" of the installed application whose .desktop entry matches a
// window's WM_CLASS (its StartupWMClass, or the entry's file name), looked
// up in $XDG_DATA_HOME and $XDG_DATA_DIRS; empty when none does.
QString nameForWindowClass(const QString& instance, const QString& windowClass);

}  // namespace nimbo::DesktopEntries
