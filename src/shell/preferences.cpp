#include "shell/preferences.h"

#include <QSettings>

#include <map>
#include <memory>

#include "util/paths.h"

namespace nimbo::Preferences {
namespace {
std::unique_ptr<QSettings> g_store;
std::map<QString, QVariant>& registered() {
  static std::map<QString, QVariant> r;
  return r;
}
}

QSettings& store() {
  if (!g_store) {
    g_store = std::make_unique<QSettings>(paths::configDir() + "/settings.ini",
                                          QSettings::IniFormat);
  }
  return *g_store;
}

bool boolValue(const QString& key, bool fallback) {
  const QVariant v = store().value(key);
  if (!v.isValid()) return fallback;
  // INI stores booleans as text; accept only what a boolean was written as.
  const QString s = v.toString().trimmed().toLower();
  if (s == "true" || s == "1") return true;
  if (s == "false" || s == "0") return false;
  return fallback;
}

QString stringValue(const QString& key) {
  if (store().contains(key)) return store().value(key).toString();
  auto it = registered().find(key);
  return it != registered().end() ? it->second.toString() : QString();
}

void registerDefaults() {
  registered()[kUploadEndpoint] = QString::fromLatin1(kDefaultUploadEndpoint);
  if (!store().contains(kUploadEndpoint)) return;
  QString v = store().value(kUploadEndpoint).toString();
  // Only spaces and tabs are trimmed; the stored text is rewritten only when
  // it names the legacy server.
  while (!v.isEmpty() && (v.front() == ' ' || v.front() == '\t')) v.remove(0, 1);
  while (!v.isEmpty() && (v.back() == ' ' || v.back() == '\t')) v.chop(1);
  if (v == QLatin1String(kLegacyUploadEndpoint)) setValue(kUploadEndpoint, QString::fromLatin1(kDefaultUploadEndpoint));
}

bool contains(const QString& key) { return store().contains(key); }

void setValue(const QString& key, const QVariant& value) {
  store().setValue(key, value);
  store().sync();
}

void remove(const QString& key) {
  store().remove(key);
  store().sync();
}

void resetForTesting() {
  g_store.reset();
  registered().clear();
}

}  // namespace nimbo::Preferences
