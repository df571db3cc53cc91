#include "platform/linux/qt_screens.h"
#include "platform/geometry.h"

#include <QClipboard>
#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

namespace nimbo {
namespace {

// The bottom edge of the primary screen in Qt's top-left space is y = 0 of
// the y-up space.
qreal primaryBottom() {
  QScreen* p = QGuiApplication::primaryScreen();
  if (!p) return 0;
  const QRect g = p->geometry();
  return g.y() + g.height();
}

}  // namespace

std::vector<ScreenInfo> QtScreens::list() {
  std::vector<ScreenInfo> out;
  const qreal bottom = primaryBottom();
  for (QScreen* s : QGuiApplication::screens()) {
    const QRect g = s->geometry();
    ScreenInfo info;
    info.key = reinterpret_cast<quintptr>(s);
    info.name = s->name();
    info.frame = geometry::flipY(QRectF(g), bottom);
    info.scale = s->devicePixelRatio();
    if (lookup_) info.displayId = lookup_(s->name());
    out.push_back(info);
  }
  return out;
}

std::optional<ScreenInfo> QtScreens::main() {
  QScreen* p = QGuiApplication::primaryScreen();
  if (!p) return std::nullopt;
  for (const ScreenInfo& s : list())
    if (s.key == reinterpret_cast<quintptr>(p)) return s;
  return std::nullopt;
}

QPointF QtScreens::cursorPosition() {
  const QPoint p = QCursor::pos();
  return QPointF(p.x(), primaryBottom() - p.y() - 1);
}

void QtClipboard::setMimeData(QMimeData* data) {
  QGuiApplication::clipboard()->setMimeData(data, QClipboard::Clipboard);
}

}  // namespace nimbo
