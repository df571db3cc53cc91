#include "recording/yuv.h"

#include <QThread>
#include <QtConcurrent/QtConcurrentRun>

#include <cstddef>

namespace nimbo {

void bgrxToI420(const uint8_t* src, int srcStride, int width, int firstRow, int endRow, uint8_t* y, int yStride,
                uint8_t* u, uint8_t* v, int chromaStride) {
  // Fixed-point BT.709 coefficients scaled to the 16–235 / 16–240 ranges.
  for (int row = firstRow; row < endRow; row += 2) {
    const uint8_t* r0 = src + size_t(row) * size_t(srcStride);
    const uint8_t* r1 = r0 + srcStride;
    uint8_t* y0 = y + size_t(row) * size_t(yStride);
    uint8_t* y1 = y0 + yStride;
    for (int x = 0; x < width; ++x) {
      const uint8_t* a = r0 + 4 * x;
      const uint8_t* b = r1 + 4 * x;
      y0[x] = uint8_t(16 + ((47 * a[2] + 157 * a[1] + 16 * a[0] + 128) >> 8));
      y1[x] = uint8_t(16 + ((47 * b[2] + 157 * b[1] + 16 * b[0] + 128) >> 8));
    }
    uint8_t* up = u + size_t(row / 2) * size_t(chromaStride);
    uint8_t* vp = v + size_t(row / 2) * size_t(chromaStride);
    for (int x = 0; x < width / 2; ++x) {
      const uint8_t* a = r0 + 8 * x;
      const uint8_t* b = r1 + 8 * x;
      const int B = a[0] + a[4] + b[0] + b[4], G = a[1] + a[5] + b[1] + b[5], R = a[2] + a[6] + b[2] + b[6];
      up[x] = uint8_t(128 + ((-26 * R - 87 * G + 113 * B + 512) >> 10));
      vp[x] = uint8_t(128 + ((113 * R - 102 * G - 11 * B + 512) >> 10));
    }
  }
}

void bgrxToI420Parallel(const uint8_t* src, int srcStride, int width, int height, uint8_t* y, int yStride, uint8_t* u,
                        uint8_t* v, int chromaStride) {
  // Two bands: this thread takes the top one while a pool thread takes the
  // bottom one (a frame is a few milliseconds; more bands cost more than
  // they give on small machines).
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
