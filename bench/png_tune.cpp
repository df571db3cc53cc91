// Measures the PNG writer's settings on a real screenshot: time and size for
// each filter, zlib level, strategy and thread count, beside Qt's own writer.
//   build/png_tune shot.png
#include <QCoreApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QImage>

#include <cstdio>

#include "capture/png_writer.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: png_tune IMAGE\n");
    return 2;
  }
  const QImage img = QImage(argv[1]).convertToFormat(QImage::Format_RGB32);
  if (img.isNull()) return 1;
  std::printf("%dx%d\n%-8s %5s %4s %7s %9s %12s\n", img.width(), img.height(), "filter", "level", "rle",
              "threads", "ms(best)", "bytes");
  const char* names[] = {"none", "sub", "up", "average", "paeth"};
  auto measure = [&](nimbo::png::Options o) {
    double best = 1e9;
    size_t bytes = 0;
    for (int i = 0; i < 5; ++i) {
      QElapsedTimer t;
      t.start();
      auto out = nimbo::png::encode(img.constBits(), img.width(), img.height(), int(img.bytesPerLine()), true, o);
      best = std::min(best, t.nsecsElapsed() / 1e6);
      bytes = out.size();
    }
    std::printf("%-8s %5d %4s %7d %9.1f %12zu\n", names[int(o.filter)], o.level, o.rle ? "yes" : "no", o.threads,
                best, bytes);
  };
  for (int f : {0, 1, 2, 4})
    for (int level : {1, 2, 3, 6})
      for (bool rle : {false, true}) {
        if (rle && level != 1) continue;  // RLE ignores the level's search depth
        nimbo::png::Options o;
        o.filter = nimbo::png::Filter(f);
        o.level = level;
        o.rle = rle;
        o.threads = 2;
        measure(o);
      }
  nimbo::png::Options d;
  d.threads = 1;
  measure(d);
  QElapsedTimer t;
  t.start();
  QBuffer buf;
  buf.open(QIODevice::WriteOnly);
  img.save(&buf, "PNG");
  std::printf("%-8s %5s %4s %7d %9.1f %12lld\n", "Qt", "-", "-", 1, t.nsecsElapsed() / 1e6, buf.size());
  return 0;
}
