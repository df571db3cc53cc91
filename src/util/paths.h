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
// A folder only this user can enter, for files handed to other applications
// (the clipboard's PNG copies): $XDG_RUNTIME_DIR/com.vantori.screenshot when
// the runtime folder is ours, else $XDG_CACHE_HOME/com.vantori.screenshot/tmp.
// Made (0700) or tightened here; never a symbolic link or another user's
// folder. Empty when neither can be had.
QString privateTempDir();

}  // namespace nimbo::paths
