#pragma once
#include <QString>
#include <QVariant>

class QSettings;

namespace nimbo {

// Typed access to the per-user settings file
// ($XDG_CONFIG_HOME/com.vantori.screenshot/settings.ini). Main thread only.
namespace Preferences {

inline constexpr char kSoundOnCapture[] = "soundOnCapture";
inline constexpr char kMarkdownEmbedOnCopy[] = "markdownEmbedOnCopy";
inline constexpr char kLastShareURL[] = "lastShareURL";
inline constexpr char kUploadEndpoint[] = "uploadEndpoint";

QSettings& store();
// A missing or non-boolean value reads as `fallback`.
bool boolValue(const QString& key, bool fallback);
QString stringValue(const QString& key);
bool contains(const QString& key);
void setValue(const QString& key, const QVariant& value);
void remove(const QString& key);
// Drops the cached store so the next access re-reads the file at the current
// $XDG_CONFIG_HOME (tests point it elsewhere between cases).
void resetForTesting();

}  // namespace Preferences
}  // namespace nimbo
