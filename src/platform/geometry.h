#pragma once
// The one place where rectangles change orientation. The logic works in
// global points with the origin at the bottom-left of the primary screen and
// y up; Qt, X11 and images count from the top-left, y down.
#include <QRectF>

namespace nimbo::geometry {

// A desktop rectangle between the two orientations, about the primary
// screen's bottom edge (`primaryBottom`, in top-left points). Its own inverse.
inline QRectF flipY(const QRectF& r, double primaryBottom) {
  return QRectF(r.x(), primaryBottom - (r.y() + r.height()), r.width(), r.height());
}

// A rectangle in a screen's own top-left points (a window covering it, its
// picture before scaling) as global y-up points, given the screen's y-up frame.
inline QRectF screenToGlobal(const QRectF& local, const QRectF& screenFrame) {
  return QRectF(screenFrame.x() + local.x(), screenFrame.y() + screenFrame.height() - local.bottom(), local.width(),
                local.height());
}

// The reverse: global y-up points in the screen's own top-left points.
inline QRectF globalToScreen(const QRectF& global, const QRectF& screenFrame) {
  return QRectF(global.x() - screenFrame.x(), screenFrame.y() + screenFrame.height() - (global.y() + global.height()),
                global.width(), global.height());
}

}  // namespace nimbo::geometry
