// The share server's Range and date headers: whatever a client sends, the
// answer is one of the three kinds, and partial answers are ascending,
// disjoint and inside the file.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/http_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace nimbo::server;
  if (size < 8) return 0;
  uint64_t fileSize = 0;
  std::memcpy(&fileSize, data, 8);
  fileSize %= (1ull << 40);
  const std::string header(reinterpret_cast<const char*>(data + 8), size - 8);
  const RangeAnswer a = parseRange(header, fileSize);
  if (a.kind == RangeAnswer::Partial) {
    if (a.ranges.empty()) std::abort();
    uint64_t next = 0;
    for (const ByteRange& r : a.ranges) {
      if (r.first < next || r.last < r.first || r.last >= fileSize) std::abort();
      next = r.last + 1;
    }
  }
  if (auto t = parseHttpDate(header))
    if (parseHttpDate(httpDate(*t)) != t) std::abort();
  return 0;
}
