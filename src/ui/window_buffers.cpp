#include "ui/window_buffers.h"

#include <QApplication>
#include <QBackingStore>
#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>

namespace nimbo::WindowBuffers {
namespace {

class Releaser : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() != QEvent::Hide || !watched->isWidgetType()) return false;
    auto* w = static_cast<QWidget*>(watched);
    if (!w->isWindow()) return false;
    // After the hide is done: a window hidden and shown again within one
    // turn of the event loop keeps its buffer.
    QTimer::singleShot(0, w, [w] {
      QBackingStore* store = w->backingStore();
      if (w->isVisible() || !store || store->size().width() * store->size().height() <= 1) return;
      store->resize(QSize(1, 1));
    });
    return false;
  }
};

}  // namespace

void releaseWhenHidden() {
  static QPointer<Releaser> releaser;
  if (releaser || !qApp) return;
  releaser = new Releaser(qApp);
  qApp->installEventFilter(releaser);
}

}  // namespace nimbo::WindowBuffers
