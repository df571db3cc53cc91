#include "recording/yuv.h"

#include <QThread>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cstddef>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace nimbo {

namespace {

// Columns [fromX, width) of rows [firstRow, endRow), fromX even.
void convertColumns(const uint8_t* src, int srcStride, int fromX, int width, int firstRow, int endRow, uint8_t* y,
                    int yStride, uint8_t* u, uint8_t* v, int chromaStride) {
  // Fixed-point BT.709 coefficients scaled to the 16–235 / 16–240 ranges.
  for (int row = firstRow; row < endRow; row += 2) {
    const uint8_t* r0 = src + size_t(row) * size_t(srcStride);
    const uint8_t* r1 = r0 + srcStride;
    uint8_t* y0 = y + size_t(row) * size_t(yStride);
    uint8_t* y1 = y0 + yStride;
    for (int x = fromX; x < width; ++x) {
      const uint8_t* a = r0 + 4 * x;
      const uint8_t* b = r1 + 4 * x;
      y0[x] = uint8_t(16 + ((47 * a[2] + 157 * a[1] + 16 * a[0] + 128) >> 8));
      y1[x] = uint8_t(16 + ((47 * b[2] + 157 * b[1] + 16 * b[0] + 128) >> 8));
    }
    uint8_t* up = u + size_t(row / 2) * size_t(chromaStride);
    uint8_t* vp = v + size_t(row / 2) * size_t(chromaStride);
    for (int x = fromX / 2; x < width / 2; ++x) {
      const uint8_t* a = r0 + 8 * x;
      const uint8_t* b = r1 + 8 * x;
      const int B = a[0] + a[4] + b[0] + b[4], G = a[1] + a[5] + b[1] + b[5], R = a[2] + a[6] + b[2] + b[6];
      up[x] = uint8_t(128 + ((-26 * R - 87 * G + 113 * B + 512) >> 10));
      vp[x] = uint8_t(128 + ((113 * R - 102 * G - 11 * B + 512) >> 10));
    }
  }
}

#if defined(__x86_64__)
// The same sums, 32 pixels of two rows at a time, with the same integer
// arithmetic, so the result is identical to the loop above. Each pixel's
// dword is split into B,R and G,X words; pmaddwd weighs a pair at once.
#define NIMBO_AVX2 __attribute__((target("avx2"))) inline

// Eight pixels' luma (before the offset of 16), and their B,R and G,X words.
NIMBO_AVX2 __m256i splitPixels(__m256i p, __m256i& br, __m256i& gx) {
  const __m256i bytes = _mm256_set1_epi32(0x00ff00ff);
  br = _mm256_and_si256(p, bytes);
  gx = _mm256_and_si256(_mm256_srli_epi32(p, 8), bytes);
  const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(br, _mm256_set1_epi32((47 << 16) | 16)),
                                       _mm256_madd_epi16(gx, _mm256_set1_epi32(157)));
  return _mm256_srli_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(128)), 8);
}

NIMBO_AVX2 void storeLuma(uint8_t* to, const __m256i* l) {
  const __m256i packed = _mm256_packus_epi16(_mm256_packus_epi32(l[0], l[1]), _mm256_packus_epi32(l[2], l[3]));
  // The packs work within 128-bit lanes: put the four groups of four back in order.
  const __m256i inOrder = _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), _mm256_add_epi8(inOrder, _mm256_set1_epi8(16)));
}

NIMBO_AVX2 __m256i finishChroma(__m256i sum) {
  return _mm256_add_epi32(_mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(512)), 10),
                          _mm256_set1_epi32(128));
}

// Sixteen chroma samples from the weighted column sums of 32 pixels (the
// horizontal adds join each pair of columns).
NIMBO_AVX2 void storeChroma(uint8_t* to, const __m256i* s) {
  const __m256i words = _mm256_packs_epi32(finishChroma(_mm256_hadd_epi32(s[0], s[1])),
                                           finishChroma(_mm256_hadd_epi32(s[2], s[3])));
  const __m256i bytes = _mm256_packus_epi16(words, words);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to),
                   _mm_unpacklo_epi16(_mm256_castsi256_si128(bytes), _mm256_extracti128_si256(bytes, 1)));
}

// Columns [fromX, toX), fromX even; returns the end of the columns done, 32
// at a time.
__attribute__((target("avx2"))) int convertAvx2(const uint8_t* src, int srcStride, int fromX, int toX,
                                                int firstRow, int endRow, uint8_t* y, int yStride, uint8_t* u,
                                                uint8_t* v, int chromaStride) {
  const int wide = fromX + ((toX - fromX) & ~31);
  const __m256i uBR = _mm256_set1_epi32((-26 << 16) | 113), uG = _mm256_set1_epi32(-87 & 0xffff);
  const __m256i vBR = _mm256_set1_epi32((113 << 16) | (-11 & 0xffff)), vG = _mm256_set1_epi32(-102 & 0xffff);
  for (int row = firstRow; row < endRow; row += 2) {
    const uint8_t* r0 = src + size_t(row) * size_t(srcStride);
    const uint8_t* r1 = r0 + srcStride;
    uint8_t* y0 = y + size_t(row) * size_t(yStride);
    uint8_t* up = u + size_t(row / 2) * size_t(chromaStride);
    uint8_t* vp = v + size_t(row / 2) * size_t(chromaStride);
    for (int x = fromX; x < wide; x += 32) {
      __m256i l0[4], l1[4], us[4], vs[4];
      for (int k = 0; k < 4; ++k) {
        __m256i br0, gx0, br1, gx1;
        l0[k] = splitPixels(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + 4 * x + 32 * k)), br0, gx0);
        l1[k] = splitPixels(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1 + 4 * x + 32 * k)), br1, gx1);
        const __m256i br = _mm256_add_epi16(br0, br1), gx = _mm256_add_epi16(gx0, gx1);
        us[k] = _mm256_add_epi32(_mm256_madd_epi16(br, uBR), _mm256_madd_epi16(gx, uG));
        vs[k] = _mm256_add_epi32(_mm256_madd_epi16(br, vBR), _mm256_madd_epi16(gx, vG));
      }
      storeLuma(y0 + x, l0);
      storeLuma(y0 + yStride + x, l1);
      storeChroma(up + x / 2, us);
      storeChroma(vp + x / 2, vs);
    }
  }
  return wide;
}

#undef NIMBO_AVX2

bool hasAvx2() {
  static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  return has;
}
#else
int convertAvx2(const uint8_t*, int, int fromX, int, int, int, uint8_t*, int, uint8_t*, uint8_t*, int) { return fromX; }
bool hasAvx2() { return false; }
#endif

// Columns [left, right) of rows [top, bottom), all even: the vector loop as
// far as it goes, the portable one for the rest.
void convertArea(const uint8_t* src, int srcStride, int left, int right, int top, int bottom, uint8_t* y,
                 int yStride, uint8_t* u, uint8_t* v, int chromaStride, bool vectors) {
  const int done = vectors && hasAvx2()
                       ? convertAvx2(src, srcStride, left, right, top, bottom, y, yStride, u, v, chromaStride)
                       : left;
  if (done < right) convertColumns(src, srcStride, done, right, top, bottom, y, yStride, u, v, chromaStride);
}

}  // namespace

void bgrxToI420(const uint8_t* src, int srcStride, int width, int firstRow, int endRow, uint8_t* y, int yStride,
                uint8_t* u, uint8_t* v, int chromaStride, bool vectors) {
  convertArea(src, srcStride, 0, width, firstRow, endRow, y, yStride, u, v, chromaStride, vectors);
}

void bgrxToI420Area(const uint8_t* src, int srcStride, int width, int height, int left, int top, int right,
                    int bottom, uint8_t* y, int yStride, uint8_t* u, uint8_t* v, int chromaStride) {
  left = std::clamp(left, 0, width) & ~1, top = std::clamp(top, 0, height) & ~1;
  right = std::min(width, (std::clamp(right, 0, width) + 1) & ~1);
  bottom = std::min(height, (std::clamp(bottom, 0, height) + 1) & ~1);
  if (left < right && top < bottom)
    convertArea(src, srcStride, left, right, top, bottom, y, yStride, u, v, chromaStride, true);
}

void bgrxToI420Parallel(const uint8_t* src, int srcStride, int width, int height, uint8_t* y, int yStride, uint8_t* u,
                        uint8_t* v, int chromaStride) {
  // Two bands: this thread takes the top one while a pool thread takes the
  // bottom one (a 1080p frame is about a millisecond of CPU with AVX2, two
  // or three without; more bands cost more than they give on small
  // machines).
  if (QThread::idealThreadCount() < 2 || height < 64) {
    bgrxToI420(src, srcStride, width, 0, height, y, yStride, u, v, chromaStride);
    return;
  }
  const int split = (height / 2) & ~1;
  QFuture<void> bottom = QtConcurrent::run(
      [=] { bgrxToI420(src, srcStride, width, split, height, y, yStride, u, v, chromaStride); });
  bgrxToI420(src, srcStride, width, 0, split, y, yStride, u, v, chromaStride);
  bottom.waitForFinished();
}

}  // namespace nimbo
