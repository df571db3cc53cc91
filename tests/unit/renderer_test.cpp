#include <gtest/gtest.h>

#include <QPainter>

#include "editor/canvas.h"
#include "editor/renderer.h"

namespace nimbo {
namespace {

QImage filled(QSize s, QColor c, QImage::Format f = QImage::Format_RGB32) {
  QImage i(s, f);
  i.fill(c);
  return i;
}

// The pixel at (x, y) in image pixels with y up.
QRgb at(const QImage& img, int x, int y) { return img.pixel(x, img.height() - 1 - y); }

TEST(RendererTest, AnEmptyCanvasFlattensToItsBasePixels) {
  QImage base(64, 48, QImage::Format_RGB32);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) base.setPixel(x, y, qRgb(x * 3, y * 5, 77));
  Canvas c("id", base);
  auto flat = Flattener::image(c);
  ASSERT_TRUE(flat);
  EXPECT_EQ(flat->size(), base.size());
  EXPECT_EQ(flat->convertToFormat(QImage::Format_RGB32), base);
  auto png = Flattener::pngData(c);
  ASSERT_TRUE(png);
  EXPECT_EQ(QImage::fromData(*png, "PNG").convertToFormat(QImage::Format_RGB32), base);

  Canvas gray("g", filled({10, 10}, Qt::gray, QImage::Format_Grayscale8));
  EXPECT_TRUE(Flattener::image(gray)->allGray());
  EXPECT_FALSE(Flattener::image(gray)->isGrayscale() && Flattener::image(gray)->format() == QImage::Format_Grayscale8);
}

TEST(RendererTest, RectanglesFillOrOutlineExactlyTheirRect) {
  Canvas c("id", filled({100, 100}, Qt::white));
  c.commit(RectAnnotation{QRectF(10, 20, 40, 30), Qt::black, 4, true, 0.5});
  c.commit(RectAnnotation{QRectF(60, 60, 30, 30), Qt::blue, 4, false, 1});
  const QImage f = *Flattener::image(c);
  // Filled at half alpha: grey over the whole rect, white just outside.
  EXPECT_NEAR(qRed(at(f, 10, 20)), 128, 2);
  EXPECT_NEAR(qRed(at(f, 49, 49)), 128, 2);
  EXPECT_EQ(at(f, 9, 20), qRgb(255, 255, 255));
  EXPECT_EQ(at(f, 10, 50), qRgb(255, 255, 255));
  // Outlined: a 4-pixel line whose outer edge is the rect.
  EXPECT_EQ(at(f, 60, 75), qRgb(0, 0, 255));
  EXPECT_EQ(at(f, 63, 75), qRgb(0, 0, 255));
  EXPECT_EQ(at(f, 64, 75), qRgb(255, 255, 255));
  EXPECT_EQ(at(f, 59, 75), qRgb(255, 255, 255));
}

TEST(RendererTest, ArrowsBelowHalfAPixelDrawNothingAndTextStaysUpright) {
  Canvas c("id", filled({100, 100}, Qt::white));
  c.commit(ArrowAnnotation{QPointF(50, 50), QPointF(50.3, 50.2), Qt::red, 5});
  EXPECT_EQ(Flattener::image(c)->convertToFormat(QImage::Format_RGB32), filled({100, 100}, Qt::white));
  c.commit(ArrowAnnotation{QPointF(10, 50), QPointF(90, 50), Qt::red, 5});
  const QImage f = *Flattener::image(c);
  EXPECT_EQ(at(f, 30, 50), qRgb(255, 0, 0));
  EXPECT_EQ(at(f, 86, 50), qRgb(255, 0, 0));  // the head runs on to the tip
  EXPECT_EQ(at(f, 80, 53), qRgb(255, 0, 0));  // wider than the shaft (2.5 each side)
  EXPECT_EQ(at(f, 30, 60), qRgb(255, 255, 255));

  // A "T" drawn upright has its bar above its stem in y-up space.
  Canvas t("t", filled({60, 60}, Qt::white));
  t.commit(TextAnnotation{QPointF(20, 20), "T", 30, Qt::black, false});
  const QImage ti = *Flattener::image(t);
  int topDark = -1, bottomDark = 1000;
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 60; ++x)
      if (qRed(at(ti, x, y)) < 100) topDark = std::max(topDark, y), bottomDark = std::min(bottomDark, y);
  int barWidth = 0, stemWidth = 0;
  for (int x = 0; x < 60; ++x) {
    barWidth += qRed(at(ti, x, topDark - 1)) < 100;
    stemWidth += qRed(at(ti, x, bottomDark + 1)) < 100;
  }
  EXPECT_GE(bottomDark, 19);  // sits on its baseline
  EXPECT_GT(barWidth, 2 * stemWidth);
}

TEST(RendererTest, BlurCellsAreSquaresFromTheLowerLeftAndTakeWhatIsUnder) {
  // Left half black, right half white, with a red arrow across the middle.
  QImage base(64, 64, QImage::Format_RGB32);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) base.setPixel(x, y, x < 32 ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
  Canvas c("id", base);
  auto patch = bakePixelate(c, QRectF(24, 0, 20, 40), 16);
  ASSERT_TRUE(patch);
  EXPECT_EQ(patch->size(), QSize(20, 40));
  // Bottom-left cell (x 24..39, y 0..15): half black, half white → grey, uniform.
  const int bottomRow = patch->height() - 1;
  EXPECT_NEAR(qRed(patch->pixel(0, bottomRow)), 128, 2);
  EXPECT_EQ(patch->pixel(0, bottomRow), patch->pixel(15, bottomRow - 15));
  // The next cell to the right (x 40..43) is all white.
  EXPECT_EQ(qRed(patch->pixel(16, bottomRow)), 255);
  EXPECT_FALSE(bakePixelate(c, QRectF(100, 100, 10, 10), 16));

  c.commit(ArrowAnnotation{QPointF(0, 8), QPointF(64, 8), Qt::red, 5});
  auto withArrow = bakePixelate(c, QRectF(0, 0, 16, 16), 16);
  ASSERT_TRUE(withArrow);
  EXPECT_GT(qRed(withArrow->pixel(0, 15)), qGreen(withArrow->pixel(0, 15)) + 20);  // the arrow shows through

  // The patch draws back exactly where it was cut.
  Canvas d("d", base);
  d.commit(BlurAnnotation{QRect(24, 0, 20, 40), *patch});
  const QImage f = *Flattener::image(d);
  EXPECT_EQ(at(f, 24, 0), patch->pixel(0, bottomRow));
  EXPECT_EQ(at(f, 50, 50), qRgb(255, 255, 255));
}

}  // namespace
}  // namespace nimbo
