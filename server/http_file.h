#pragma once
// Serving files that never change under their name: validators, conditional
// requests and byte ranges, done here rather than by cpp-httplib, whose range
// handling (0.11) wraps lengths past the end and refuses what it cannot parse.
#include <httplib.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace nimbo::server {

struct ByteRange {
  uint64_t first = 0;
  uint64_t last = 0;  // inclusive
  bool operator==(const ByteRange&) const = default;
};

struct RangeAnswer {
  enum Kind { Whole, Partial, Unsatisfiable } kind = Whole;
  std::vector<ByteRange> ranges;  // Partial: ascending, disjoint, clamped
};

// Reads a Range header against a representation of `size` bytes. A header
// that is absent, not in bytes, malformed, or asks for too many pieces gives
// Whole (RFC 9110 lets a server ignore Range). Overlapping and nearly adjacent
// ranges are merged.
RangeAnswer parseRange(const std::string& header, uint64_t size);

std::string httpDate(std::time_t t);
// IMF-fixdate, and the two obsolete forms recipients must still accept.
std::optional<std::time_t> parseHttpDate(const std::string& s);

// Answers GET/HEAD for the file at `path`, cached as immutable for a year.
// 404 when it cannot be opened.
void serveImmutableFile(const httplib::Request& req, httplib::Response& res, const std::string& path,
                        const std::string& type);

}  // namespace nimbo::server
