#pragma once
#include <QString>

namespace nimbo::paths {

inline constexpr char kAppId[] = "com.vantori.screenshot";

// $XDG_DATA_HOME/com.vantori.screenshot (history, originals, thumbnails,
// recordings). Falls back to the temporary folder when no data home can be
// found. Not created here.
QString appSupportDir();
// $XDG_CONFIG_HOME/com.vantori.screenshot (the settings file).
QString configDir();
// $XDG_CONFIG_HOME itself (~/.config), home of the autostart folder.
QString configHome();
// $TMPDIR, or /tmp.
QString tempDir();

}  // namespace nimbo::paths
