#pragma once
// Global shortcuts through the desktop portal's GlobalShortcuts interface
// (xdg-desktop-portal): the desktop grabs the keys and tells us when one of
// ours is pressed. One session at a time; offering a new set replaces it.
#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <vector>

#include "platform/platform.h"

namespace nimbo {

class PortalGlobalShortcuts : public QObject, public SystemShortcuts {
  Q_OBJECT
 public:
  // `answerMs` bounds the portal's answer to creating a session; binding
  // may wait on the user in a dialog of the desktop's, so it gets `userMs`.
  explicit PortalGlobalShortcuts(int answerMs = 30000, int userMs = 300000);
  ~PortalGlobalShortcuts() override;  // closes the session

  void bind(std::vector<Binding> bindings, std::function<void(Result<std::vector<QString>>)> done) override;

  // The session our shortcuts live in; empty before the portal made one.
  QString sessionHandle() const { return session_; }

  // Whether the portal on the session bus has the GlobalShortcuts interface.
  static bool available(int timeoutMs = 5000);

 private Q_SLOTS:
  void sessionCreated(uint code, const QVariantMap& results);
  void shortcutsBound(uint code, const QVariantMap& results);
  void activatedSignal(const QDBusObjectPath& session, const QString& id, qulonglong timestamp,
                       const QVariantMap& options);

 private:
  using Done = std::function<void(Result<std::vector<QString>>)>;
  // Listens for the Response on the Request object a call with `token` gets.
  QString listen(const QString& token, const char* slot);
  void stopListening();
  void closeSession();
  void finish(Result<std::vector<QString>> result);
  void bindInSession();
  void call(const QString& method, const QList<QVariant>& arguments, const QString& expectedRequest,
            const char* slot);

  int answerMs_, userMs_;
  std::vector<Binding> bindings_;
  Done done_;
  QString session_;
  QString request_;  // the Request object we listen on, if any
  QTimer timeout_;
};

}  // namespace nimbo
