#include "platform/linux/freedesktop/secret_service_store.h"

#include <libsecret/secret.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "util/log.h"
#include "util/paths.h"

namespace nimbo {
namespace {

// Matched on the two attributes only, like any generic password, so
// `secret-tool lookup service … account …` finds it.
const SecretSchema* schema() {
  static const SecretSchema s = {
      "com.vantori.screenshot.Secret",
      SECRET_SCHEMA_DONT_MATCH_NAME,
      {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, {}}},
      0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  return &s;
}

QString take(GError* e) {
  const QString m = e ? QString::fromUtf8(e->message) : QString();
  if (e) g_error_free(e);
  return m;
}

}  // namespace

QString SecretServiceStore::fallbackPath(const QString& service, const QString& account) {
  return paths::configDir() + "/secrets/" + service + "." + account;
}

bool SecretServiceStore::serviceAvailable() {
  if (available_) return *available_;
  // Only an existing, unlocked default keyring is used: anything else would
  // make the Secret Service ask the user for a new keyring password, which
  // blocks the call until someone answers.
  QString why;
  GError* error = nullptr;
  SecretService* svc = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
  why = take(error);
  if (svc) {
    SecretCollection* c = secret_collection_for_alias_sync(svc, SECRET_COLLECTION_DEFAULT,
                                                           SECRET_COLLECTION_NONE, nullptr, &error);
    why = take(error);
    if (!c && why.isEmpty()) why = QStringLiteral("no default keyring");
    if (c && secret_collection_get_locked(c)) why = QStringLiteral("the default keyring is locked");
    if (c) g_object_unref(c);
    g_object_unref(svc);
  }
  available_ = why.isEmpty();
  if (!*available_)
    logLine("Nimbo: no Secret Service (" + why + "); keeping the device token in a private file under " +
            paths::configDir());
  return *available_;
}

std::optional<QByteArray> SecretServiceStore::read(const QString& service, const QString& account) {
  if (!serviceAvailable()) {
    QFile f(fallbackPath(service, account));
    if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
    return f.readAll();
  }
  GError* error = nullptr;
  gchar* pw = secret_password_lookup_sync(schema(), nullptr, &error, "service", service.toUtf8().constData(),
                                          "account", account.toUtf8().constData(), nullptr);
  take(error);
  if (!pw) return std::nullopt;
  QByteArray value(pw);
  secret_password_free(pw);
  return value;
}

SecretStore::Status SecretServiceStore::update(const QString& service, const QString& account,
                                               const QByteArray& value) {
  if (!read(service, account)) return Status::notFound;
  return add(service, account, value);
}

SecretStore::Status SecretServiceStore::add(const QString& service, const QString& account,
                                            const QByteArray& value) {
  if (!serviceAvailable()) {
    const QString path = fallbackPath(service, account);
    QDir().mkpath(QFileInfo(path).path());
    QFile::setPermissions(QFileInfo(path).path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                      QFileDevice::ExeOwner);
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return Status::failed;
    // Private before the secret goes in.
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    f.write(value);
    return f.commit() ? Status::ok : Status::failed;
  }
  GError* error = nullptr;
  // Storing with the same attributes replaces the item in place.
  const gboolean ok = secret_password_store_sync(
      schema(), SECRET_COLLECTION_DEFAULT, "Nimbo upload device token", value.constData(), nullptr, &error,
      "service", service.toUtf8().constData(), "account", account.toUtf8().constData(), nullptr);
  take(error);
  return ok ? Status::ok : Status::failed;
}

}  // namespace nimbo
