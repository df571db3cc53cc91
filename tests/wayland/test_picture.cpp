// Known pictures for the Wayland tests: one full-screen window on every output
// painted with noise of its own (any offset or scaling shows), the same picture
// written as OUTPUT_NAME.png into FOLDER. --animate moves a bar across it, for
// compositors that send a screen cast frame only when something changes.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRasterWindow>
#include <QScreen>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

QImage noise(QSize size, quint32 seed) {
  QImage image(size, QImage::Format_RGB32);
  quint32 s = seed * 2654435761u + 1;
  for (int y = 0; y < size.height(); ++y) {
    auto* row = reinterpret_cast<quint32*>(image.scanLine(y));
    for (int x = 0; x < size.width(); ++x) {
      s ^= s << 13, s ^= s >> 17, s ^= s << 5;
      row[x] = 0xff000000u | (s & 0xffffffu);
    }
  }
  return image;
}

class Picture : public QRasterWindow {
 public:
  Picture(QImage image, bool animated) : image_(std::move(image)) {
    if (animated) startTimer(33);
  }

 protected:
  void timerEvent(QTimerEvent*) override {
    ++tick_;
    update();
  }
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.drawImage(QPoint(0, 0), image_);
    if (tick_ >= 0) p.fillRect((tick_ * 8) % std::max(1, width()), 0, 40, height(), Qt::white);
  }

 private:
  QImage image_;
  int tick_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  const bool animated = argc == 3 && QByteArray(argv[2]) == "--animate";
  if (argc != 2 && !animated) return std::fprintf(stderr, "usage: %s FOLDER [--animate]\n", argv[0]), 2;
  std::vector<std::unique_ptr<Picture>> windows;
  for (QScreen* screen : QGuiApplication::screens()) {
    const qreal dpr = screen->devicePixelRatio();
    QImage image = noise(screen->geometry().size() * dpr, quint32(windows.size() + 1));
    image.save(QDir(QString::fromLocal8Bit(argv[1])).filePath(screen->name() + ".png"));
    image.setDevicePixelRatio(dpr);
    auto& w = windows.emplace_back(std::make_unique<Picture>(image, animated));
    w->setTitle(QStringLiteral("nimbo-picture ") + screen->name());
    w->setScreen(screen);
    w->setGeometry(screen->geometry());
    w->showFullScreen();
  }
  // Shown and painted by then; the compositor has had its frames.
  QTimer::singleShot(1500, [] {
    std::puts("ready");
    std::fflush(stdout);
  });
  return app.exec();
}
