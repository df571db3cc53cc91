// Flattening a 5K capture under 100 annotations, and baking a blur over the
// whole of it: the editor's two heaviest steps. Prints milliseconds (best and
// median of several runs) and writes the flattened PNG for comparisons.
//   editor_bench [RUNS] [OUT.png]
#include <QGuiApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "editor/canvas.h"
#include "editor/renderer.h"

using namespace nimbo;

namespace {

QImage capture(int w, int h) {
  // Something like a desktop: gradients, panels and text.
  QImage img(w, h, QImage::Format_RGB32);
  QPainter p(&img);
  QLinearGradient g(0, 0, w, h);
  g.setColorAt(0, QColor(30, 60, 110));
  g.setColorAt(1, QColor(200, 120, 60));
  p.fillRect(img.rect(), g);
  for (int i = 0; i < 40; ++i) {
    p.fillRect(QRect((i * 397) % w, (i * 211) % h, 600, 400), QColor::fromHsv((i * 37) % 360, 80, 230));
    p.setPen(Qt::black);
    p.setFont(QFont("DejaVu Sans", 14));
    for (int l = 0; l < 20; ++l)
      p.drawText((i * 397) % w + 10, (i * 211) % h + 20 + l * 18, "The quick brown fox jumps over the lazy dog");
  }
  return img;
}

double ms(const QElapsedTimer& t) { return t.nsecsElapsed() / 1e6; }

struct Stat {
  double best, median;
};
template <typename F>
Stat measure(int runs, F&& f) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    QElapsedTimer t;
    t.start();
    f();
    times.push_back(ms(t));
  }
  std::sort(times.begin(), times.end());
  return {times.front(), times[times.size() / 2]};
}

QString rgb(const QColor& c) { return QStringLiteral("'rgb(%1,%2,%3)'").arg(c.red()).arg(c.green()).arg(c.blue()); }

// The same drawing as an ImageMagick draw script (y down), blur patches as
// files beside it, so the other tool paints the same work.
void writeMvg(const Canvas& canvas, const QString& out) {
  const double H = canvas.baseImage().height();
  QString mvg;
  auto pt = [H](QPointF p) { return QStringLiteral("%1,%2").arg(p.x()).arg(H - p.y()); };
  int patch = 0;
  for (const Annotation& a : canvas.annotations()) {
    mvg += "push graphic-context\n";
    if (auto* r = std::get_if<ArrowAnnotation>(&a)) {
      const QPointF d = r->to - r->from;
      const double ang = std::atan2(d.y(), d.x()), h = 3.5 * r->thickness;
      const QPointF u(std::cos(ang), std::sin(ang)), n(-u.y(), u.x());
      mvg += "stroke " + rgb(r->color) + QStringLiteral(" stroke-width %1 stroke-linecap round fill none\n").arg(r->thickness);
      mvg += "line " + pt(r->from) + " " + pt(r->to - 0.85 * h * u) + "\n";
      mvg += "stroke none fill " + rgb(r->color) + "\npolygon " + pt(r->to) + " " + pt(r->to - h * u + 0.45 * h * n) +
             " " + pt(r->to - h * u - 0.45 * h * n) + "\n";
    } else if (auto* r = std::get_if<RectAnnotation>(&a)) {
      const QRectF q = r->rect.adjusted(r->thickness / 2, r->thickness / 2, -r->thickness / 2, -r->thickness / 2);
      if (r->filled)
        mvg += "stroke none fill " + rgb(r->color) + QStringLiteral(" fill-opacity %1\n").arg(r->alpha);
      else
        mvg += "fill none stroke " + rgb(r->color) + QStringLiteral(" stroke-width %1\n").arg(r->thickness);
      mvg += "rectangle " + pt(q.bottomLeft()) + " " + pt(q.topRight()) + "\n";
    } else if (auto* r = std::get_if<StrokeAnnotation>(&a)) {
      mvg += "fill none stroke " + rgb(r->color) +
             QStringLiteral(" stroke-opacity %1 stroke-width %2 stroke-linecap round stroke-linejoin round\npolyline")
                 .arg(r->alpha)
                 .arg(r->thickness);
      for (QPointF p : r->points) mvg += " " + pt(p);
      mvg += "\n";
    } else if (auto* r = std::get_if<TextAnnotation>(&a)) {
      const QRectF box = boundingBox(a);
      mvg += "stroke none fill 'rgba(0,0,0,0.55)'\nroundrectangle " + pt(box.bottomLeft()) + " " + pt(box.topRight()) +
             " 6,6\n";
      mvg += "fill " + rgb(r->color) + QStringLiteral(" font-size %1\ntext ").arg(r->fontSize) + pt(r->baselinePosition) +
             " '" + r->text + "'\n";
    } else if (auto* r = std::get_if<BlurAnnotation>(&a)) {
      const QString file = QStringLiteral("%1.patch%2.png").arg(out).arg(patch++);
      r->blurredImage.save(file);
      mvg += QStringLiteral("image over %1,%2 0,0 '%3'\n").arg(r->rect.x()).arg(H - r->rect.y() - r->rect.height()).arg(file);
    }
    mvg += "pop graphic-context\n";
  }
  QFile f(out + ".mvg");
  if (f.open(QIODevice::WriteOnly)) f.write(mvg.toUtf8());
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
  const QString out = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
  const int W = 5120, H = 2880;
  Canvas canvas("BENCH", capture(W, H));
  // 100 annotations of every kind, spread over the picture.
  for (int i = 0; i < 100; ++i) {
    const double x = 100 + (i * 733) % (W - 900), y = 100 + (i * 389) % (H - 700);
    const QColor c = QColor::fromHsv((i * 53) % 360, 200, 255);
    switch (i % 5) {
      case 0: canvas.insert(ArrowAnnotation{{x, y}, {x + 500, y + 300}, c, 5}, i); break;
      case 1: canvas.insert(RectAnnotation{QRectF(x, y, 700, 400), c, 4, i % 2 == 0, i % 2 ? 1.0 : 0.5}, i); break;
      case 2: {
        StrokeAnnotation s{{}, c, 14, 0.4};
        for (int k = 0; k < 200; ++k) s.points.emplace_back(x + k * 3, y + 40 * std::sin(k / 10.0));
        canvas.insert(s, i);
        break;
      }
      case 3: canvas.insert(TextAnnotation{{x, y}, "Annotation number " + QString::number(i), 18, c, true}, i); break;
      case 4: {
        const QRect r(int(x), int(y), 320, 240);
        std::optional<QImage> patch = bakePixelate(canvas, r, 16);
        canvas.insert(BlurAnnotation{r, patch ? *patch : QImage()}, i);
        break;
      }
    }
  }
  std::optional<QImage> flat;
  const Stat flatten = measure(runs, [&] { flat = Flattener::image(canvas); });
  const Stat blur = measure(runs, [&] { (void)bakePixelate(canvas, QRectF(0, 0, W, H), 16); });
  std::optional<QByteArray> png;
  const Stat encode = measure(std::max(1, runs / 2), [&] { png = Flattener::pngData(*flat); });
  std::printf("canvas %dx%d, %zu annotations, %d runs\n", W, H, canvas.annotations().size(), runs);
  std::printf("flatten             best %7.1f ms  median %7.1f ms  (goal < 150)\n", flatten.best, flatten.median);
  std::printf("full-screen blur    best %7.1f ms  median %7.1f ms  (goal < 150)\n", blur.best, blur.median);
  std::printf("PNG of the result   best %7.1f ms  median %7.1f ms  (%lld bytes)\n", encode.best, encode.median,
              png ? (long long)png->size() : 0LL);
  if (!out.isEmpty()) {
    canvas.baseImage().save(out + ".base.png");
    writeMvg(canvas, out);
    if (png) {
      QFile f(out);
      if (f.open(QIODevice::WriteOnly)) f.write(*png);
    }
  }
  return flat && png ? 0 : 1;
}
