#include "platform/linux/x11/display_loss.h"

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <cstdlib>
#include <unistd.h>

// Last: Xlib defines macros that clash with Qt's names.
#include <X11/Xlib.h>

namespace nimbo {
namespace {

std::function<void()> g_onLost;
std::atomic<bool> g_lost{false};
QtMessageHandler g_previous = nullptr;

void lost() {
  if (g_lost.exchange(true) || !g_onLost) return;
  g_onLost();
  // The handler is meant to end the process; make sure of it.
  ::_exit(1);
}

// Qt's xcb and wayland plugins report a broken connection with these texts
// and then call exit(1) themselves.
void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (g_previous) g_previous(type, context, message);
  else ::fprintf(stderr, "%s\n", qPrintable(message));
  if (message.startsWith(QLatin1String("The X11 connection broke")) ||
      message.startsWith(QLatin1String("The Wayland connection broke")))
    lost();
}

// Xlib (used by Qt for GLX and by some libraries we load) calls exit(1)
// after this handler returns, so it does not return.
int xlibIoError(Display*) {
  lost();
  ::_exit(1);
}

}  // namespace

void watchForDisplayLoss(std::function<void()> onLost) {
  g_onLost = std::move(onLost);
  g_previous = qInstallMessageHandler(messageHandler);
  XSetIOErrorHandler(xlibIoError);
}

}  // namespace nimbo
