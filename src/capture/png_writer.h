#pragma once
// The PNG encoder behind every capture the app stores or copies. Written for
// speed on large screenshots: rows are filtered and deflated in strips on all
// cores, and the strips are joined into one zlib stream (as pigz does).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace nimbo::png {

enum class Filter : uint8_t { none = 0, sub = 1, up = 2, average = 3, paeth = 4 };

// Defaults chosen with bench/png_tune on desktop screenshots: the Up filter
// with run-length matching compresses within a few per cent of libpng's
// defaults at several times the speed.
struct Options {
  Filter filter = Filter::up;
  int level = 1;        // zlib level
  bool rle = true;      // Z_RLE strategy instead of the default
  int threads = 0;      // 0: one strip per core
};

// `pixels` are 32-bit B G R A in memory (Qt's ARGB32 / RGB32 on little-endian
// machines), non-premultiplied. With `opaque` the alpha byte is ignored and
// an RGB PNG is written; otherwise RGBA.
std::vector<uint8_t> encode(const uint8_t* pixels, int width, int height, int stride,
                            bool opaque, const Options& options = {});

// The same, for pixels still arriving top to bottom: a row is read only once
// `rowsReady` exceeds its index. The producer raises it and calls
// notify_all() after each band.
std::vector<uint8_t> encode(const uint8_t* pixels, int width, int height, int stride,
                            bool opaque, const Options& options,
                            const std::atomic<int>* rowsReady);

// Parses the header of a PNG: width, height; false when not a PNG.
bool readSize(const uint8_t* data, size_t size, int* width, int* height);

}  // namespace nimbo::png
