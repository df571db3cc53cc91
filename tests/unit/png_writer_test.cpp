#include <gtest/gtest.h>

#include <QImage>
#include <QRandomGenerator>
#include <zlib.h>

#include <algorithm>
#include <string>

#include "capture/png_image.h"
#include "capture/png_writer.h"

namespace nimbo {
namespace {

constexpr png::Strategy kStrategies[] = {png::Strategy::lz, png::Strategy::rle, png::Strategy::huffman,
                                         png::Strategy::automatic};

// The filtered rows of a PNG written as one IDAT (as the writer does),
// inflated with zlib alone.
std::vector<uint8_t> inflatedRows(const std::vector<uint8_t>& png, size_t rawSize) {
  if (png.size() < 41 || std::string(reinterpret_cast<const char*>(png.data()) + 37, 4) != "IDAT") return {};
  const size_t idatLen = size_t(png[33]) << 24 | size_t(png[34]) << 16 | size_t(png[35]) << 8 | png[36];
  std::vector<uint8_t> raw(rawSize);
  uLongf rawLen = uLongf(raw.size());
  if (uncompress(raw.data(), &rawLen, png.data() + 41, uLong(idatLen)) != Z_OK || rawLen != raw.size()) return {};
  return raw;
}

QImage sample(int w, int h, bool alpha) {
  QImage img(w, h, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
  QRandomGenerator rng(w * 7919 + h);
  for (int y = 0; y < h; ++y) {
    auto* row = reinterpret_cast<QRgb*>(img.scanLine(y));
    for (int x = 0; x < w; ++x) {
      // Flat runs, gradients and noise, as in real screenshots.
      const int noise = int(rng.bounded(256));
      const int r = (x / 16) % 2 ? 240 : (x * 3 + y) & 255;
      row[x] = qRgba(r, (y * 5) & 255, x % 7 == 0 ? noise : 40, alpha ? (x + y) & 255 : 255);
    }
  }
  return img;
}

void expectSamePixels(const QImage& expected, const QImage& decoded) {
  ASSERT_FALSE(decoded.isNull());
  ASSERT_EQ(decoded.size(), expected.size());
  const QImage a = expected.convertToFormat(QImage::Format_ARGB32);
  const QImage b = decoded.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < a.height(); ++y) {
    const auto* ra = reinterpret_cast<const QRgb*>(a.constScanLine(y));
    const auto* rb = reinterpret_cast<const QRgb*>(b.constScanLine(y));
    if (std::equal(ra, ra + a.width(), rb)) continue;
    for (int x = 0; x < a.width(); ++x) ASSERT_EQ(ra[x], rb[x]) << "at " << x << "," << y;
  }
}

TEST(PngWriterTest, EveryFilterAndStripCountDecodesToTheSamePixels) {
  const QImage img = sample(301, 257, false);
  for (auto filter : {png::Filter::none, png::Filter::sub, png::Filter::up, png::Filter::average,
                      png::Filter::paeth}) {
    for (int threads : {1, 2, 5}) {
      for (auto strategy : kStrategies) {
        png::Options opt;
        opt.filter = filter;
        opt.photoFilter = filter;
        opt.threads = threads;
        opt.strategy = strategy;
        // Large enough per strip to be split: the small-image shortcut is
        // bypassed by asking for the image at full size below.
        const QImage big = img.scaled(1100, 300);
        const auto bytes = png::encode(big.constBits(), big.width(), big.height(),
                                       int(big.bytesPerLine()), true, opt);
        SCOPED_TRACE(testing::Message() << "filter " << int(filter) << " threads " << threads << " strategy "
                                        << int(strategy));
        expectSamePixels(big, QImage::fromData(bytes.data(), int(bytes.size()), "PNG"));
      }
    }
  }
}

// Screen-like content of three kinds in bands: photographic noise over a
// smooth gradient, text-like glyph strokes repeating along rows, and flat
// interface colours with rows equal to the ones above.
QImage screenLike(int w, int h, bool alpha) {
  QImage img(w, h, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
  QRandomGenerator rng(uint32_t(w * 31 + h));
  for (int y = 0; y < h; ++y) {
    auto* row = reinterpret_cast<QRgb*>(img.scanLine(y));
    const int band = (y / 23) % 3;
    for (int x = 0; x < w; ++x) {
      int r, g, b;
      if (band == 0) {  // photograph
        const int n = int(rng.bounded(41)) - 20;
        r = std::clamp(x * 255 / w + n, 0, 255);
        g = std::clamp(y * 255 / h - n, 0, 255);
        b = std::clamp(128 + n * 3, 0, 255);
      } else if (band == 1) {  // text: dark strokes with anti-aliased edges
        const int glyph = (x * 7 + (y % 23) * 13) % 11;
        const int v = glyph < 2 ? 30 : glyph == 2 ? 140 : 250;
        r = g = b = v;
      } else {  // flat controls
        r = x < w / 3 ? 0x2b : 0xf2;
        g = x < w / 3 ? 0x2d : 0xf3;
        b = x < w / 3 ? 0x31 : 0xf5;
      }
      row[x] = qRgba(r, g, b, alpha ? int(rng.bounded(256)) : 255);
    }
  }
  return img;
}

TEST(PngWriterTest, ScreenLikeContentDecodesToTheSamePixelsWithEverySetting) {
  for (bool alpha : {false, true}) {
    // Odd widths so that rows end mid-pixel group; tall enough to be split.
    const QImage img = screenLike(1023, 301, alpha);
    for (auto filter : {png::Filter::none, png::Filter::sub, png::Filter::up, png::Filter::average,
                        png::Filter::paeth, png::Filter::adaptive}) {
      for (int level : {1, 6}) {
        for (auto strategy : kStrategies) {
          for (int threads : {1, 3}) {
            png::Options opt;
            opt.filter = filter;
            opt.level = level;
            opt.strategy = strategy;
            opt.threads = threads;
            const auto bytes = png::encode(img.constBits(), img.width(), img.height(),
                                           int(img.bytesPerLine()), !alpha, opt);
            SCOPED_TRACE(testing::Message() << "alpha " << alpha << " filter " << int(filter) << " level "
                                            << level << " strategy " << int(strategy) << " threads "
                                            << threads);
            expectSamePixels(img, QImage::fromData(bytes.data(), int(bytes.size()), "PNG"));
          }
        }
      }
    }
  }
}

TEST(PngWriterTest, AdaptiveRowsCarryTheFilterTheyWereWrittenWith) {
  // Decoded with zlib alone: each row's filter byte is a real PNG filter and
  // flat rows equal to the ones above take Up.
  const QImage img = screenLike(640, 92, false);
  png::Options opt;
  opt.filter = png::Filter::adaptive;
  opt.strategy = png::Strategy::lz;
  opt.threads = 1;
  const auto bytes = png::encode(img.constBits(), img.width(), img.height(), int(img.bytesPerLine()), true, opt);
  ASSERT_GT(bytes.size(), 8u + 25u + 12u);
  const size_t idatLen = size_t(bytes[33]) << 24 | size_t(bytes[34]) << 16 | size_t(bytes[35]) << 8 | bytes[36];
  ASSERT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()) + 37, 4), "IDAT");
  std::vector<uint8_t> raw(size_t(img.height()) * (size_t(img.width()) * 3 + 1));
  uLongf rawLen = uLongf(raw.size());
  ASSERT_EQ(uncompress(raw.data(), &rawLen, bytes.data() + 41, uLong(idatLen)), Z_OK);
  ASSERT_EQ(rawLen, raw.size());
  const size_t stride = size_t(img.width()) * 3 + 1;
  int kinds[5] = {};
  for (int y = 0; y < img.height(); ++y) {
    const uint8_t f = raw[size_t(y) * stride];
    ASSERT_LE(f, 4) << "row " << y;
    ++kinds[f];
    // Band 2 is flat: every row but its first repeats the one above.
    if ((y / 23) % 3 == 2 && y % 23 != 0) {
      EXPECT_EQ(f, 2) << "row " << y;
    }
  }
  EXPECT_GT(kinds[2], 0);
  EXPECT_GT(kinds[1] + kinds[3] + kinds[4], 0);  // not Up everywhere
}

TEST(PngWriterTest, DefaultsStayCloseToAdaptiveFilteringOnText) {
  // The default (Up, LZ77) must keep text compact: glyph repeats along a row
  // are found by the match search, so it is not far behind the adaptive
  // filter and far ahead of run matching.
  const QImage img = screenLike(1200, 400, false);
  auto size = [&](png::Options o) {
    return png::encode(img.constBits(), img.width(), img.height(), int(img.bytesPerLine()), true, o).size();
  };
  png::Options adaptive;
  adaptive.filter = png::Filter::adaptive;
  png::Options runs;
  runs.strategy = png::Strategy::rle;
  const size_t d = size({}), a = size(adaptive), r = size(runs);
  EXPECT_LT(double(d), 1.25 * double(a));
  EXPECT_LT(d, r);
}

TEST(PngWriterTest, AlphaIsKeptAndOpaqueImagesAreWrittenAsRgb) {
  const QImage withAlpha = sample(64, 33, true);
  const QByteArray a = encodePng(withAlpha);
  EXPECT_EQ(uint8_t(a[25]), 6);  // colour type RGBA
  expectSamePixels(withAlpha, QImage::fromData(a, "PNG"));

  const QImage opaque = sample(64, 33, false);
  const QByteArray o = encodePng(opaque);
  EXPECT_EQ(uint8_t(o[25]), 2);  // colour type RGB
  expectSamePixels(opaque, QImage::fromData(o, "PNG"));
}

TEST(PngWriterTest, TinyAndDegenerateImages) {
  for (QSize s : {QSize(1, 1), QSize(1, 40), QSize(900, 1), QSize(700, 3)}) {
    const QImage img = sample(s.width(), s.height(), false);
    png::Options opt;
    opt.threads = 8;  // more strips than rows
    const auto bytes =
        png::encode(img.constBits(), img.width(), img.height(), int(img.bytesPerLine()), true, opt);
    expectSamePixels(img, QImage::fromData(bytes.data(), int(bytes.size()), "PNG"));
    int w = 0, h = 0;
    ASSERT_TRUE(png::readSize(bytes.data(), bytes.size(), &w, &h));
    EXPECT_EQ(QSize(w, h), s);
  }
  EXPECT_TRUE(png::encode(nullptr, 10, 10, 40, true).empty());
  EXPECT_TRUE(encodePng(QImage()).isEmpty());
}

// A photograph above a flat interface, twice over: bands of each kind take
// their own path (Paeth and Huffman codes, Up and zlib) inside one strip,
// and the stream switches between them both ways.
QImage photoAndFlat(int w, int h) {
  QImage img(w, h, QImage::Format_RGB32);
  QRandomGenerator rng(uint32_t(w + h));
  for (int y = 0; y < h; ++y) {
    auto* row = reinterpret_cast<QRgb*>(img.scanLine(y));
    const bool photo = (y / 90) % 2 == 0;
    for (int x = 0; x < w; ++x) {
      if (photo) {
        const int n = int(rng.bounded(31)) - 15;
        row[x] = qRgb(std::clamp((x + y) / 4 + n, 0, 255), std::clamp(y % 256 - n, 0, 255),
                      std::clamp(160 + 2 * n, 0, 255));
      } else {
        row[x] = x % 200 < 150 ? qRgb(0xf2, 0xf3, 0xf5) : qRgb(0x2b, 0x2d, 0x31);
      }
    }
  }
  return img;
}

TEST(PngWriterTest, PhotographicAndFlatBandsTakeTheirOwnPathAndDecodeExactly) {
  const QImage img = photoAndFlat(1000, 360);
  for (int threads : {1, 2}) {
    png::Options opt;
    opt.threads = threads;
    const auto bytes = png::encode(img.constBits(), img.width(), img.height(), int(img.bytesPerLine()), true, opt);
    SCOPED_TRACE(testing::Message() << "threads " << threads);
    expectSamePixels(img, QImage::fromData(bytes.data(), int(bytes.size()), "PNG"));
    const size_t line = size_t(img.width()) * 3 + 1;
    const auto raw = inflatedRows(bytes, line * size_t(img.height()));
    ASSERT_FALSE(raw.empty());
    int paeth = 0, up = 0;
    for (int y = 0; y < img.height(); ++y) {
      const uint8_t f = raw[size_t(y) * line];
      // A band may straddle the edge of a region; well inside one, the
      // filter tells which path its band took.
      if (y % 90 < 32 || y % 90 >= 58) continue;
      if ((y / 90) % 2 == 0) {
        EXPECT_EQ(f, 4) << "row " << y;
        paeth += f == 4;
      } else {
        EXPECT_EQ(f, 2) << "row " << y;
        up += f == 2;
      }
    }
    EXPECT_GT(paeth, 0);
    EXPECT_GT(up, 0);
    // The flat half costs next to nothing; the photographic half is coded
    // well below its raw size.
    EXPECT_LT(bytes.size(), line * size_t(img.height()) / 2);
  }
}

TEST(PngWriterTest, HuffmanCodesStayWithinDeflatesLengthLimit) {
  // Byte counts growing as the Fibonacci numbers 1, 2, 3, 5… in one band
  // (with the end-of-block code as the other 1): the optimal code for them
  // is 20 bits deep, deeper than the 15 deflate allows. The rows' filter
  // bytes (0, as nothing is filtered) take the count 55.
  const int w = 300, h = 40;
  const size_t total = size_t(w) * 3 * h;
  std::vector<uint8_t> values;
  uint32_t a = 1, b = 2;
  for (int i = 1; i <= 20; ++i) {
    const uint8_t v = a == 55 ? 0 : uint8_t(i);
    const uint32_t n = a == 55 ? a - h : a;
    for (uint32_t k = 0; k < n; ++k) values.push_back(v);
    const uint32_t c = a + b;
    a = b;
    b = c;
  }
  ASSERT_LE(values.size(), total);
  values.resize(total, uint8_t(20));  // the most frequent value takes the rest
  QRandomGenerator rng(7);
  for (size_t i = values.size(); i > 1; --i) std::swap(values[i - 1], values[rng.bounded(uint32_t(i))]);
  QImage img(w, h, QImage::Format_RGB32);
  for (size_t i = 0; i < values.size(); ++i) {
    auto* px = img.scanLine(int(i / (size_t(w) * 3))) + (i % (size_t(w) * 3)) / 3 * 4;
    px[2 - (i % 3)] = values[i];  // B G R in memory, R G B in the PNG
    px[3] = 0xff;
  }
  for (int threads : {1, 2}) {
    png::Options opt;
    opt.filter = png::Filter::none;
    opt.strategy = png::Strategy::huffman;
    opt.threads = threads;
    const auto bytes = png::encode(img.constBits(), img.width(), img.height(), int(img.bytesPerLine()), true, opt);
    expectSamePixels(img, QImage::fromData(bytes.data(), int(bytes.size()), "PNG"));
    EXPECT_FALSE(inflatedRows(bytes, (size_t(w) * 3 + 1) * size_t(h)).empty());
    // Coded, not stored: well under the raw 8 bits a byte.
    EXPECT_LT(bytes.size(), total / 2);
  }
}

TEST(PngWriterTest, NoiseIsStoredAndStillDecodes) {
  // Random bytes: no code beats storing them, so the writer stores them.
  QImage img(700, 200, QImage::Format_ARGB32);
  QRandomGenerator rng(11);
  for (int y = 0; y < img.height(); ++y) {
    auto* row = reinterpret_cast<quint32*>(img.scanLine(y));
    for (int x = 0; x < img.width(); ++x) row[x] = rng.generate();
  }
  png::Options opt;
  opt.strategy = png::Strategy::huffman;
  opt.filter = png::Filter::none;
  const auto bytes = png::encode(img.constBits(), img.width(), img.height(), int(img.bytesPerLine()), false, opt);
  expectSamePixels(img, QImage::fromData(bytes.data(), int(bytes.size()), "PNG"));
  const size_t raw = (size_t(img.width()) * 4 + 1) * size_t(img.height());
  EXPECT_LT(bytes.size(), raw + raw / 1000 + 200);
}

}  // namespace
}  // namespace nimbo
