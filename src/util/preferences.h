#pragma once
#include <QObject>
#include <QString>
#include <QVariant>

class QSettings;

namespace nimbo {

// Tells the windows that show settings (the popover's link, the panes) that
// one changed, whoever changed it.
class PreferencesNotifier : public QObject {
  Q_OBJECT
 Q_SIGNALS:
  void changed(const QString& key);
};

// Typed access to the per-user settings file
// ($XDG_CONFIG_HOME/com.vantori.screenshot/settings.ini). Main thread only:
// every read and write; a use from another thread is logged (and stops a
// debug build).
namespace Preferences {

inline constexpr char kSoundOnCapture[] = "soundOnCapture";
inline constexpr char kMarkdownEmbedOnCopy[] = "markdownEmbedOnCopy";
inline constexpr char kLastShareURL[] = "lastShareURL";
inline constexpr char kUploadEndpoint[] = "uploadEndpoint";
inline constexpr char kShowInDock[] = "showInDock";
inline constexpr char kLaunchAtLogin[] = "launchAtLogin";
inline constexpr char kWelcomeAgreedAt[] = "nimbo.welcomeAgreedAt";
// Set once the note on binding our commands in the desktop's keyboard
// settings was shown (desktops that keep no shortcuts for applications).
inline constexpr char kShortcutCommandsNoteShown[] = "nimbo.shortcutCommandsNoteShown";

// The share server bundled with the app, on loopback.
inline constexpr char kDefaultUploadEndpoint[] = "http://127.0.0.1:8787/";
// Earlier builds pointed at "localhost", which resolves to ::1 first on many
// systems while the bundled server listens on 127.0.0.1 only.
inline constexpr char kLegacyUploadEndpoint[] = "http://localhost:8787/";

// Registers the default endpoint and moves a legacy endpoint to it.
void registerDefaults();

QSettings& store();
// A missing or non-boolean value reads as `fallback`.
bool boolValue(const QString& key, bool fallback);
// The stored text, else the registered default, else empty.
QString stringValue(const QString& key);
bool contains(const QString& key);
// Both write at once and then emit notifier().changed(key).
void setValue(const QString& key, const QVariant& value);
void remove(const QString& key);
PreferencesNotifier& notifier();
// Drops the cached store so the next access re-reads the file at the current
// $XDG_CONFIG_HOME (tests point it elsewhere between cases).
void resetForTesting();
// How often the settings were used off the main thread since the last reset
// (a debug build stops at the first).
int offThreadUsesForTesting();

}  // namespace Preferences
}  // namespace nimbo
