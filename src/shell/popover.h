#pragma once
// The window a left click on the tray icon opens: quick actions, the six
// newest captures, the last link, settings and quit. A frameless popup at the
// pointer (tray hosts speaking StatusNotifierItem tell nobody where their
// icon is), closed by Escape or a click elsewhere. Main thread.
#include <QPoint>
#include <QRect>
#include <QSize>

#include <functional>

class QWidget;

namespace nimbo {

namespace Popover {

// Opens the popover at `pointer` (global, Qt's coordinates), or closes it
// when it is open.
void toggleAt(const QPoint& pointer);
void showAt(const QPoint& pointer);
void hide();
bool isVisible();
// The popover's window, made on first use.
QWidget* window();

// Where a popover of `size` opens for a click at `pointer`: centred under it,
// or above it when the work area `available` has no room below (a tray at
// the bottom), and never outside `available`.
QRect placement(const QSize& size, const QPoint& pointer, const QRect& available);

}  // namespace Popover

// The popover's content, following the history, the last link and the
// recording. `leave` runs before an action takes the user elsewhere (the
// popover closes then). For the window above, and for tests and pictures.
QWidget* makePopoverContent(QWidget* parent, std::function<void()> leave);

}  // namespace nimbo
