#include "recording/camera_preview.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <algorithm>

#include "platform/platform.h"

namespace nimbo {
namespace {

class BubbleWindow : public QWidget {
 public:
  BubbleWindow(Camera* camera, int size)
      : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                             Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput),
        camera_(camera) {
    setWindowTitle(QStringLiteral("Nimbo camera"));
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(size, size);
    // The camera keeps only its newest frame; 30 looks a second are plenty.
    refresh_.setInterval(33);
    QObject::connect(&refresh_, &QTimer::timeout, this, [this] { update(); });
    refresh_.start();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF circle = QRectF(rect()).adjusted(1, 1, -1, -1);
    QPainterPath clip;
    clip.addEllipse(circle);
    const QImage frame = camera_ ? camera_->latestFrame() : QImage();
    p.save();
    p.setClipPath(clip);
    if (frame.isNull()) {
      p.fillRect(rect(), QColor(20, 20, 22));
    } else {
      // Mirrored, filling the circle, the middle of the frame kept.
      const QImage mirrored = frame.mirrored(true, false);
      const qreal scale = qreal(width()) / std::min(mirrored.width(), mirrored.height());
      const QSizeF scaled = QSizeF(mirrored.size()) * scale;
      p.drawImage(QRectF(QPointF((width() - scaled.width()) / 2, (height() - scaled.height()) / 2), scaled), mirrored);
    }
    p.restore();
    p.setPen(QPen(QColor::fromRgbF(0.792156862745098f, 0.9607843137254902f, 0.30196078431372547f, 0.85f), 2));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(circle);
  }

 private:
  Camera* camera_;
  QTimer refresh_;
};

QPointer<QWidget> g_bubble;

}  // namespace

namespace CameraPreviewBubble {

void show(Camera* camera, QScreen* screen) {
  hide();
  if (!screen) screen = QGuiApplication::primaryScreen();
  const QRect frame = screen ? screen->geometry() : QRect(0, 0, 800, 600);
  const int m = std::min(frame.width(), frame.height());
  const int size = int(0.22 * m), margin = int(0.03 * m);
  auto* w = new BubbleWindow(camera, size);
  w->move(frame.left() + margin, frame.bottom() + 1 - margin - size);
  w->show();
  g_bubble = w;
}

void hide() {
  if (g_bubble) g_bubble->close();
  g_bubble = nullptr;
}

QWidget* panel() { return g_bubble; }

}  // namespace CameraPreviewBubble
}  // namespace nimbo
