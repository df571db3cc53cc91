#pragma once
#include <cstdint>

namespace nimbo {

// B G R X pixels to planar 4:2:0 (BT.709, limited range) at the same size,
// chroma from the mean of each 2 × 2 block; `width` and `height` even.
// Rows [firstRow, endRow) only (both even), so bands can run in parallel.
// AVX2 where the processor has it; `vectors` false keeps to the portable
// loop, whose result is the same (tests compare the two).
void bgrxToI420(const uint8_t* src, int srcStride, int width, int firstRow, int endRow, uint8_t* y, int yStride,
                uint8_t* u, uint8_t* v, int chromaStride, bool vectors = true);

// Columns [left, right) of rows [top, bottom) only, widened to even
// columns and rows, on this thread.
void bgrxToI420Area(const uint8_t* src, int srcStride, int width, int height, int left, int top, int right,
                    int bottom, uint8_t* y, int yStride, uint8_t* u, uint8_t* v, int chromaStride);

// The whole frame, split over the available cores.
void bgrxToI420Parallel(const uint8_t* src, int srcStride, int width, int height, uint8_t* y, int yStride, uint8_t* u,
                        uint8_t* v, int chromaStride);

}  // namespace nimbo
