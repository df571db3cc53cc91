#include <gtest/gtest.h>

#include <QImage>
#include <QRandomGenerator>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "capture/png_image.h"
#include "capture/png_writer.h"

namespace nimbo {
namespace {


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

TEST(PngWriterTest, AdaptiveRowsCarryTheFilterTheyWereWrittenWith) {
  // Decoded with zlib alone: each row's filter byte is a real PNG filter and
  // flat rows equal to the ones above take Up.
  const QImage img = screenLike(640, 92, false);
  png::Options opt;
  opt.filter = png::Filter::adaptive;
  opt.strategy = png::Strategy::lz;
  opt.threads = 1;
  const auto bytes = png::encode(img.constBits(), img.width(), img.height(), int(img.bytesPerLine()), true, opt);
  const size_t stride = size_t(img.width()) * 3 + 1;
  const auto raw = inflatedRows(bytes, stride * size_t(img.height()));
  ASSERT_FALSE(raw.empty());
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

// ---- The greedy LZ77 coder --------------------------------------------------

// PNG samples (R G B [A]) of an image, row after row: what the filtered rows
// must unfilter to.
std::vector<uint8_t> samples(const QImage& img, bool alpha) {
  std::vector<uint8_t> out;
  for (int y = 0; y < img.height(); ++y) {
    const auto* row = reinterpret_cast<const QRgb*>(img.constScanLine(y));
    for (int x = 0; x < img.width(); ++x) {
      out.push_back(uint8_t(qRed(row[x])));
      out.push_back(uint8_t(qGreen(row[x])));
      out.push_back(uint8_t(qBlue(row[x])));
      if (alpha) out.push_back(uint8_t(qAlpha(row[x])));
    }
  }
  return out;
}

// Undoes the PNG filters of inflated rows, as a decoder does; empty when a
// filter byte is not one of PNG's five.
std::vector<uint8_t> unfiltered(const std::vector<uint8_t>& raw, int w, int h, int bpp) {
  const size_t n = size_t(w) * size_t(bpp);
  std::vector<uint8_t> out(n * size_t(h));
  for (int y = 0; y < h; ++y) {
    const uint8_t* in = raw.data() + size_t(y) * (n + 1);
    uint8_t* cur = out.data() + size_t(y) * n;
    const uint8_t* up = y ? cur - n : nullptr;
    const int f = in[0];
    if (f > 4) return {};
    for (size_t i = 0; i < n; ++i) {
      const int a = i >= size_t(bpp) ? cur[i - size_t(bpp)] : 0, b = up ? up[i] : 0;
      const int c = up && i >= size_t(bpp) ? up[i - size_t(bpp)] : 0;
      int pred = 0;
      if (f == 1) pred = a;
      else if (f == 2) pred = b;
      else if (f == 3) pred = (a + b) / 2;
      else if (f == 4) {
        const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
        pred = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      }
      cur[i] = uint8_t(in[1 + i] + pred);
    }
  }
  return out;
}

// Decodes `bytes` twice, with QImage and with zlib plus the unfiltering
// above, and expects the image's pixels from both.
void expectDecodesBothWays(const QImage& img, bool alpha, const std::vector<uint8_t>& bytes) {
  expectSamePixels(img, QImage::fromData(bytes.data(), int(bytes.size()), "PNG"));
  const int bpp = alpha ? 4 : 3;
  const auto raw = inflatedRows(bytes, (size_t(img.width()) * bpp + 1) * size_t(img.height()));
  ASSERT_FALSE(raw.empty()) << "zlib does not inflate the stream to the rows' size";
  const auto pixels = unfiltered(raw, img.width(), img.height(), bpp);
  ASSERT_FALSE(pixels.empty());
  EXPECT_TRUE(pixels == samples(img, alpha));
}

TEST(PngWriterTest, ScreenLikeContentDecodesExactlyWithEverySetting) {
  for (bool alpha : {false, true}) {
    // Odd widths so that rows end mid-pixel group; tall enough to be split.
    const QImage img = screenLike(1023, 301, alpha);
    for (auto filter : {png::Filter::none, png::Filter::sub, png::Filter::up, png::Filter::average,
                        png::Filter::paeth, png::Filter::adaptive}) {
      for (int level : {1, 6}) {
        for (auto strategy : {png::Strategy::lz, png::Strategy::rle, png::Strategy::huffman,
                              png::Strategy::automatic, png::Strategy::fast}) {
          for (int threads : {1, 5}) {
            png::Options opt;
            opt.filter = filter;
            if (filter != png::Filter::adaptive) opt.photoFilter = filter;
            opt.level = level;
            opt.strategy = strategy;
            opt.threads = threads;
            SCOPED_TRACE(testing::Message() << "alpha " << alpha << " filter " << int(filter) << " level "
                                            << level << " strategy " << int(strategy) << " threads "
                                            << threads);
            expectDecodesBothWays(
                img, alpha,
                png::encode(img.constBits(), img.width(), img.height(), int(img.bytesPerLine()), !alpha, opt));
          }
        }
      }
    }
  }
}

TEST(PngWriterTest, FastCoderHandlesRowsLongerThanTheWindow) {
  // 11000 RGB pixels make rows of 33001 bytes: the row above is out of
  // deflate's reach, so only matches along the row (and runs) may be taken.
  // Each row repeats the one above with a few pixels changed.
  QImage img(11000, 24, QImage::Format_RGB32);
  QRandomGenerator rng(29);
  auto* first = reinterpret_cast<QRgb*>(img.scanLine(0));
  for (int x = 0; x < img.width(); ++x) first[x] = x % 300 < 40 ? rng.generate() | 0xff000000u : qRgb(250, 250, 250);
  for (int y = 1; y < img.height(); ++y) {
    std::memcpy(img.scanLine(y), img.constScanLine(y - 1), size_t(img.bytesPerLine()));
    auto* row = reinterpret_cast<QRgb*>(img.scanLine(y));
    for (int k = 0; k < 20; ++k) row[rng.bounded(img.width())] = rng.generate() | 0xff000000u;
  }
  for (auto filter : {png::Filter::none, png::Filter::up}) {
    png::Options opt;
    opt.strategy = png::Strategy::fast;
    opt.filter = filter;
    opt.threads = 1;
    SCOPED_TRACE(testing::Message() << "filter " << int(filter));
    expectDecodesBothWays(
        img, false, png::encode(img.constBits(), img.width(), img.height(), int(img.bytesPerLine()), true, opt));
  }
}

TEST(PngWriterTest, FastCoderTakesLongMatchesOnFlatAndRepeatingRows) {
  // A flat screen: every row after the first is zeros under Up, and the
  // first repeats its pixel. Runs of the longest match (258 bytes) make it
  // a few bits per 258 bytes.
  QImage flat(2000, 300, QImage::Format_RGB32);
  flat.fill(qRgb(0xf2, 0xf3, 0xf5));
  png::Options opt;
  opt.strategy = png::Strategy::fast;
  opt.threads = 1;
  const auto f = png::encode(flat.constBits(), flat.width(), flat.height(), int(flat.bytesPerLine()), true, opt);
  expectDecodesBothWays(flat, false, f);
  const size_t raw = (size_t(flat.width()) * 3 + 1) * size_t(flat.height());
  EXPECT_LT(f.size(), raw / 200);

  // A pattern repeating every 7 pixels along the row, and each row shifted
  // by one pixel from the one above, unfiltered: only matches 21 bytes back
  // along the row (and none one row up) make it small.
  QImage pattern(1500, 120, QImage::Format_RGB32);
  QRandomGenerator rng(5);
  QRgb cycle[7];
  for (QRgb& c : cycle) c = qRgb(int(rng.bounded(256)), int(rng.bounded(256)), int(rng.bounded(256)));
  for (int y = 0; y < pattern.height(); ++y)
    for (int x = 0; x < pattern.width(); ++x) pattern.setPixel(x, y, cycle[(x + y) % 7]);
  opt.filter = png::Filter::none;
  const auto p =
      png::encode(pattern.constBits(), pattern.width(), pattern.height(), int(pattern.bytesPerLine()), true, opt);
  expectDecodesBothWays(pattern, false, p);
  EXPECT_LT(p.size(), (size_t(pattern.width()) * 3 + 1) * size_t(pattern.height()) / 50);
}

TEST(PngWriterTest, FastCoderReachesBackTheWholeWindowAndNoFurther) {
  // One unfiltered RGBA row of noise with 600 pixels copied further along,
  // after zeros: 8192 pixels later the copy is exactly 32768 bytes back, the
  // farthest deflate allows, and the coder must find it; 8193 pixels later
  // it is out of reach and must be coded as literals.
  auto rowWithCopyAt = [](int offset) {
    QImage img(12000, 1, QImage::Format_ARGB32);
    auto* row = reinterpret_cast<quint32*>(img.scanLine(0));
    QRandomGenerator rng(3);
    for (int x = 0; x < img.width(); ++x) row[x] = rng.generate();
    for (int x = 700; x < 8000; ++x) row[x] = 0;
    for (int x = 100; x < 700; ++x) row[x + offset] = row[x];
    return img;
  };
  png::Options opt;
  opt.strategy = png::Strategy::fast;
  opt.filter = png::Filter::none;
  opt.threads = 1;
  size_t sizes[2];
  for (int i = 0; i < 2; ++i) {
    const QImage img = rowWithCopyAt(8192 + i);
    const auto bytes = png::encode(img.constBits(), img.width(), 1, int(img.bytesPerLine()), false, opt);
    SCOPED_TRACE(testing::Message() << "copy " << 8192 + i << " pixels along");
    expectDecodesBothWays(img, true, bytes);
    sizes[i] = bytes.size();
  }
  // 2400 bytes of noise cost about 2400 bytes as literals, a few as matches.
  EXPECT_LT(sizes[0] + 2000, sizes[1]);
}

// zlib's own inflate, for streams the fast coder wrote.
std::vector<uint8_t> inflated(const std::vector<uint8_t>& stream, size_t size) {
  std::vector<uint8_t> out(size + 1);
  uLongf len = uLongf(out.size());
  if (uncompress(out.data(), &len, stream.data(), uLong(stream.size())) != Z_OK) return {0xde, 0xad};
  out.resize(len);
  return out;
}

TEST(PngWriterTest, FastCoderStreamsInflateWithZlib) {
  QRandomGenerator rng(17);
  auto noise = [&](size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t(rng.bounded(256));
    return v;
  };
  struct Case {
    const char* what;
    std::vector<uint8_t> data;
    size_t stride, band;
  };
  std::vector<Case> cases;
  for (size_t n : {0, 1, 3, 4, 5, 9, 258, 259, 1000})
    cases.push_back({"short runs", std::vector<uint8_t>(n, 7), 0, 96 * 1024});
  cases.push_back({"noise", noise(300000), 0, 96 * 1024});
  cases.push_back({"noise, row probe", noise(200000), 5761, 96 * 1024});
  {
    // Rows of text-like noise repeating one stride down, cut into bands of
    // a few rows and of odd sizes: matches reach into the band before.
    std::vector<uint8_t> rows;
    const auto row = noise(3001);
    for (int r = 0; r < 60; ++r) {
      rows.insert(rows.end(), row.begin(), row.end());
      rows[rows.size() - 1 - size_t(r) * 37 % 3001] ^= uint8_t(r + 1);  // not quite equal
    }
    for (size_t band : {1, 100, 1000, 3001, 9003, 40000, 96 * 1024})
      cases.push_back({"rows across bands", rows, 3001, band});
  }
  {
    // Copies exactly 32768 and 32769 bytes back, separated by zeros.
    for (size_t gap : {32768, 32769, 32767}) {
      auto d = noise(1000);
      d.resize(gap, 0);
      const auto head = std::vector<uint8_t>(d.begin(), d.begin() + 1000);
      d.insert(d.end(), head.begin(), head.end());
      const auto tail = noise(5000);
      d.insert(d.end(), tail.begin(), tail.end());
      cases.push_back({"window edge", d, 0, 96 * 1024});
      cases.push_back({"window edge, small bands", d, gap, 5000});
    }
  }
  {
    // Long runs and a 258-byte period: every match at its longest.
    std::vector<uint8_t> d(200000, 0);
    for (size_t i = 100000; i < d.size(); ++i) d[i] = uint8_t(i % 258);
    cases.push_back({"longest matches", d, 0, 96 * 1024});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.what << ", " << c.data.size() << " bytes, stride " << c.stride
                                    << ", bands of " << c.band);
    const auto stream = png::detail::zlibFast(c.data.data(), c.data.size(), c.stride, c.band);
    EXPECT_TRUE(inflated(stream, c.data.size()) == c.data);
    // Never much over storing the bytes, with each band's block header.
    EXPECT_LE(stream.size(), c.data.size() + 5 * (c.data.size() / 65535 + c.data.size() / c.band + 2) + 16);
  }
  // The row repeats and the long matches code to a sliver.
  const auto& longest = cases.back().data;
  EXPECT_LT(png::detail::zlibFast(longest.data(), longest.size(), 0, 96 * 1024).size(), longest.size() / 100);
}

TEST(PngWriterTest, HuffmanLengthsAreCompleteAndWithinTheLimit) {
  // Counts growing as the Fibonacci numbers: the optimal code is as deep as
  // there are symbols, far beyond 15 bits (or 7 for the code-length code).
  for (int n : {2, 19, 30, 40, 257, 286}) {
    for (int maxBits : {7, 15}) {
      if (n > (1 << maxBits)) continue;
      std::vector<uint32_t> counts(size_t(n), 0);
      uint32_t a = 1, b = 1;
      for (int i = 0; i < n; ++i) {
        // Every third symbol unused, the rest Fibonacci-weighted (capped to
        // stay within 32 bits).
        if (i % 3 == 2) continue;
        counts[size_t(i)] = a;
        const uint32_t c = std::min<uint32_t>(a + b, 1u << 30);
        a = b;
        b = c;
      }
      std::vector<uint8_t> lengths(size_t(n), 99);
      png::detail::huffmanLengths(counts.data(), n, maxBits, lengths.data());
      SCOPED_TRACE(testing::Message() << n << " symbols, " << maxBits << " bits");
      uint64_t kraft = 0;
      for (int i = 0; i < n; ++i) {
        if (!counts[size_t(i)]) {
          EXPECT_EQ(lengths[size_t(i)], 0) << "symbol " << i;
          continue;
        }
        ASSERT_GE(lengths[size_t(i)], 1) << "symbol " << i;
        ASSERT_LE(lengths[size_t(i)], maxBits) << "symbol " << i;
        kraft += uint64_t(1) << (maxBits - lengths[size_t(i)]);
        // More frequent symbols never get longer codes.
        for (int j = 0; j < i; ++j) {
          if (counts[size_t(j)] && counts[size_t(j)] < counts[size_t(i)]) {
            EXPECT_LE(lengths[size_t(i)], lengths[size_t(j)]) << i << " vs " << j;
          }
        }
      }
      EXPECT_EQ(kraft, uint64_t(1) << maxBits);  // a complete code: nothing wasted, nothing over
    }
  }
}

TEST(PngWriterTest, FastCoderKeepsDeepCodesWithinFifteenBits) {
  // Byte values 1-25 counted as the Fibonacci numbers 1, 2, 3, 5... and
  // shuffled, in one block: the rare values rarely take part in a match, and
  // their optimal literal codes chain ever deeper (the rarest would be
  // about 19 bits), so the block relies on the lengths being limited to 15.
  // Runs of zeros in between give matches of many lengths.
  QRandomGenerator rng(23);
  std::vector<uint8_t> d;
  uint32_t a = 1, b = 2;
  for (int v = 1; v <= 25; ++v) {
    d.insert(d.end(), a, uint8_t(v));
    const uint32_t c = a + b;
    a = b;
    b = c;
  }
  for (size_t i = d.size(); i > 1; --i) std::swap(d[i - 1], d[rng.bounded(uint32_t(i))]);
  for (size_t i = d.size() / 500 * 500; i >= 500; i -= 500) d.insert(d.begin() + long(i), 3 + i / 500 % 300, 0);
  const auto stream = png::detail::zlibFast(d.data(), d.size(), 0, d.size());
  EXPECT_TRUE(inflated(stream, d.size()) == d);
  EXPECT_LT(stream.size(), d.size() * 2 / 5);  // about 2.5 bits a byte; stored would be 8
}

}  // namespace
}  // namespace nimbo
