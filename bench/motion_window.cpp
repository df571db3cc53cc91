// A full-screen picture that changes completely every frame (a scrolling
// test pattern at 60 fps), so a recorder has no idle frames to skip.
#include <QApplication>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QWidget>

class Motion : public QWidget {
 public:
  Motion() : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint) {
    const QRect g = QGuiApplication::primaryScreen()->geometry();
    setGeometry(g);
    // Twice as wide as the screen, so any shift still covers it.
    tile_ = QImage(g.width() * 2, g.height(), QImage::Format_RGB32);
    for (int y = 0; y < tile_.height(); ++y) {
      auto* row = reinterpret_cast<QRgb*>(tile_.scanLine(y));
      for (int x = 0; x < tile_.width(); ++x) row[x] = qRgb((x * 3 + y) & 255, (x ^ y) & 255, (x / 7 + y / 5) * 9 & 255);
    }
    connect(&timer_, &QTimer::timeout, this, [this] {
      shift_ = (shift_ + 23) % width();
      repaint();
    });
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.start(16);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.drawImage(0, 0, tile_, shift_, 0, width(), height());
  }

 private:
  QImage tile_;
  QTimer timer_;
  int shift_ = 0;
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  Motion m;
  m.show();
  return app.exec();
}
