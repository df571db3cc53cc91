#include "capture/png_writer.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace nimbo::png {
namespace {

void put32(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(uint8_t(v >> 24));
  out.push_back(uint8_t(v >> 16));
  out.push_back(uint8_t(v >> 8));
  out.push_back(uint8_t(v));
}

void chunk(std::vector<uint8_t>& out, const char type[4], const uint8_t* data, size_t len) {
  put32(out, uint32_t(len));
  const size_t typeAt = out.size();
  out.insert(out.end(), type, type + 4);
  if (len) out.insert(out.end(), data, data + len);
  const uint32_t crc = libdeflate_crc32(0, out.data() + typeAt, 4 + len);
  put32(out, uint32_t(crc));
}

inline uint8_t paethPredict(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return uint8_t(a);
  return pb <= pc ? uint8_t(b) : uint8_t(c);
}

// Converts one source row to PNG samples (RGB or RGBA). For RGB, `dst` has
// one spare byte at its end: each pixel is stored as four bytes whose last
// one the next pixel overwrites.
void unpackRow(const uint8_t* src, uint8_t* dst, int width, bool opaque) {
  if (opaque) {
    for (int x = 0; x < width; ++x, src += 4, dst += 3) {
      uint32_t v;  // B G R A in memory
      std::memcpy(&v, src, 4);
      v = __builtin_bswap32(v) >> 8;  // R G B 0 in memory
      std::memcpy(dst, &v, 4);
    }
  } else {
    for (int x = 0; x < width; ++x, src += 4, dst += 4) {
      uint32_t v;
      std::memcpy(&v, src, 4);
      // B G R A -> R G B A: swap the first and third bytes.
      v = (v & 0xff00ff00u) | ((v >> 16) & 0xffu) | ((v & 0xffu) << 16);
      std::memcpy(dst, &v, 4);
    }
  }
}

void filterRow(Filter f, const uint8_t* cur, const uint8_t* prev, uint8_t* out, size_t n, int bpp) {
  out[0] = uint8_t(f);
  uint8_t* o = out + 1;
  const size_t b = size_t(bpp);
  switch (f) {
    case Filter::none:
      std::memcpy(o, cur, n);
      break;
    case Filter::sub:
      std::memcpy(o, cur, b);
      for (size_t i = b; i < n; ++i) o[i] = uint8_t(cur[i] - cur[i - b]);
      break;
    case Filter::up:
      if (!prev) {
        std::memcpy(o, cur, n);
        break;
      }
      for (size_t i = 0; i < n; ++i) o[i] = uint8_t(cur[i] - prev[i]);
      break;
    case Filter::average:
      if (!prev) {
        std::memcpy(o, cur, b);
        for (size_t i = b; i < n; ++i) o[i] = uint8_t(cur[i] - (cur[i - b] >> 1));
        break;
      }
      for (size_t i = 0; i < b; ++i) o[i] = uint8_t(cur[i] - (prev[i] >> 1));
      for (size_t i = b; i < n; ++i) o[i] = uint8_t(cur[i] - ((cur[i - b] + prev[i]) >> 1));
      break;
    case Filter::paeth:
      if (!prev) {  // with no row above, Paeth predicts from the left: Sub
        std::memcpy(o, cur, b);
        for (size_t i = b; i < n; ++i) o[i] = uint8_t(cur[i] - cur[i - b]);
        break;
      }
      for (size_t i = 0; i < b; ++i) o[i] = uint8_t(cur[i] - prev[i]);
      for (size_t i = b; i < n; ++i) {
        // Branch-free so that the compiler can vectorise it.
        const int a = cur[i - b], up = prev[i], c = prev[i - b];
        const int pa = std::abs(up - c), pb = std::abs(a - c), pc = std::abs(a + up - 2 * c);
        const int pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? up : c);
        o[i] = uint8_t(cur[i] - pred);
      }
      break;
    case Filter::adaptive:
      break;  // resolved per row by the caller
  }
}

// The usual guess at which filter compresses a row best: the smallest sum of
// the filtered bytes taken as signed magnitudes.
uint64_t cost(const uint8_t* o, size_t n) {
  uint64_t sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const int v = o[i];
    sum += uint64_t(v < 128 ? v : 256 - v);
  }
  return sum;
}

// Filters a row with each filter and keeps the cheapest. A row equal to the
// one above is all zeros under Up, which nothing beats, so flat interface
// rows cost one comparison.
void filterAdaptive(const uint8_t* cur, const uint8_t* prev, uint8_t* out, uint8_t* scratch, size_t n,
                    int bpp) {
  if (prev && std::memcmp(cur, prev, n) == 0) {
    out[0] = uint8_t(Filter::up);
    std::memset(out + 1, 0, n);
    return;
  }
  uint64_t best = UINT64_MAX;
  for (Filter f : {Filter::sub, Filter::up, Filter::average, Filter::paeth}) {
    if (!prev && (f == Filter::up || f == Filter::paeth)) continue;
    uint8_t* dst = best == UINT64_MAX ? out : scratch;
    filterRow(f, cur, prev, dst, n, bpp);
    const uint64_t c = cost(dst + 1, n);
    if (c < best) {
      best = c;
      if (dst == scratch) std::memcpy(out, scratch, n + 1);
    }
  }
}

struct Strip {
  int firstRow = 0, rows = 0;
  bool last = false;
  // Uninitialised on purpose: zero-filling a buffer the size of the image
  // costs more than compressing a flat part of it.
  std::unique_ptr<uint8_t[]> deflated;
  size_t capacity = 0, length = 0;
  uLong adler = 1;
  size_t rawLength = 0;
  bool ok = false;
};

void waitForRow(const std::atomic<int>* ready, int row) {
  if (!ready) return;
  for (int seen = ready->load(std::memory_order_acquire); seen <= row;
       seen = ready->load(std::memory_order_acquire))
    ready->wait(seen, std::memory_order_acquire);
}

void compressStrip(Strip& s, const uint8_t* pixels, int width, int stride, bool opaque,
                   const Options& opt, const std::atomic<int>* ready) {
  const int bpp = opaque ? 3 : 4;
  const size_t rowBytes = size_t(width) * bpp;
  std::vector<uint8_t> prev(rowBytes + 1), cur(rowBytes + 1), filtered(rowBytes + 1), scratch(rowBytes + 1);

  z_stream z{};
  // Raw deflate: the zlib header and checksum are written once for the whole
  // image, around the joined strips.
  if (deflateInit2(&z, opt.level, Z_DEFLATED, -15, 8, opt.rle ? Z_RLE : Z_DEFAULT_STRATEGY) != Z_OK)
    return;
  s.capacity = deflateBound(&z, uLong((rowBytes + 1) * s.rows)) + 64;
  s.deflated.reset(new uint8_t[s.capacity]);
  z.next_out = s.deflated.get();
  z.avail_out = uInt(s.capacity);

  // Filters look one row up; the first row of a strip still sees the last
  // row of the strip above, so the joined stream decodes as one image.
  const bool hasPrev = s.firstRow > 0;
  waitForRow(ready, s.firstRow);
  if (hasPrev) unpackRow(pixels + size_t(s.firstRow - 1) * stride, prev.data(), width, opaque);
  for (int r = 0; r < s.rows; ++r) {
    const int y = s.firstRow + r;
    waitForRow(ready, y);
    unpackRow(pixels + size_t(y) * stride, cur.data(), width, opaque);
    const uint8_t* above = y > 0 ? prev.data() : nullptr;
    if (opt.filter == Filter::adaptive)
      filterAdaptive(cur.data(), above, filtered.data(), scratch.data(), rowBytes, bpp);
    else
      filterRow(opt.filter, cur.data(), above, filtered.data(), rowBytes, bpp);
    s.adler = libdeflate_adler32(uint32_t(s.adler), filtered.data(), filtered.size());
    s.rawLength += filtered.size();
    z.next_in = filtered.data();
    z.avail_in = uInt(filtered.size());
    const bool lastRow = r == s.rows - 1;
    const int flush = lastRow ? (s.last ? Z_FINISH : Z_SYNC_FLUSH) : Z_NO_FLUSH;
    int rc;
    do {
      if (z.avail_out == 0) {
        // deflateBound makes this unreachable; stay correct regardless.
        const size_t used = s.capacity;
        std::unique_ptr<uint8_t[]> bigger(new uint8_t[used * 2]);
        std::memcpy(bigger.get(), s.deflated.get(), used);
        s.deflated = std::move(bigger);
        s.capacity = used * 2;
        z.next_out = s.deflated.get() + used;
        z.avail_out = uInt(s.capacity - used);
      }
      rc = deflate(&z, flush);
    } while (z.avail_in > 0 || (flush == Z_FINISH && rc != Z_STREAM_END) ||
             (flush == Z_SYNC_FLUSH && z.avail_out == 0));
    std::swap(prev, cur);
  }
  s.length = z.total_out;
  deflateEnd(&z);
  s.ok = true;
}

}  // namespace

std::vector<uint8_t> encode(const uint8_t* pixels, int width, int height, int stride, bool opaque,
                            const Options& opt) {
  return encode(pixels, width, height, stride, opaque, opt, nullptr);
}

std::vector<uint8_t> encode(const uint8_t* pixels, int width, int height, int stride, bool opaque,
                            const Options& opt, const std::atomic<int>* ready) {
  if (!pixels || width <= 0 || height <= 0) return {};
  int threads = opt.threads > 0 ? opt.threads : int(std::max(1u, std::thread::hardware_concurrency()));
  // Small images are not worth a thread.
  if (size_t(width) * height < 256 * 1024) threads = 1;
  threads = std::min(threads, height);

  std::vector<Strip> strips(threads);
  for (int i = 0, row = 0; i < threads; ++i) {
    const int rows = height / threads + (i < height % threads ? 1 : 0);
    strips[i].firstRow = row;
    strips[i].rows = rows;
    strips[i].last = i == threads - 1;
    row += rows;
  }
  std::vector<std::thread> workers;
  for (int i = 1; i < threads; ++i)
    workers.emplace_back(compressStrip, std::ref(strips[i]), pixels, width, stride, opaque, std::cref(opt),
                         ready);
  compressStrip(strips[0], pixels, width, stride, opaque, opt, ready);
  for (auto& w : workers) w.join();

  size_t total = 0;
  uLong adler = 1;
  for (const Strip& s : strips) {
    if (!s.ok) return {};
    total += s.length;
    adler = adler32_combine(adler, s.adler, z_off_t(s.rawLength));
  }

  std::vector<uint8_t> out;
  out.reserve(total + 128);
  static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  out.insert(out.end(), sig, sig + 8);
  uint8_t ihdr[13];
  const uint32_t w = uint32_t(width), h = uint32_t(height);
  ihdr[0] = uint8_t(w >> 24); ihdr[1] = uint8_t(w >> 16); ihdr[2] = uint8_t(w >> 8); ihdr[3] = uint8_t(w);
  ihdr[4] = uint8_t(h >> 24); ihdr[5] = uint8_t(h >> 16); ihdr[6] = uint8_t(h >> 8); ihdr[7] = uint8_t(h);
  ihdr[8] = 8;                  // bits per sample
  ihdr[9] = opaque ? 2 : 6;     // RGB or RGBA
  ihdr[10] = ihdr[11] = ihdr[12] = 0;
  chunk(out, "IHDR", ihdr, sizeof ihdr);

  // One IDAT holding the zlib stream: header, the strips, the checksum,
  // assembled in place.
  put32(out, uint32_t(total + 6));
  const size_t typeAt = out.size();
  out.insert(out.end(), {'I', 'D', 'A', 'T', 0x78, 0x01});
  for (const Strip& s : strips) out.insert(out.end(), s.deflated.get(), s.deflated.get() + s.length);
  put32(out, uint32_t(adler));
  put32(out, libdeflate_crc32(0, out.data() + typeAt, out.size() - typeAt));
  chunk(out, "IEND", nullptr, 0);
  return out;
}

bool readSize(const uint8_t* d, size_t n, int* width, int* height) {
  static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (n < 24 || std::memcmp(d, sig, 8) != 0 || std::memcmp(d + 12, "IHDR", 4) != 0) return false;
  *width = int(uint32_t(d[16]) << 24 | uint32_t(d[17]) << 16 | uint32_t(d[18]) << 8 | d[19]);
  *height = int(uint32_t(d[20]) << 24 | uint32_t(d[21]) << 16 | uint32_t(d[22]) << 8 | d[23]);
  return true;
}

}  // namespace nimbo::png
