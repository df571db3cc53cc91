#pragma once
// The share server bundled with the app, for the default loopback endpoint.
// Before anything is sent to it, the server answering there must prove that
// it is this user's own and serves this user's data folder: it holds the key
// in <data>/share-server/identity (readable by the user alone) and answers a
// fresh challenge with an HMAC of it. Another user's server on the default
// port (or one serving another data folder) gets nothing; ours is started on
// a free port instead and used for the rest of the session.
#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

namespace nimbo::BundledServer {

// Whether `url` is on the default endpoint's host and port.
bool isDefaultEndpoint(const QUrl& url);
// The server's data folder: $XDG_DATA_HOME/com.vantori.screenshot/share-server.
QString dataDir();
// What our server answers to `nonce` when it listens on `port`.
QByteArray expectedProof(const QByteArray& key, const QByteArray& nonce, int port);

// Finds this user's own server (on the default port, or the one started
// earlier on another port), starting it when none answers; `done` runs on
// the main thread with its port, or nothing (the reason is logged). The
// server must prove itself again for every call.
void ensure(std::function<void(std::optional<int> port)> done);
// The server that was found stopped answering: look again next time.
void forget();

}  // namespace nimbo::BundledServer
