#include "util/preferences.h"

#include <QCoreApplication>
#include <QSettings>
#include <QThread>

#include <atomic>

#include <map>
#include <memory>

#include "util/log.h"
#include "util/paths.h"

namespace nimbo::Preferences {
namespace {
std::unique_ptr<QSettings> g_store;
std::map<QString, QVariant>& registered() {
  static std::map<QString, QVariant> r;
  return r;
}

std::atomic<int> g_offThread{0};

// QSettings is not to be shared between threads, and the main thread writes
// it: work for other threads reads what it needs before it is dispatched.
void checkThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() == app->thread()) return;
  if (g_offThread++ == 0) logLine(QStringLiteral("Nimbo: settings used off the main thread"));
  Q_ASSERT_X(false, "Preferences", "settings used off the main thread");
}

}  // namespace

int offThreadUsesForTesting() { return g_offThread; }

QSettings& store() {
  checkThread();
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
  Q_EMIT notifier().changed(key);
}

void remove(const QString& key) {
  store().remove(key);
  store().sync();
  Q_EMIT notifier().changed(key);
}

PreferencesNotifier& notifier() {
  static PreferencesNotifier n;
  return n;
}

void resetForTesting() {
  g_offThread = 0;
  g_store.reset();
  registered().clear();
}

}  // namespace nimbo::Preferences
