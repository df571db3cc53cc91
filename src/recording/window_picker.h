#pragma once
// Picking a window to record: every screen is covered by a click-catching
// overlay, the window under the pointer is highlighted, and a click reports
// it (right click or Escape cancels).
#include <QImage>
#include <QRect>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

#include "platform/platform.h"

namespace nimbo::WindowPicker {

struct Choice {
  quint32 windowID = 0;
  QString title;
  QString appName;
  QRect frame;                 // global points, top-left origin
  std::optional<QImage> icon;  // the application's, 16 x 16 points
  bool operator==(const Choice&) const = default;
};

// Nothing: cancelled.
using Completion = std::function<void(std::optional<Choice>)>;

// Starts picking; `completion` runs once, on a later turn of the event loop.
// A second pick replaces the first, whose completion is dropped.
void pick(Completion completion);
// The candidates, front to back, frames in global points.
std::vector<Choice> availableWindows();
// A window's pixel frame in Qt's global points.
QRect pointsFromPixels(const QRect& pixels);

// The window under a point is highlighted; a click picks it, cancel ends.
void hoverAt(const QPoint& globalPoint);
void click();
void cancel();

}  // namespace nimbo::WindowPicker
