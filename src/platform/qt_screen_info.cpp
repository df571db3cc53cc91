#include "platform/qt_screen_info.h"

#include <QGuiApplication>
#include <QScreen>

#include "platform/geometry.h"

namespace nimbo {

double primaryScreenBottom() {
  QScreen* p = QGuiApplication::primaryScreen();
  if (!p) return 0;
  const QRect g = p->geometry();
  return g.y() + g.height();
}

std::vector<ScreenInfo> qtScreenInfos() {
  std::vector<ScreenInfo> out;
  const double bottom = primaryScreenBottom();
  for (QScreen* s : QGuiApplication::screens()) {
    ScreenInfo info;
    info.key = reinterpret_cast<quintptr>(s);
    info.name = s->name();
    info.frame = geometry::flipY(QRectF(s->geometry()), bottom);
    info.scale = s->devicePixelRatio();
    out.push_back(info);
  }
  return out;
}

}  // namespace nimbo
