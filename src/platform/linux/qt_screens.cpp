#include "platform/linux/qt_screens.h"
#include "platform/qt_screen_info.h"

#include <QClipboard>
#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

namespace nimbo {
std::vector<ScreenInfo> QtScreens::list() {
  std::vector<ScreenInfo> out = qtScreenInfos();
  if (lookup_)
    for (ScreenInfo& info : out) info.displayId = lookup_(info.name);
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
  return QPointF(p.x(), primaryScreenBottom() - p.y() - 1);
}

void QtClipboard::setMimeData(QMimeData* data) {
  QGuiApplication::clipboard()->setMimeData(data, QClipboard::Clipboard);
}

}  // namespace nimbo
