#include "shell/preferences.h"

#include <QSettings>

#include <memory>

#include "util/paths.h"

namespace nimbo::Preferences {
namespace {
std::unique_ptr<QSettings> g_store;
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

QString stringValue(const QString& key) { return store().value(key).toString(); }

bool contains(const QString& key) { return store().contains(key); }

void setValue(const QString& key, const QVariant& value) {
  store().setValue(key, value);
  store().sync();
}

void remove(const QString& key) {
  store().remove(key);
  store().sync();
}

void resetForTesting() { g_store.reset(); }

}  // namespace nimbo::Preferences
