// Known pictures for the Wayland tests: one full-screen window on every
// output, painted pixel for pixel with noise of its own (any offset or
// scaling shows), and the same picture written as OUTPUT_NAME.png into the
// folder given, for the tests to compare against.
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
  explicit Picture(QImage image) : image_(std::move(image)) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.drawImage(QPoint(0, 0), image_);
  }

 private:
  QImage image_;
};

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const QDir dir(QString::fromLocal8Bit(argv[1]));
  std::vector<std::unique_ptr<Picture>> windows;
  quint32 seed = 1;
  for (QScreen* screen : QGuiApplication::screens()) {
    const qreal dpr = screen->devicePixelRatio();
    QImage image = noise(screen->geometry().size() * dpr, seed++);
    image.save(dir.filePath(screen->name() + ".png"));
    image.setDevicePixelRatio(dpr);
    auto w = std::make_unique<Picture>(image);
    w->setTitle(QStringLiteral("nimbo-picture ") + screen->name());
    w->setScreen(screen);
    w->setGeometry(screen->geometry());
    w->showFullScreen();
    windows.push_back(std::move(w));
  }
  // Shown and painted by then; the compositor has had its frames.
  QTimer::singleShot(1500, [] {
    std::printf("ready\n");
    std::fflush(stdout);
  });
  return app.exec();
}
