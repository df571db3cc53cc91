// The PNG writer's own LZ77 coder: any bytes, cut into any band size and
// with any row stride, come back unchanged through zlib's inflate.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "capture/png_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  // Two bytes choose the stride (0: no row probe), two the band size.
  const size_t stride = size_t(data[0]) << 8 | data[1];
  const size_t band = (size_t(data[2]) << 8 | data[3]) + 1;
  data += 4;
  size -= 4;
  // Small inputs repeat to reach past the window now and then.
  std::vector<uint8_t> in(data, data + size);
  if (size && size < 64) {
    const size_t want = size_t(data[0]) * 300;
    while (in.size() < want) in.insert(in.end(), data, data + size);
  }
  const std::vector<uint8_t> stream = nimbo::png::detail::zlibFast(in.data(), in.size(), stride, band);
  std::vector<uint8_t> out(in.size() + 1);
  uLongf len = uLongf(out.size());
  if (uncompress(out.data(), &len, stream.data(), uLong(stream.size())) != Z_OK) std::abort();
  if (len != in.size() || (len && std::memcmp(out.data(), in.data(), len) != 0)) std::abort();
  return 0;
}
