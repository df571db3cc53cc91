#pragma once
#include "platform/platform.h"

namespace nimbo {

// The keyring through the freedesktop Secret Service (gnome-keyring, KWallet's
// bridge, KeePassXC) via libsecret. Where no Secret Service answers, secrets
// live in a file readable by the user alone under the settings folder, so
// uploads still work on minimal desktops.
class SecretServiceStore : public SecretStore {
 public:
  std::optional<QByteArray> read(const QString& service, const QString& account) override;
  Status update(const QString& service, const QString& account, const QByteArray& value) override;
  Status add(const QString& service, const QString& account, const QByteArray& value) override;

  static QString fallbackPath(const QString& service, const QString& account);

 private:
  bool serviceAvailable();
  std::optional<bool> available_;
};

}  // namespace nimbo
