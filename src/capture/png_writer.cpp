#include "capture/png_writer.h"

#include <libdeflate.h>
#include <zlib.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#define NIMBO_PNG_SSSE3 1
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
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
#ifdef NIMBO_PNG_SSSE3
// The same, four pixels a step with one byte shuffle: a scalar swap per
// pixel had become the largest part of encoding a text screen. Returns the
// pixels done; the caller finishes the row.
__attribute__((target("ssse3"))) int unpackPixelsSsse3(const uint8_t* src, uint8_t* dst, int width, bool opaque) {
  int x = 0;
  if (opaque) {
    // B G R A x4 -> R G B x4; the store's last four bytes are overwritten
    // by the next step, so it stops one pixel short of the row's end.
    const __m128i order = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    for (; x + 5 <= width; x += 4, src += 16, dst += 12)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                       _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), order));
  } else {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    for (; x + 4 <= width; x += 4, src += 16, dst += 16)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                       _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), order));
  }
  return x;
}

const bool kHasSsse3 = __builtin_cpu_supports("ssse3");
#endif

void unpackRow(const uint8_t* src, uint8_t* dst, int width, bool opaque) {
#ifdef NIMBO_PNG_SSSE3
  if (kHasSsse3) {
    const int done = unpackPixelsSsse3(src, dst, width, opaque);
    src += size_t(done) * 4;
    dst += size_t(done) * (opaque ? 3 : 4);
    width -= done;
  }
#endif
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

#ifdef __SSE2__
// The Paeth predictor of eight bytes in 16-bit lanes: `a` left, `up` above,
// `c` above-left. The compiler does not vectorise the selection on its own.
inline __m128i paethPredict8(__m128i a, __m128i up, __m128i c) {
  const __m128i zero = _mm_setzero_si128();
  auto abs16 = [&](__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(zero, v)); };
  const __m128i dUp = _mm_sub_epi16(up, c), dA = _mm_sub_epi16(a, c);
  const __m128i pa = abs16(dUp), pb = abs16(dA), pc = abs16(_mm_add_epi16(dUp, dA));
  // a when pa <= pb and pa <= pc, else up when pb <= pc, else c.
  const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
  const __m128i useC = _mm_cmpgt_epi16(pb, pc);
  const __m128i upOrC = _mm_or_si128(_mm_and_si128(useC, c), _mm_andnot_si128(useC, up));
  return _mm_or_si128(_mm_and_si128(notA, upOrC), _mm_andnot_si128(notA, a));
}
#endif

// Paeth residuals of bytes [from, n) of a row with a row above; `b` bytes a
// pixel. Eight bytes at a time in 16-bit lanes.
void paethSpan(const uint8_t* cur, const uint8_t* prev, uint8_t* o, size_t from, size_t n, size_t b) {
  size_t i = from;
#ifdef __SSE2__
  const __m128i zero = _mm_setzero_si128();
  auto load = [&](const uint8_t* p) {
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
  };
  for (; i + 8 <= n; i += 8) {
    const __m128i pred = paethPredict8(load(cur + i - b), load(prev + i), load(prev + i - b));
    const __m128i r = _mm_and_si128(_mm_sub_epi16(load(cur + i), pred), _mm_set1_epi16(0xff));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + i), _mm_packus_epi16(r, zero));
  }
#endif
  for (; i < n; ++i) o[i] = uint8_t(cur[i] - paethPredict(cur[i - b], prev[i], prev[i - b]));
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
      paethSpan(cur, prev, o, b, n, b);
      break;
    case Filter::adaptive:
      break;  // resolved per row by the caller
  }
}


// A filtered byte's size as the usual guess at which filter compresses a
// row best counts it: its magnitude taken as a signed byte.
inline uint32_t magnitude(uint8_t v) { return v < 128 ? v : 256u - v; }

// The filter whose residuals of a row (with a row above) have the smallest
// sum of magnitudes: the usual guess at which compresses it best. The four
// sums are taken in one pass over the pixels, sixteen bytes a step. Paeth's
// residuals, the dearest to work out, are left in `paeth` on the way, so
// only a cheaper filter that wins has to be run again.
Filter cheapestFilter(const uint8_t* cur, const uint8_t* prev, uint8_t* paeth, size_t n, size_t b) {
  uint64_t sum[4] = {};  // sub, up, average, paeth
  // The first pixel has nothing on its left: Paeth then predicts from above.
  for (size_t i = 0; i < b && i < n; ++i) {
    sum[0] += magnitude(cur[i]);
    sum[1] += magnitude(uint8_t(cur[i] - prev[i]));
    sum[2] += magnitude(uint8_t(cur[i] - (prev[i] >> 1)));
    paeth[i] = uint8_t(cur[i] - prev[i]);
    sum[3] += magnitude(paeth[i]);
  }
  size_t i = b;
#ifdef __SSE2__
  const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
  __m128i acc[4] = {zero, zero, zero, zero};
  // |r| as a signed byte is min(r, -r) as unsigned ones; sad adds them up.
  auto add = [&](__m128i& to, __m128i r) {
    to = _mm_add_epi64(to, _mm_sad_epu8(_mm_min_epu8(r, _mm_sub_epi8(zero, r)), zero));
  };
  auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  for (; i + 16 <= n; i += 16) {
    const __m128i x = load(cur + i), a = load(cur + i - b), up = load(prev + i), c = load(prev + i - b);
    // Flat colour, as most of an interface is, leaves nothing under any
    // filter.
    const __m128i flat = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(x, a), _mm_cmpeq_epi8(x, up)), _mm_cmpeq_epi8(up, c));
    if (_mm_movemask_epi8(flat) == 0xffff) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(paeth + i), zero);
      continue;
    }
    add(acc[0], _mm_sub_epi8(x, a));
    add(acc[1], _mm_sub_epi8(x, up));
    // avg_epu8 rounds up; the filter's average rounds down.
    const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(a, up), _mm_and_si128(_mm_xor_si128(a, up), one));
    add(acc[2], _mm_sub_epi8(x, mean));
    const __m128i lo = paethPredict8(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(up, zero),
                                     _mm_unpacklo_epi8(c, zero));
    const __m128i hi = paethPredict8(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(up, zero),
                                     _mm_unpackhi_epi8(c, zero));
    const __m128i r = _mm_sub_epi8(x, _mm_packus_epi16(lo, hi));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(paeth + i), r);
    add(acc[3], r);
  }
  for (int f = 0; f < 4; ++f) {
    uint64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), acc[f]);
    sum[f] += lanes[0] + lanes[1];
  }
#endif
  for (; i < n; ++i) {
    const uint8_t x = cur[i], a = cur[i - b], up = prev[i];
    sum[0] += magnitude(uint8_t(x - a));
    sum[1] += magnitude(uint8_t(x - up));
    sum[2] += magnitude(uint8_t(x - ((a + up) >> 1)));
    paeth[i] = uint8_t(x - paethPredict(a, up, prev[i - b]));
    sum[3] += magnitude(paeth[i]);
  }
  const Filter order[4] = {Filter::sub, Filter::up, Filter::average, Filter::paeth};
  int best = 0;
  for (int f = 1; f < 4; ++f)
    if (sum[f] < sum[best]) best = f;
  return order[best];
}

// Filters a row with the filter that suits it. A row equal to the one above
// is all zeros under Up, which nothing beats, so flat interface rows cost one
// comparison. The first row of the image, with nothing above, takes Sub.
void filterAdaptive(const uint8_t* cur, const uint8_t* prev, uint8_t* out, size_t n, int bpp) {
  if (prev && std::memcmp(cur, prev, n) == 0) {
    out[0] = uint8_t(Filter::up);
    std::memset(out + 1, 0, n);
    return;
  }
  const Filter f = prev ? cheapestFilter(cur, prev, out + 1, n, size_t(bpp)) : Filter::sub;
  if (f == Filter::paeth)
    out[0] = uint8_t(f);
  else
    filterRow(f, cur, prev, out, n, bpp);
}

// ---- Deflate blocks written here ------------------------------------------
//
// Dynamic-Huffman deflate blocks with codes fitted to each band, in two kinds.
// Literal blocks hold every byte as its own code: zlib's Z_HUFFMAN_ONLY does
// the same but passes every byte through its match bookkeeping; written
// directly it is a table look-up and a shift a byte. Match blocks hold what a
// greedy LZ77 pass found: one hash probe, the same bytes one row up and a
// run of the byte before.

constexpr int kEndOfBlock = 256;
constexpr int kLiterals = 257;      // 0-255 and the end of block
constexpr int kLitLenCodes = 286;   // and the length codes 257-285
constexpr int kDistanceCodes = 30;
constexpr int kMinMatch = 3;
constexpr int kMaxMatch = 258;
constexpr size_t kWindow = 32768;

// Code lengths for `n` symbols (at most kLitLenCodes) from their counts
// (0 = unused), none longer than `maxBits`. Minimum-redundancy lengths
// computed in place (Moffat and Katajainen), then, if too long, lengths are
// moved up until the code fits.
void codeLengths(const uint32_t* counts, int n, int maxBits, uint8_t* lengths) {
  struct Sym {
    uint32_t count;
    uint16_t symbol;
  };
  Sym syms[kLitLenCodes];
  int used = 0;
  for (int i = 0; i < n; ++i) {
    lengths[i] = 0;
    if (counts[i]) syms[used++] = {counts[i], uint16_t(i)};
  }
  if (used == 0) return;
  if (used == 1) {  // a code needs two symbols; the second is never sent
    lengths[syms[0].symbol] = 1;
    lengths[syms[0].symbol == 0 ? 1 : 0] = 1;
    return;
  }
  std::sort(syms, syms + used, [](const Sym& a, const Sym& b) { return a.count < b.count; });
  uint32_t a[kLitLenCodes];
  for (int i = 0; i < used; ++i) a[i] = syms[i].count;
  // Phase 1: parents' weights, pointing leaves at their parents.
  a[0] += a[1];
  int root = 0, leaf = 2;
  for (int next = 1; next < used - 1; ++next) {
    if (leaf >= used || a[root] < a[leaf]) {
      a[next] = a[root];
      a[root++] = uint32_t(next);
    } else {
      a[next] = a[leaf++];
    }
    if (leaf >= used || (root < next && a[root] < a[leaf])) {
      a[next] += a[root];
      a[root++] = uint32_t(next);
    } else {
      a[next] += a[leaf++];
    }
  }
  // Phase 2: depths of the internal nodes.
  a[used - 2] = 0;
  for (int next = used - 3; next >= 0; --next) a[next] = a[a[next]] + 1;
  // Phase 3: depths of the leaves.
  int available = 1, taken = 0, depth = 0, next = used - 1;
  root = used - 2;
  while (available > 0) {
    while (root >= 0 && int(a[root]) == depth) {
      ++taken;
      --root;
    }
    while (available > taken) {
      a[next--] = uint32_t(depth);
      --available;
    }
    available = 2 * taken;
    ++depth;
    taken = 0;
  }
  // a[i] is now the length of the i-th least frequent symbol. Count lengths,
  // fold the over-long ones into maxBits and split shorter codes until the
  // Kraft sum is exactly one again.
  int perLength[33] = {};
  for (int i = 0; i < used; ++i) ++perLength[std::min<uint32_t>(a[i], 32)];
  for (int l = maxBits + 1; l <= 32; ++l) {
    perLength[maxBits] += perLength[l];
    perLength[l] = 0;
  }
  uint32_t kraft = 0;
  for (int l = 1; l <= maxBits; ++l) kraft += uint32_t(perLength[l]) << (maxBits - l);
  while (kraft > (1u << maxBits)) {
    --perLength[maxBits];
    for (int l = maxBits - 1; l > 0; --l) {
      if (perLength[l]) {
        --perLength[l];
        perLength[l + 1] += 2;
        break;
      }
    }
    --kraft;
  }
  // Longest codes to the rarest symbols.
  int i = 0;
  for (int l = maxBits; l >= 1; --l)
    for (int k = 0; k < perLength[l]; ++k) lengths[syms[i++].symbol] = uint8_t(l);
}

struct ReversedBytes {
  uint8_t bits[256];
  constexpr ReversedBytes() : bits() {
    for (int v = 0; v < 256; ++v) {
      int r = 0;
      for (int b = 0; b < 8; ++b) r |= ((v >> b) & 1) << (7 - b);
      bits[v] = uint8_t(r);
    }
  }
};
constexpr ReversedBytes kReversedBytes;

// Canonical codes for `lengths`, bit-reversed as deflate sends them.
void canonicalCodes(const uint8_t* lengths, int n, uint16_t* codes) {
  int perLength[16] = {};
  for (int i = 0; i < n; ++i) ++perLength[lengths[i]];
  perLength[0] = 0;
  uint32_t next[16] = {};
  uint32_t code = 0;
  for (int l = 1; l < 16; ++l) {
    code = (code + uint32_t(perLength[l - 1])) << 1;
    next[l] = code;
  }
  for (int i = 0; i < n; ++i) {
    const int l = lengths[i];
    if (!l) {
      codes[i] = 0;
      continue;
    }
    // Reversed a byte at a time: bit by bit it was a quarter of planning a
    // block.
    const uint32_t c = next[l]++;
    const uint32_t r = uint32_t(kReversedBytes.bits[c & 0xff]) << 8 | kReversedBytes.bits[(c >> 8) & 0xff];
    codes[i] = uint16_t(r >> (16 - l));
  }
}

// Writes deflate bits least significant first into a buffer with at least 8
// bytes to spare past what is written.
struct BitWriter {
  uint8_t* out = nullptr;
  uint64_t bits = 0;
  int count = 0;

  // Adds up to 56 - count bits; callers flush in between.
  void put(uint32_t value, int n) {
    bits |= uint64_t(value) << count;
    count += n;
  }
  void flush() {
    std::memcpy(out, &bits, 8);
    out += count >> 3;
    bits >>= count & ~7;
    count &= 7;
  }
  // An empty stored block: ends on a byte boundary, as zlib's sync flush
  // does, so that what follows may start a fresh stream of blocks.
  void align(bool final) {
    put(final ? 1 : 0, 3);
    flush();
    if (count) put(0, 8 - count);
    flush();
    put(0xffff0000u, 32);
    flush();
  }
};

// The code-length alphabet's order in a dynamic block header.
constexpr uint8_t kLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Match lengths 3-258 and distances 1-32768 as deflate codes them: a symbol
// and extra bits above the symbol's base.
constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistanceBase[kDistanceCodes] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[kDistanceCodes] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

struct SymbolTables {
  uint8_t lengthSymbol[kMaxMatch + 1];  // minus 257
  // Distances 1-256 by distance - 1, larger ones by 256 + (distance - 1) / 128.
  uint8_t distanceSymbol[512];
  constexpr SymbolTables() : lengthSymbol(), distanceSymbol() {
    for (int s = 0; s < 29; ++s)
      for (int l = kLengthBase[s]; l < (s == 28 ? 259 : kLengthBase[s + 1]) && l <= kMaxMatch; ++l)
        lengthSymbol[l] = uint8_t(s);
    lengthSymbol[kMaxMatch] = 28;  // 258 has its own code, not 284 with all extra bits set
    for (int s = 0; s < kDistanceCodes; ++s) {
      const int last = s + 1 < kDistanceCodes ? kDistanceBase[s + 1] - 1 : 32768;
      for (int d = kDistanceBase[s]; d <= last; ++d) {
        if (d <= 256)
          distanceSymbol[d - 1] = uint8_t(s);
        else
          distanceSymbol[256 + ((d - 1) >> 7)] = uint8_t(s);
      }
    }
  }
};
constexpr SymbolTables kSymbols;

inline int distanceSymbol(uint32_t d) {
  return d <= 256 ? kSymbols.distanceSymbol[d - 1] : kSymbols.distanceSymbol[256 + ((d - 1) >> 7)];
}

// A block's codes and its header, run-length coded as deflate sends it.
struct BlockCodes {
  int litLenSent = kLiterals, distanceSent = 2;  // HLIT + 257, HDIST + 1
  uint8_t lengths[kLitLenCodes + kDistanceCodes];  // literal/length codes, then distance codes
  uint16_t codes[kLitLenCodes + kDistanceCodes];
  uint8_t rle[kLitLenCodes + kDistanceCodes];
  uint8_t rleExtra[kLitLenCodes + kDistanceCodes];
  int rleCount = 0;
  uint8_t clLengths[19];
  uint16_t clCodes[19];
  int clSent = 19;
  size_t bits = 0;  // the whole block
  const uint8_t* distanceLengths() const { return lengths + kLitLenCodes; }
  const uint16_t* distanceCodes() const { return codes + kLitLenCodes; }
};

// Plans one block from its symbol counts (the end of block is counted here):
// codes, header and exact size in bits, extra bits included.
void planBlock(const uint32_t* litLenCounts, const uint32_t* distanceCounts, BlockCodes& b) {
  uint32_t counts[kLitLenCodes];
  std::memcpy(counts, litLenCounts, sizeof counts);
  counts[kEndOfBlock] = 1;
  codeLengths(counts, kLitLenCodes, 15, b.lengths);
  canonicalCodes(b.lengths, kLitLenCodes, b.codes);
  b.litLenSent = kLiterals;
  for (int i = kLitLenCodes - 1; i >= kLiterals; --i)
    if (b.lengths[i]) {
      b.litLenSent = i + 1;
      break;
    }
  uint8_t* dl = b.lengths + kLitLenCodes;
  codeLengths(distanceCounts, kDistanceCodes, 15, dl);
  b.distanceSent = 2;
  for (int i = kDistanceCodes - 1; i >= 2; --i)
    if (dl[i]) {
      b.distanceSent = i + 1;
      break;
    }
  // No matches: two one-bit distance codes, never used, as some decoders
  // refuse a block without any.
  if (!dl[0] && !dl[1] && b.distanceSent == 2) dl[0] = dl[1] = 1;
  canonicalCodes(dl, kDistanceCodes, b.codes + kLitLenCodes);

  // The lengths as the header sends them, literal/length and distance codes
  // in one sequence. Run-length coded: 16 repeats the previous length 3-6
  // times, 17 and 18 give 3-10 and 11-138 zeros.
  uint8_t sent[kLitLenCodes + kDistanceCodes];
  std::memcpy(sent, b.lengths, size_t(b.litLenSent));
  std::memcpy(sent + b.litLenSent, dl, size_t(b.distanceSent));
  const int total = b.litLenSent + b.distanceSent;
  b.rleCount = 0;
  for (int i = 0; i < total;) {
    const uint8_t l = sent[i];
    int run = 1;
    while (i + run < total && sent[i + run] == l) ++run;
    if (l == 0 && run >= 3) {
      const int n = std::min(run, 138);
      if (n >= 11) {
        b.rle[b.rleCount] = 18;
        b.rleExtra[b.rleCount++] = uint8_t(n - 11);
      } else {
        b.rle[b.rleCount] = 17;
        b.rleExtra[b.rleCount++] = uint8_t(n - 3);
      }
      i += n;
    } else if (l != 0 && run >= 4) {
      b.rle[b.rleCount] = l;
      b.rleExtra[b.rleCount++] = 0;
      const int n = std::min(run - 1, 6);
      b.rle[b.rleCount] = 16;
      b.rleExtra[b.rleCount++] = uint8_t(n - 3);
      i += 1 + n;
    } else {
      b.rle[b.rleCount] = l;
      b.rleExtra[b.rleCount++] = 0;
      ++i;
    }
  }
  uint32_t clCounts[19] = {};
  for (int i = 0; i < b.rleCount; ++i) ++clCounts[b.rle[i]];
  codeLengths(clCounts, 19, 7, b.clLengths);
  canonicalCodes(b.clLengths, 19, b.clCodes);
  b.clSent = 19;
  while (b.clSent > 4 && b.clLengths[kLengthOrder[b.clSent - 1]] == 0) --b.clSent;

  size_t bits = 3 + 5 + 5 + 4 + 3 * size_t(b.clSent);
  for (int i = 0; i < b.rleCount; ++i) {
    const int s = b.rle[i];
    bits += b.clLengths[s] + (s == 16 ? 2 : s == 17 ? 3 : s == 18 ? 7 : 0);
  }
  for (int i = 0; i < kLiterals; ++i) bits += size_t(counts[i]) * b.lengths[i];
  for (int i = kLiterals; i < kLitLenCodes; ++i)
    bits += size_t(counts[i]) * (b.lengths[i] + kLengthExtra[i - kLiterals]);
  for (int i = 0; i < kDistanceCodes; ++i) bits += size_t(distanceCounts[i]) * (dl[i] + kDistanceExtra[i]);
  b.bits = bits;
}

void writeHeader(BitWriter& w, const BlockCodes& b) {
  w.put(2 << 1, 3);  // not final, dynamic codes
  w.put(uint32_t(b.litLenSent - 257), 5);
  w.put(uint32_t(b.distanceSent - 1), 5);
  w.put(uint32_t(b.clSent - 4), 4);
  w.flush();
  for (int i = 0; i < b.clSent; ++i) {
    w.put(b.clLengths[kLengthOrder[i]], 3);
    w.flush();
  }
  for (int i = 0; i < b.rleCount; ++i) {
    const int s = b.rle[i];
    w.put(b.clCodes[s], b.clLengths[s]);
    if (s >= 16) w.put(b.rleExtra[i], s == 16 ? 2 : s == 17 ? 3 : 7);
    w.flush();
  }
}

// Literal codes for `n` bytes; `table` holds each byte's code in the low 16
// bits and its length above.
inline void putLiterals(BitWriter& w, const uint32_t* table, const uint8_t* data, size_t n) {
  // A local copy stays in registers: stores through its output pointer
  // could otherwise alias the caller's writer.
  BitWriter l = w;
  auto put = [&l](uint32_t e) { l.put(e & 0xffff, int(e >> 16)); };
  size_t i = 0;
  // Three codes of at most 15 bits fit beside the 7 bits a flush can leave.
  for (; i + 3 <= n; i += 3) {
    put(table[data[i]]);
    put(table[data[i + 1]]);
    put(table[data[i + 2]]);
    l.flush();
  }
  for (; i < n; ++i) put(table[data[i]]);
  l.flush();
  w = l;
}

void literalTable(const BlockCodes& b, uint32_t* table) {
  for (int i = 0; i < 256; ++i) table[i] = uint32_t(b.codes[i]) | uint32_t(b.lengths[i]) << 16;
}

void writeBlock(BitWriter& w, const BlockCodes& b, const uint8_t* data, size_t n) {
  writeHeader(w, b);
  uint32_t table[256];
  literalTable(b, table);
  putLiterals(w, table, data, n);
  w.put(b.codes[kEndOfBlock], b.lengths[kEndOfBlock]);
  w.flush();
}

// ---- Greedy LZ77 -------------------------------------------------------------
//
// Literals, then a match: what one step of the search leaves to code. A
// band's last sequence has no match (length 0).
struct Sequence {
  uint32_t literals;
  uint16_t length;
  uint16_t distance;
};

// Chosen on the screens of bench/png_varied.sh with png_tune: a larger
// table, two entries a slot or entries for the ends of matches all cost more
// time than the 0.1-3% they save.
constexpr int kHashBits = 14;

inline uint32_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// How many bytes from `a` (up to `end`) equal those from `b`, an earlier
// copy of them.
inline size_t matchLength(const uint8_t* a, const uint8_t* b, const uint8_t* end) {
  const uint8_t* const start = a;
#ifdef __SSE2__
  // Sixteen bytes a step: matches on flat screens run to the longest, 258.
  while (a + 16 <= end) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    const unsigned differ = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y))) ^ 0xffffu;
    if (differ) return size_t(a - start) + size_t(__builtin_ctz(differ));
    a += 16;
    b += 16;
  }
#endif
  while (a + 8 <= end) {
    uint64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    if (x != y) return size_t(a - start) + size_t(__builtin_ctzll(x ^ y) >> 3);
    a += 8;
    b += 8;
  }
  while (a < end && *a == *b) ++a, ++b;
  return size_t(a - start);
}

// The match finder of one strip. Positions count the strip's filtered bytes
// from kWindow + 1 on, so that an empty table entry (0) lies out of reach.
struct Matcher {
  std::unique_ptr<uint32_t[]> table{new uint32_t[size_t(1) << kHashBits]()};
  uint32_t next = kWindow + 1;  // the position of the next band's first byte

  // Greedy matching over `n` bytes at `band`, which may reach back
  // `history` bytes before it (at most kWindow): at each byte the longest of
  // the match one byte back, the one one row up (`stride` bytes back) and
  // the one the hash table remembers for the next three bytes, if any holds
  // three bytes. The hash covers three bytes, an RGB pixel: on text, three
  // bytes met again anywhere in the window code smaller as a match than as
  // literals (the spreadsheet screen came out 18% smaller than with four).
  // Counts the symbols the sequences will need; returns how many were
  // stored in `seq` (room for n / kMinMatch + 1).
  size_t find(const uint8_t* band, size_t n, size_t history, size_t stride, Sequence* seq,
              uint32_t* litLenCounts, uint32_t* distanceCounts) {
    if (next > 0x7fffffffu - n) {  // positions about to overflow: start the table afresh
      std::fill(table.get(), table.get() + (size_t(1) << kHashBits), 0u);
      next = kWindow + 1;
      history = 0;
    }
    uint32_t* const t = table.get();
    const uint8_t* const end = band + n;
    const uint8_t* const lowest = band - history;
    const uint32_t base = next - uint32_t(band - lowest);  // the position of `lowest`
    const bool rowAbove = stride > 0 && stride <= kWindow;
    const uint8_t* anchor = band;
    const uint8_t* ip = band;
    size_t count = 0;
    auto countLiterals = [&](const uint8_t* from, const uint8_t* to) {
      for (; from < to; ++from) ++litLenCounts[*from];
    };
    while (ip + 4 <= end) {  // a 32-bit load at ip stays in the band
      const uint32_t cur = load32(ip) & 0xffffff;
      const uint32_t h = (cur * 2654435761u) >> (32 - kHashBits);
      const uint32_t pos = base + uint32_t(ip - lowest);
      const uint32_t candidate = t[h];
      t[h] = pos;
      const uint8_t* const limit = ip + std::min<size_t>(kMaxMatch, size_t(end - ip));
      size_t bestLength = 0, bestDistance = 0;
      // Candidates nearest first: on equal lengths the nearer costs fewer
      // extra bits. A run of one byte value (Up-filtered flat rows are runs
      // of zeros) is cheapest as a match one byte back.
      auto consider = [&](size_t distance) {
        const uint8_t* m = ip - distance;
        if ((load32(m) & 0xffffff) != cur) return;
        const size_t length = kMinMatch + matchLength(ip + kMinMatch, m + kMinMatch, limit);
        if (length > bestLength) {
          bestLength = length;
          bestDistance = distance;
        }
      };
      if (ip > lowest && cur == ip[-1] * 0x010101u) consider(1);
      const uint32_t distance = pos - candidate;
      const bool hashed = distance <= kWindow && distance <= size_t(ip - lowest) && distance > 1;
      const bool above = rowAbove && size_t(ip - lowest) >= stride && stride > 1 && stride != distance;
      if (hashed && above && stride < distance) {
        consider(stride);
        if (bestLength < kMaxMatch) consider(distance);
      } else {
        if (hashed && bestLength < kMaxMatch) consider(distance);
        if (above && bestLength < kMaxMatch) consider(stride);
      }
      if (bestLength < size_t(kMinMatch)) {
        ++ip;
        continue;
      }
      countLiterals(anchor, ip);
      seq[count++] = {uint32_t(ip - anchor), uint16_t(bestLength), uint16_t(bestDistance)};
      ++litLenCounts[kLiterals + kSymbols.lengthSymbol[bestLength]];
      ++distanceCounts[distanceSymbol(uint32_t(bestDistance))];
      ip += bestLength;
      anchor = ip;
    }
    countLiterals(anchor, end);
    seq[count++] = {uint32_t(end - anchor), 0, 0};
    next += uint32_t(n);
    return count;
  }
};

// Writes one block of the sequences `seq` found in `data`.
void writeMatchBlock(BitWriter& w, const BlockCodes& b, const uint8_t* data, const Sequence* seq, size_t count) {
  writeHeader(w, b);
  uint32_t literals[256];
  literalTable(b, literals);
  // Each length's code with its extra bits above it, and the bits in all.
  uint32_t lengthBits[kMaxMatch + 1];
  uint8_t lengthCount[kMaxMatch + 1];
  for (int l = 3; l <= kMaxMatch; ++l) {
    const int s = kSymbols.lengthSymbol[l];
    const int codeLength = b.lengths[kLiterals + s];
    lengthBits[l] = uint32_t(b.codes[kLiterals + s]) | uint32_t(l - kLengthBase[s]) << codeLength;
    lengthCount[l] = uint8_t(codeLength + kLengthExtra[s]);
  }
  const uint8_t* dl = b.distanceLengths();
  const uint16_t* dc = b.distanceCodes();
  for (size_t i = 0; i < count; ++i) {
    const Sequence& q = seq[i];
    putLiterals(w, literals, data, q.literals);
    data += q.literals;
    if (!q.length) break;
    // At most 20 + 28 bits beside the 7 a flush leaves.
    w.put(lengthBits[q.length], lengthCount[q.length]);
    const int s = distanceSymbol(q.distance);
    w.put(uint32_t(dc[s]) | uint32_t(q.distance - kDistanceBase[s]) << dl[s], dl[s] + kDistanceExtra[s]);
    w.flush();
    data += q.length;
  }
  w.put(b.codes[kEndOfBlock], b.lengths[kEndOfBlock]);
  w.flush();
}

// Stored blocks, for data that no code makes smaller.
void writeStored(BitWriter& w, const uint8_t* data, size_t n) {
  while (n > 0) {
    const size_t len = std::min<size_t>(n, 65535);
    w.put(0, 3);  // not final, stored
    w.flush();
    if (w.count) w.put(0, 8 - w.count);
    w.put(uint32_t(len) | uint32_t(~len & 0xffff) << 16, 32);
    w.flush();
    std::memcpy(w.out, data, len);
    w.out += len;
    data += len;
    n -= len;
  }
}

size_t storedBytes(size_t n) { return n + 5 * (n / 65535 + 1); }

// Adds how often each byte value occurs in `data` to `counts`.
void countBytes(const uint8_t* data, size_t n, uint32_t* counts) {
  // Four tables, so that runs of one value do not wait on their own stores.
  uint32_t c[4][256] = {};
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    ++c[0][data[i]];
    ++c[1][data[i + 1]];
    ++c[2][data[i + 2]];
    ++c[3][data[i + 3]];
  }
  for (; i < n; ++i) ++c[0][data[i]];
  for (int v = 0; v < 256; ++v) counts[v] += c[0][v] + c[1][v] + c[2][v] + c[3][v];
}

// Codes for `n` bytes written as literals alone.
void planLiterals(const uint8_t* data, size_t n, BlockCodes& b) {
  uint32_t counts[kLitLenCodes] = {}, none[kDistanceCodes] = {};
  countBytes(data, n, counts);
  planBlock(counts, none, b);
}

// Bytes equal to the byte above or to the same channel's byte on the left,
// over every fourth row of rows `stride` apart (each compared with the one
// before it), as a count per byte of the rows compared: high on
// interface content, whose flat areas, text backgrounds and gradients repeat
// along one axis or the other, low on photographs, where noise breaks both.
size_t repeated(const uint8_t* rows, size_t stride, size_t rowBytes, int bpp, int n, int* rowsCompared) {
  size_t same = 0;
  *rowsCompared = 0;
  const size_t b = size_t(bpp);
  for (int r = 1; r < n; r += 4) {
    const uint8_t* cur = rows + size_t(r) * stride;
    const uint8_t* up = cur - stride;
    uint32_t s = 0;
    for (size_t i = 0; i < b && i < rowBytes; ++i) s += cur[i] == up[i];
    size_t i = b;
#ifdef __SSE2__
    // Equal bytes are counted per lane (a match is -1, so subtracting adds
    // one), at most 255 steps before the lanes are summed with sad.
    const __m128i zero = _mm_setzero_si128();
    while (i + 16 <= rowBytes) {
      __m128i counts = zero;
      for (int step = 0; step < 255 && i + 16 <= rowBytes; ++step, i += 16) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + i));
        const __m128i same =
            _mm_or_si128(_mm_cmpeq_epi8(c, _mm_loadu_si128(reinterpret_cast<const __m128i*>(up + i))),
                         _mm_cmpeq_epi8(c, _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + i - b))));
        counts = _mm_sub_epi8(counts, same);
      }
      const __m128i sums = _mm_sad_epu8(counts, zero);
      s += uint32_t(_mm_cvtsi128_si32(sums)) + uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
#endif
    for (; i < rowBytes; ++i) s += (cur[i] == up[i]) | (cur[i] == cur[i - b]);
    same += s;
    ++*rowsCompared;
  }
  return same;
}

// Pixel pairs of one row met before in that row, out of those probed: what
// a match search would find there. Text drawn without a flat background,
// hatching and dithering repeat at a distance and little next door, and
// matching still halves them; photographs repeat neither way.
size_t pairRepeats(const uint8_t* row, int width, int bpp, size_t* probed) {
  constexpr int kBits = 12;
  int32_t last[1 << kBits];
  std::fill(std::begin(last), std::end(last), -1);
  size_t hits = 0;
  *probed = 0;
  const size_t pair = size_t(bpp) * 2;
  for (int x = 0; x + 1 < width; x += 2) {
    const uint8_t* p = row + size_t(x) * bpp;
    uint64_t v = 0;
    std::memcpy(&v, p, pair);
    const uint32_t h = uint32_t((v * 0x9e3779b97f4a7c15ull) >> (64 - kBits));
    const int32_t seen = last[h];
    if (seen >= 0 && std::memcmp(row + size_t(seen) * bpp, p, pair) == 0) ++hits;
    last[h] = x;
    ++*probed;
  }
  return hits;
}

// One band for the greedy LZ77 coder: its sequences and codes, its bytes
// as literals when that is smaller, or stored when no code makes it smaller.
struct MatchBand {
  BlockCodes codes;
  size_t sequences = 0;
  bool literal = false;
  bool stored = false;
  size_t bytes = 0;  // room the band needs in the output
};

// What the band before came to, for the next band's guess.
struct LastBand {
  size_t literalBits = 0, length = 0;  // set when its literals clearly beat its matches
};

// Literal bits for the band guessed from every fourth of its `rows` rows.
size_t guessLiterals(const uint8_t* band, size_t rows, size_t stride) {
  uint32_t counts[kLitLenCodes] = {}, none[kDistanceCodes] = {};
  for (size_t r = 0; r < rows; r += 4) countBytes(band + r * stride, stride, counts);
  BlockCodes b;
  planBlock(counts, none, b);
  return b.bits * rows / ((rows + 3) / 4);
}

void planMatchBand(Matcher& m, std::vector<Sequence>& seq, const uint8_t* band, size_t len, size_t history,
                   size_t stride, MatchBand& plan, LastBand& last) {
  auto finish = [&] {
    plan.stored = (plan.codes.bits + 7) / 8 >= storedBytes(len);
    plan.bytes = plan.stored ? storedBytes(len) + 8 : (plan.codes.bits + 7) / 8 + 16;
  };
  // The residuals of smooth gradients (a wallpaper, a blurred panel) repeat
  // little beyond three or four bytes, and such short matches cost more than
  // the bytes they stand for under a code fitted to those bytes alone: such
  // a band is written as literals. Its literals are guessed first from every
  // fourth row, and counted whole only when the guess may win.
  const size_t rows = stride ? len / stride : 0;
  size_t guess = 0;
  if (last.length && rows >= 8) {
    // The band before went to literals by a tenth or more. A band whose
    // guessed literals cost within a twentieth of the same per byte is more
    // of that content (a window's edge or text would change the bytes'
    // spread), and the match search, the dearest part, is left out.
    guess = guessLiterals(band, rows, stride);
    const double rate = double(guess) / double(len), before = double(last.literalBits) / double(last.length);
    if (rate > before * 0.95 && rate < before * 1.05) {
      planLiterals(band, len, plan.codes);
      plan.literal = true;
      m.next += uint32_t(len);
      last.literalBits = plan.codes.bits, last.length = len;
      return finish();
    }
  }
  last = {};
  uint32_t counts[kLitLenCodes] = {}, distances[kDistanceCodes] = {};
  if (seq.size() < len / kMinMatch + 1) seq.resize(len / kMinMatch + 1);
  plan.sequences = m.find(band, len, history, stride, seq.data(), counts, distances);
  planBlock(counts, distances, plan.codes);
  // A literal costs at least one bit, so a band the matches took to a bit a
  // byte or less is not counted again.
  if (plan.codes.bits > len) {
    if (!guess && rows >= 8) guess = guessLiterals(band, rows, stride);
    if (rows < 8 || guess < plan.codes.bits) {
      BlockCodes literals;
      planLiterals(band, len, literals);
      if (literals.bits < plan.codes.bits) {
        if (literals.bits * 10 <= plan.codes.bits * 9) last.literalBits = literals.bits, last.length = len;
        plan.codes = literals;
        plan.literal = true;
      }
    }
  }
  finish();
}

void writeMatchBand(BitWriter& w, const MatchBand& plan, const std::vector<Sequence>& seq, const uint8_t* band,
                    size_t len) {
  if (plan.stored)
    writeStored(w, band, len);
  else if (plan.literal)
    writeBlock(w, plan.codes, band, len);
  else
    writeMatchBlock(w, plan.codes, band, seq.data(), plan.sequences);
}

// ---- Strips ----------------------------------------------------------------

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

// Rows are handled in bands of about this many bytes: small enough to stay
// in the cache between unpacking, filtering and coding, large enough that a
// block's code table costs nothing beside its data.
constexpr size_t kBandBytes = 96 * 1024;

void compressStrip(Strip& s, const uint8_t* pixels, int width, int stride, bool opaque,
                   const Options& opt, const std::atomic<int>* ready) {
  const int bpp = opaque ? 3 : 4;
  const size_t rowBytes = size_t(width) * bpp;
  const size_t line = rowBytes + 1;  // unpacked rows keep the spare byte unpackRow writes
  const int bandRows = int(std::clamp<size_t>(kBandBytes / line, 1, 64));
  // Unpacked rows: the row above the band, then the band.
  std::vector<uint8_t> rows(line * size_t(bandRows + 1));
  // Filtered rows: the last kWindow bytes of the strip before the band
  // (what matches may reach back to), then the band.
  std::vector<uint8_t> filtered(kWindow + line * size_t(bandRows));
  uint8_t* const bandData = filtered.data() + kWindow;
  size_t history = 0;  // filtered bytes of this strip before bandData, up to kWindow

  const Strategy interface = opt.strategy == Strategy::automatic ? opt.interfaceStrategy : opt.strategy;
  z_stream z{};
  bool zlibReady = false;
  // Raw deflate: the zlib header and checksum are written once for the whole
  // image, around the joined strips. Set up on the first band zlib codes.
  auto zlibInit = [&] {
    const int zStrategy = interface == Strategy::rle ? Z_RLE : Z_DEFAULT_STRATEGY;
    zlibReady = deflateInit2(&z, opt.level, Z_DEFLATED, -15, 8, zStrategy) == Z_OK;
    return zlibReady;
  };
  auto zlibEnd = [&] {
    if (zlibReady) deflateEnd(&z);
  };
  Matcher matcher;
  std::vector<Sequence> sequences;
  LastBand bandBefore;
  const int bands = (s.rows + bandRows - 1) / bandRows;
  s.capacity = deflateBound(nullptr, uLong(line * s.rows)) + 64 * size_t(bands) + 64;
  s.deflated.reset(new uint8_t[s.capacity]);
  size_t at = 0;  // output written so far
  // Room for `n` more bytes (and the 8 a bit writer may store past them).
  auto reserve = [&](size_t n) {
    if (at + n + 8 <= s.capacity) return;
    const size_t bigger = std::max(s.capacity * 2, at + n + 8);
    std::unique_ptr<uint8_t[]> b(new uint8_t[bigger]);
    std::memcpy(b.get(), s.deflated.get(), at);
    s.deflated = std::move(b);
    s.capacity = bigger;
  };

  // Between bands the output switches between zlib and our own blocks
  // (literals, or the greedy matcher's). Each side leaves the stream on a
  // byte boundary (zlib with a sync flush, our blocks with an empty stored
  // block) and zlib starts afresh after our blocks, as its window would not
  // hold their bytes. Our matcher reaches back into any band before it in
  // the strip, whoever coded it: `filtered` keeps the last kWindow bytes.
  bool zlibOpen = false;   // zlib has taken input since its last flush
  bool zlibFresh = true;   // nothing sent through zlib since the last reset
  bool bitsOpen = false;   // our blocks written since the last boundary
  BitWriter bw;
  auto zlibRun = [&](const uint8_t* data, size_t n, int flush) {
    z.next_in = const_cast<uint8_t*>(data);
    z.avail_in = uInt(n);
    int rc;
    do {
      if (s.capacity - at < 64) reserve(s.capacity);
      z.next_out = s.deflated.get() + at;
      z.avail_out = uInt(std::min<size_t>(s.capacity - at, UINT32_MAX));
      rc = deflate(&z, flush);
      at = size_t(z.next_out - s.deflated.get());
      if (rc == Z_STREAM_ERROR) return false;
    } while (z.avail_in > 0 || (flush == Z_FINISH && rc != Z_STREAM_END) ||
             (flush != Z_NO_FLUSH && z.avail_out == 0));
    return true;
  };
  auto closeBits = [&](bool final) {
    reserve(16);
    bw.out = s.deflated.get() + at;
    bw.align(final);
    at = size_t(bw.out - s.deflated.get());
    bw = BitWriter{};
    bitsOpen = false;
  };

  // Filters look one row up; the first row of a strip still sees the last
  // row of the strip above, so the joined stream decodes as one image.
  waitForRow(ready, s.firstRow);
  if (s.firstRow > 0) unpackRow(pixels + size_t(s.firstRow - 1) * stride, rows.data(), width, opaque);
  for (int b = 0; b < bands; ++b) {
    const int first = s.firstRow + b * bandRows;
    const int n = std::min(bandRows, s.firstRow + s.rows - first);
    const bool lastBand = b == bands - 1;
    uint8_t* band = rows.data() + line;
    for (int r = 0; r < n; ++r) {
      waitForRow(ready, first + r);
      unpackRow(pixels + size_t(first + r) * stride, band + size_t(r) * line, width, opaque);
    }
    const bool hasAbove = first > 0;
    bool literal = opt.strategy == Strategy::huffman;
    if (opt.strategy == Strategy::automatic) {
      const uint8_t* from = hasAbove ? rows.data() : band;
      const int compared = hasAbove ? n : n - 1;
      if (compared > 0) {
        int sampled = 0;
        const size_t same = repeated(from, line, rowBytes, bpp, compared + 1, &sampled);
        literal = same * 256 < size_t(opt.photoBelow) * rowBytes * size_t(sampled);
        if (literal) {
          size_t probed = 0;
          const size_t hits = pairRepeats(band + size_t(n / 2) * line, width, bpp, &probed);
          literal = hits * 256 < size_t(opt.photoMatchesBelow) * probed;
        }
      }
    }
    const Filter f = opt.strategy == Strategy::automatic && literal ? opt.photoFilter : opt.filter;
    for (int r = 0; r < n; ++r) {
      const uint8_t* cur = band + size_t(r) * line;
      const uint8_t* above = first + r > 0 ? cur - line : nullptr;
      uint8_t* o = bandData + size_t(r) * line;
      if (f == Filter::adaptive)
        filterAdaptive(cur, above, o, rowBytes, bpp);
      else
        filterRow(f, cur, above, o, rowBytes, bpp);
    }
    const size_t len = line * size_t(n);
    s.adler = libdeflate_adler32(uint32_t(s.adler), bandData, len);
    s.rawLength += len;

    if (literal) {
      if (zlibOpen) {
        if (!zlibRun(nullptr, 0, Z_SYNC_FLUSH)) return zlibEnd();
        zlibOpen = false;
      }
      BlockCodes block;
      planLiterals(bandData, len, block);
      const bool stored = (block.bits + 7) / 8 >= storedBytes(len);
      reserve(stored ? storedBytes(len) + 8 : (block.bits + 7) / 8 + 16);
      if (!bitsOpen) bw = BitWriter{};
      bw.out = s.deflated.get() + at;
      if (stored)
        writeStored(bw, bandData, len);
      else
        writeBlock(bw, block, bandData, len);
      // Whole bytes are in place; the bits of a partial one stay in bw.
      at = size_t(bw.out - s.deflated.get());
      bitsOpen = true;
      matcher.next += uint32_t(len);
    } else if (interface == Strategy::fast) {
      if (zlibOpen) {
        if (!zlibRun(nullptr, 0, Z_SYNC_FLUSH)) return zlibEnd();
        zlibOpen = false;
      }
      MatchBand plan;
      planMatchBand(matcher, sequences, bandData, len, history, line, plan, bandBefore);
      reserve(plan.bytes);
      if (!bitsOpen) bw = BitWriter{};
      bw.out = s.deflated.get() + at;
      writeMatchBand(bw, plan, sequences, bandData, len);
      at = size_t(bw.out - s.deflated.get());
      bitsOpen = true;
    } else {
      if (!zlibReady && !zlibInit()) return;
      if (bitsOpen) {
        closeBits(false);
        if (!zlibFresh) deflateReset(&z);
        zlibFresh = true;
      }
      // A row at a time: zlib copies less than when given the whole band.
      for (int r = 0; r < n; ++r)
        if (!zlibRun(bandData + size_t(r) * line, line, Z_NO_FLUSH)) return zlibEnd();
      zlibOpen = true;
      zlibFresh = false;
      matcher.next += uint32_t(len);
    }
    if (lastBand) {
      if (bitsOpen)
        closeBits(s.last);
      else if (!zlibRun(nullptr, 0, s.last ? Z_FINISH : Z_SYNC_FLUSH))
        return zlibEnd();
    }
    if (!lastBand) {
      std::memcpy(rows.data(), band + size_t(n - 1) * line, rowBytes);
      // The window for the next band: the newest kWindow filtered bytes.
      const size_t keep = std::min(kWindow, history + len);
      std::memmove(bandData - keep, bandData + len - keep, keep);
      history = keep;
    }
  }
  s.length = at;
  zlibEnd();
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

namespace detail {

void huffmanLengths(const uint32_t* counts, int n, int maxBits, uint8_t* lengths) {
  if (n > kLitLenCodes) n = kLitLenCodes;
  codeLengths(counts, n, maxBits, lengths);
}

std::vector<uint8_t> zlibFast(const uint8_t* data, size_t n, size_t stride, size_t bandBytes) {
  bandBytes = std::max<size_t>(bandBytes, 1);
  std::vector<uint8_t> window(kWindow + bandBytes);
  uint8_t* const band = window.data() + kWindow;
  std::vector<uint8_t> out(2);
  out[0] = 0x78;
  out[1] = 0x01;
  Matcher matcher;
  std::vector<Sequence> sequences;
  LastBand bandBefore;
  BitWriter w;
  size_t history = 0;
  for (size_t at = 0; at < n;) {
    const size_t len = std::min(bandBytes, n - at);
    std::memcpy(band, data + at, len);
    MatchBand plan;
    planMatchBand(matcher, sequences, band, len, history, stride, plan, bandBefore);
    // The bit writer's partial byte stays in w; whole bytes go to `out`.
    const size_t done = out.size();
    out.resize(done + plan.bytes + 16);
    w.out = out.data() + done;
    writeMatchBand(w, plan, sequences, band, len);
    out.resize(size_t(w.out - out.data()));
    at += len;
    const size_t keep = std::min(kWindow, history + len);
    std::memmove(band - keep, band + len - keep, keep);
    history = keep;
  }
  const size_t done = out.size();
  out.resize(done + 32);
  w.out = out.data() + done;
  w.align(true);
  out.resize(size_t(w.out - out.data()));
  const uint32_t adler = libdeflate_adler32(1, data, n);
  put32(out, adler);
  return out;
}

}  // namespace detail

}  // namespace nimbo::png
