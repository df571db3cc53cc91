#pragma once
// A ScreenCast session of the desktop portal: the user (or a restore token
// from an earlier choice) picks a monitor or a window, and the portal hands
// over a PipeWire node showing it.
#include <QPoint>
#include <QSize>
#include <QString>

#include <vector>

#include "platform/platform.h"

namespace nimbo::ScreenCastPortal {

enum class Source { monitor = 1, window = 2 };

struct Request {
  Source source = Source::monitor;
  bool embedCursor = true;
  // From an earlier session: the portal may restore that choice without
  // asking. Empty: the user chooses.
  QString restoreToken;
  bool persist = true;  // ask for a token that restores this choice
};

struct Stream {
  quint32 node = 0;
  std::optional<QPoint> position;  // in the compositor's layout, when the portal says
  std::optional<QSize> size;       // likewise
  QString id;                      // the portal's name for it, when it gives one
};

struct Session {
  QString handle;  // the Session object; Close ends the cast
  int pipeWireFd = -1;  // ours to close
  std::vector<Stream> streams;
  QString restoreToken;  // single-use: keep the newest
};

// The whole exchange (CreateSession, SelectSources, Start,
// OpenPipeWireRemote); `done` runs once, on the main thread, which this is
// called on. permissionDenied when the user cancelled.
void openAsync(const Request& request, std::function<void(Result<Session>)> done);
// The same, waited for: the user may be looking at the desktop's chooser.
// Any thread.
Result<Session> open(const Request& request);
// Another PipeWire connection to a started session (the first one was
// handed on and closed). Ours to close. Any thread.
Result<int> pipeWireRemote(const QString& sessionHandle);
// Ends the cast. Any thread.
void close(const QString& sessionHandle);
// Which cursor modes the portal offers (bit 1 hidden, 2 embedded, 4 metadata).
uint availableCursorModes();

}  // namespace nimbo::ScreenCastPortal
