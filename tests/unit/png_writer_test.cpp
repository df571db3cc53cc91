#include <gtest/gtest.h>

#include <QImage>
#include <QRandomGenerator>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <set>
#include <string>

#include "capture/png_image.h"
#include "capture/png_writer.h"

namespace nimbo {
namespace {

// zlib's own inflate of `n` bytes; nothing unless it gives exactly `size`.
std::optional<std::vector<uint8_t>> inflated(const uint8_t* data, size_t n, size_t size) {
  std::vector<uint8_t> out(size + 1);
  uLongf len = uLongf(out.size());
  if (uncompress(out.data(), &len, data, uLong(n)) != Z_OK || len != size) return std::nullopt;
  out.resize(len);
  return out;
}

// The filtered rows of a PNG written as one IDAT (as the writer does).
std::vector<uint8_t> inflatedRows(const std::vector<uint8_t>& png, size_t rawSize) {
  if (png.size() < 41 || std::string(reinterpret_cast<const char*>(png.data()) + 37, 4) != "IDAT") return {};
  const size_t idatLen = size_t(png[33]) << 24 | size_t(png[34]) << 16 | size_t(png[35]) << 8 | png[36];
  return inflated(png.data() + 41, idatLen, rawSize).value_or(std::vector<uint8_t>());
}

std::vector<uint8_t> encoded(const QImage& img, bool opaque, const png::Options& opt) {
  return png::encode(img.constBits(), img.width(), img.height(), int(img.bytesPerLine()), opaque, opt);
}

void expectSamePixels(const QImage& expected, const QImage& decoded) {
  ASSERT_EQ(decoded.size(), expected.size());
  EXPECT_TRUE(decoded.convertToFormat(QImage::Format_ARGB32) == expected.convertToFormat(QImage::Format_ARGB32));
}

// Screen-like bands: photographic noise over a gradient, text-like strokes,
// and flat interface colours with rows equal to the ones above.
QImage screenLike(int w, int h, bool alpha) {
  QImage img(w, h, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
  QRandomGenerator rng(uint32_t(w * 31 + h));
  for (int y = 0; y < h; ++y) {
    auto* row = reinterpret_cast<QRgb*>(img.scanLine(y));
    const int band = (y / 23) % 3;
    for (int x = 0; x < w; ++x) {
      int r, g, b;
      if (band == 0) {
        const int n = int(rng.bounded(41)) - 20;
        r = std::clamp(x * 255 / w + n, 0, 255), g = std::clamp(y * 255 / h - n, 0, 255);
        b = std::clamp(128 + n * 3, 0, 255);
      } else if (band == 1) {
        const int glyph = (x * 7 + (y % 23) * 13) % 11;
        r = g = b = glyph < 2 ? 30 : glyph == 2 ? 140 : 250;
      } else {
        r = x < w / 3 ? 0x2b : 0xf2, g = x < w / 3 ? 0x2d : 0xf3, b = x < w / 3 ? 0x31 : 0xf5;
      }
      row[x] = qRgba(r, g, b, alpha ? int(rng.bounded(256)) : 255);
    }
  }
  return img;
}

// PNG samples (R G B [A]) of an image, row after row.
std::vector<uint8_t> samples(const QImage& img, bool alpha) {
  std::vector<uint8_t> out;
  for (int y = 0; y < img.height(); ++y) {
    const auto* row = reinterpret_cast<const QRgb*>(img.constScanLine(y));
    for (int x = 0; x < img.width(); ++x) {
      out.insert(out.end(), {uint8_t(qRed(row[x])), uint8_t(qGreen(row[x])), uint8_t(qBlue(row[x]))});
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
      const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
      const int paeth = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      const int pred = f == 1 ? a : f == 2 ? b : f == 3 ? (a + b) / 2 : f == 4 ? paeth : 0;
      cur[i] = uint8_t(in[1 + i] + pred);
    }
  }
  return out;
}

// Decodes `bytes` with QImage and with zlib plus the unfiltering above;
// both must give the image's pixels.
void expectDecodesBothWays(const QImage& img, bool alpha, const std::vector<uint8_t>& bytes) {
  expectSamePixels(img, QImage::fromData(bytes.data(), int(bytes.size()), "PNG"));
  const int bpp = alpha ? 4 : 3;
  const auto raw = inflatedRows(bytes, (size_t(img.width()) * bpp + 1) * size_t(img.height()));
  ASSERT_FALSE(raw.empty()) << "zlib does not inflate the stream to the rows' size";
  const auto pixels = unfiltered(raw, img.width(), img.height(), bpp);
  ASSERT_FALSE(pixels.empty());
  EXPECT_TRUE(pixels == samples(img, alpha));
}

TEST(PngWriterTest, AlphaIsKeptAndOpaqueImagesAreWrittenAsRgb) {
  for (const bool alpha : {true, false}) {
    const QImage img = screenLike(64, 33, alpha);
    const QByteArray bytes = encodePng(img);
    EXPECT_EQ(uint8_t(bytes[25]), alpha ? 6 : 2);  // colour type RGBA or RGB
    expectSamePixels(img, QImage::fromData(bytes, "PNG"));
  }
}

TEST(PngWriterTest, TinyAndDegenerateImages) {
  png::Options opt;
  opt.threads = 8;  // more strips than rows
  for (QSize s : {QSize(1, 1), QSize(1, 40), QSize(900, 1), QSize(700, 3)}) {
    const QImage img = screenLike(s.width(), s.height(), false);
    const auto bytes = encoded(img, true, opt);
    expectDecodesBothWays(img, false, bytes);
  }
  EXPECT_TRUE(png::encode(nullptr, 10, 10, 40, true).empty());
  EXPECT_TRUE(encodePng(QImage()).isEmpty());
}

// A photograph above a flat interface, twice over: each band takes its own
// path (Paeth and Huffman, Up and zlib) inside one strip, switching both ways.
TEST(PngWriterTest, PhotographicAndFlatBandsTakeTheirOwnPathAndDecodeExactly) {
  QImage img(1000, 360, QImage::Format_RGB32);
  QRandomGenerator rng(1360);
  for (int y = 0; y < img.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(img.scanLine(y));
    for (int x = 0; x < img.width(); ++x) {
      const int n = int(rng.bounded(31)) - 15;
      row[x] = (y / 90) % 2 ? (x % 200 < 150 ? qRgb(0xf2, 0xf3, 0xf5) : qRgb(0x2b, 0x2d, 0x31))
                            : qRgb(std::clamp((x + y) / 4 + n, 0, 255), std::clamp(y % 256 - n, 0, 255),
                                   std::clamp(160 + 2 * n, 0, 255));
    }
  }
  for (int threads : {1, 2}) {
    png::Options opt;
    opt.threads = threads;
    const auto bytes = encoded(img, true, opt);
    SCOPED_TRACE(testing::Message() << "threads " << threads);
    expectDecodesBothWays(img, false, bytes);
    const size_t line = size_t(img.width()) * 3 + 1;
    const auto raw = inflatedRows(bytes, line * size_t(img.height()));
    ASSERT_FALSE(raw.empty());
    // Well inside a band (not at a region's edge) the filter tells its path.
    for (int y = 0; y < img.height(); ++y) {
      if (y % 90 >= 32 && y % 90 < 58) {
        EXPECT_EQ(raw[size_t(y) * line], (y / 90) % 2 ? 2 : 4) << "row " << y;
      }
    }
    EXPECT_LT(bytes.size(), line * size_t(img.height()) / 2);
  }
}

TEST(PngWriterTest, NoiseIsStoredAndStillDecodes) {
  QImage img(700, 200, QImage::Format_ARGB32);
  QRandomGenerator rng(11);
  for (int y = 0; y < img.height(); ++y) {
    auto* row = reinterpret_cast<quint32*>(img.scanLine(y));
    for (int x = 0; x < img.width(); ++x) row[x] = rng.generate();
  }
  png::Options opt;
  opt.strategy = png::Strategy::huffman;
  opt.filter = png::Filter::none;
  const auto bytes = encoded(img, false, opt);
  expectDecodesBothWays(img, true, bytes);
  const size_t raw = (size_t(img.width()) * 4 + 1) * size_t(img.height());
  EXPECT_LT(bytes.size(), raw + raw / 1000 + 200);  // no code beats storing it
}

TEST(PngWriterTest, ScreenLikeContentDecodesExactlyWithEverySetting) {
  for (bool alpha : {false, true}) {
    const QImage img = screenLike(1023, 301, alpha);  // odd width, tall enough to split
    for (auto filter : {png::Filter::none, png::Filter::sub, png::Filter::up, png::Filter::average,
                        png::Filter::paeth, png::Filter::adaptive})
      for (int level : {1, 6})
        for (auto strategy : {png::Strategy::lz, png::Strategy::rle, png::Strategy::huffman,
                              png::Strategy::automatic, png::Strategy::fast})
          for (int threads : {1, 5}) {
            png::Options opt;
            opt.filter = filter;
            if (filter != png::Filter::adaptive) opt.photoFilter = filter;
            opt.level = level, opt.strategy = strategy, opt.threads = threads;
            SCOPED_TRACE(testing::Message() << "alpha " << alpha << " filter " << int(filter) << " level " << level
                                            << " strategy " << int(strategy) << " threads " << threads);
            expectDecodesBothWays(img, alpha, encoded(img, !alpha, opt));
          }
  }
}

// Each row's filter is the one whose residuals have the smallest sum of
// magnitudes (ties to the earlier of Sub, Up, Average, Paeth; a row equal to
// the one above takes Up), summed here byte by byte: the writer sums all
// four in one vectorised pass, and a slip there would pick worse filters
// while every picture still decoded. Smooth gradients, noise, text strokes
// and flat rows, at widths whose rows end mid-step.
TEST(PngWriterTest, InterfaceRowsTakeTheFilterWithTheSmallestResiduals) {
  for (bool alpha : {false, true})
    for (int w : {1023, 64, 5}) {
      QImage img = screenLike(w, 300, alpha);
      QRandomGenerator rng{uint32_t(w)};
      for (int y = 70; y < 300; ++y) {
        auto* row = reinterpret_cast<QRgb*>(img.scanLine(y));
        // Gradients in both directions, as wallpapers have, then light noise
        // over them, where the four filters come close and small slips in
        // a sum change the choice.
        const int noise = y < 140 ? 0 : 1 + y % 5;
        auto n = [&] { return noise ? int(rng.bounded(2 * noise + 1)) - noise : 0; };
        for (int x = 0; x < w; ++x)
          row[x] = qRgba(std::clamp((x * 3 + y) / 5 % 256 + n(), 0, 255), std::clamp((x + y * 2) / 3 % 256 + n(), 0, 255),
                         std::clamp((x * y / 40) % 256 + n(), 0, 255), alpha ? (x + y) % 256 : 255);
      }
      png::Options opt;
      opt.strategy = png::Strategy::fast, opt.filter = png::Filter::adaptive, opt.threads = 1;
      const auto bytes = encoded(img, !alpha, opt);
      SCOPED_TRACE(testing::Message() << "alpha " << alpha << " width " << w);
      expectDecodesBothWays(img, alpha, bytes);
      const int bpp = alpha ? 4 : 3;
      const size_t n = size_t(w) * size_t(bpp);
      const auto raw = inflatedRows(bytes, (n + 1) * size_t(img.height()));
      ASSERT_FALSE(raw.empty());
      const auto px = samples(img, alpha);
      std::set<int> chosen;
      for (int y = 1; y < img.height(); ++y) {
        const uint8_t* cur = px.data() + size_t(y) * n;
        const uint8_t* up = cur - n;
        int expected = 2;
        if (std::memcmp(cur, up, n) != 0) {
          uint64_t sum[5] = {};
          for (size_t i = 0; i < n; ++i) {
            const int a = i >= size_t(bpp) ? cur[i - size_t(bpp)] : 0, b = up[i];
            const int c = i >= size_t(bpp) ? up[i - size_t(bpp)] : 0;
            const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            const int pred[5] = {0, a, b, (a + b) / 2, pa <= pb && pa <= pc ? a : pb <= pc ? b : c};
            for (int f = 1; f <= 4; ++f) {
              const int v = uint8_t(cur[i] - pred[f]);
              sum[f] += uint64_t(v < 128 ? v : 256 - v);
            }
          }
          expected = 1;
          for (int f = 2; f <= 4; ++f)
            if (sum[f] < sum[expected]) expected = f;
        }
        EXPECT_EQ(raw[size_t(y) * (n + 1)], expected) << "row " << y;
        chosen.insert(expected);
      }
      if (w == 1023) {
        EXPECT_GE(chosen.size(), 3u) << "the picture should call for several filters";
      }
    }
}

// A wallpaper's smooth gradients: neighbours mostly equal or one step
// apart, so the bands count as interface content, yet their residuals
// repeat little beyond three or four bytes. Short matches there cost more
// than the bytes they stand for; such bands must come out no larger than
// the same filter's bytes coded as literals. Text-like bands must keep
// their matches.
TEST(PngWriterTest, BandsOfSmoothGradientsAreNoLargerThanTheirLiterals) {
  QImage img(1280, 400, QImage::Format_RGB32);
  QRandomGenerator rng(2026);
  for (int y = 0; y < img.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(img.scanLine(y));
    for (int x = 0; x < img.width(); ++x) {
      const double u = x / 97.0, v = y / 61.0;
      const double r = 128 + 90 * std::sin(u + 0.7 * std::cos(v)), g = 120 + 80 * std::cos(0.6 * u - v),
                   b = 140 + 70 * std::sin(0.4 * (u + v));
      // A little dither, as scaled wallpapers carry.
      const int d = int(rng.bounded(3)) - 1;
      row[x] = qRgb(int(r) + d, int(g), int(b) - d);
    }
  }
  // Every band on the interface path, so that both sides filter alike.
  png::Options interface, literals;
  interface.photoBelow = 0;
  literals.strategy = png::Strategy::huffman;
  const auto coded = encoded(img, true, interface);
  expectDecodesBothWays(img, false, coded);
  const size_t asLiterals = encoded(img, true, literals).size();
  EXPECT_LE(coded.size(), asLiterals + asLiterals / 100);

  const QImage text = screenLike(1280, 400, false);
  EXPECT_LT(encoded(text, true, interface).size() * 2, encoded(text, true, literals).size());
}

TEST(PngWriterTest, FastCoderHandlesRowsLongerThanTheWindow) {
  // Rows of 33001 bytes, each the one above with a few pixels changed: the
  // row above is out of deflate's reach.
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
    opt.strategy = png::Strategy::fast, opt.filter = filter, opt.threads = 1;
    SCOPED_TRACE(testing::Message() << "filter " << int(filter));
    expectDecodesBothWays(img, false, encoded(img, true, opt));
  }
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
  // Rows of noise repeating (not quite) one stride down, cut into bands of
  // odd sizes: matches reach into the band before.
  std::vector<uint8_t> rows;
  const auto row = noise(3001);
  for (int r = 0; r < 60; ++r) {
    rows.insert(rows.end(), row.begin(), row.end());
    rows[rows.size() - 1 - size_t(r) * 37 % 3001] ^= uint8_t(r + 1);
  }
  for (size_t band : {1, 100, 1000, 3001, 9003, 40000, 96 * 1024})
    cases.push_back({"rows across bands", rows, 3001, band});
  // Copies just inside, at and beyond deflate's 32768-byte window.
  for (size_t gap : {32768, 32769, 32767}) {
    auto d = noise(1000);
    const std::vector<uint8_t> head = d;
    d.resize(gap, 0);
    d.insert(d.end(), head.begin(), head.end());
    const auto tail = noise(5000);
    d.insert(d.end(), tail.begin(), tail.end());
    cases.push_back({"window edge", d, 0, 96 * 1024});
    cases.push_back({"window edge, small bands", d, gap, 5000});
  }
  std::vector<uint8_t> longest(200000, 0);  // long runs and a 258-byte period
  for (size_t i = 100000; i < longest.size(); ++i) longest[i] = uint8_t(i % 258);
  cases.push_back({"longest matches", longest, 0, 96 * 1024});
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.what << ", " << c.data.size() << " bytes, stride " << c.stride
                                    << ", bands of " << c.band);
    const auto stream = png::detail::zlibFast(c.data.data(), c.data.size(), c.stride, c.band);
    EXPECT_TRUE(inflated(stream.data(), stream.size(), c.data.size()) == c.data);
    // Never much over storing the bytes, with each band's block header.
    EXPECT_LE(stream.size(), c.data.size() + 5 * (c.data.size() / 65535 + c.data.size() / c.band + 2) + 16);
  }
  EXPECT_LT(png::detail::zlibFast(longest.data(), longest.size(), 0, 96 * 1024).size(), longest.size() / 100);
}

TEST(PngWriterTest, HuffmanLengthsAreCompleteAndWithinTheLimit) {
  // Fibonacci counts (every third symbol unused): the optimal code would be
  // far deeper than 15 bits (or 7 for the code-length code).
  for (int n : {2, 19, 30, 40, 257, 286}) {
    for (int maxBits : {7, 15}) {
      if (n > (1 << maxBits)) continue;
      std::vector<uint32_t> counts(size_t(n), 0);
      uint32_t a = 1, b = 1;
      for (int i = 0; i < n; ++i) {
        if (i % 3 == 2) continue;
        counts[size_t(i)] = a;
        const uint32_t c = std::min<uint32_t>(a + b, 1u << 30);
        a = b, b = c;
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
        for (int j = 0; j < i; ++j) {  // more frequent symbols never get longer codes
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
  // Byte values 1-25 counted as Fibonacci numbers, shuffled, with runs of
  // zeros between: the rarest literals' optimal codes would be ~19 bits.
  QRandomGenerator rng(23);
  std::vector<uint8_t> d;
  uint32_t a = 1, b = 2;
  for (int v = 1; v <= 25; ++v) {
    d.insert(d.end(), a, uint8_t(v));
    const uint32_t c = a + b;
    a = b, b = c;
  }
  for (size_t i = d.size(); i > 1; --i) std::swap(d[i - 1], d[rng.bounded(uint32_t(i))]);
  for (size_t i = d.size() / 500 * 500; i >= 500; i -= 500) d.insert(d.begin() + long(i), 3 + i / 500 % 300, 0);
  const auto stream = png::detail::zlibFast(d.data(), d.size(), 0, d.size());
  EXPECT_TRUE(inflated(stream.data(), stream.size(), d.size()) == d);
  EXPECT_LT(stream.size(), d.size() * 2 / 5);  // about 2.5 bits a byte; stored would be 8
}

}  // namespace
}  // namespace nimbo
