#include "http_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "share_store.h"

namespace nimbo::server {
namespace {

// Ranges this close together cost more as separate parts than as one.
constexpr uint64_t kMergeGap = 80;
// More parts than this and the whole file is cheaper for both sides.
constexpr size_t kMaxParts = 32;

bool isOws(char c) { return c == ' ' || c == '\t'; }

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && isOws(s[b])) ++b;
  while (e > b && isOws(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Decimal digits only; saturates at UINT64_MAX. False when empty or not digits.
bool parseDigits(const std::string& s, uint64_t* out) {
  if (s.empty()) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    const uint64_t d = uint64_t(c - '0');
    v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
  }
  *out = v;
  return true;
}

bool iequals(const std::string& a, const char* b) {
  return a.size() == std::strlen(b) && std::equal(a.begin(), a.end(), b, [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == y;
         });
}

// Splits a comma list (RFC 9110 #rule): elements trimmed, empty ones dropped.
std::vector<std::string> commaList(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= s.size()) {
    size_t comma = s.find(',', start);
    if (comma == std::string::npos) comma = s.size();
    std::string item = trim(s.substr(start, comma - start));
    if (!item.empty()) out.push_back(std::move(item));
    start = comma + 1;
  }
  return out;
}

std::string opaqueTag(const std::string& tag) { return tag.rfind("W/", 0) == 0 ? tag.substr(2) : tag; }

// If-None-Match uses the weak comparison; If-Match the strong one.
bool tagListMatches(const std::string& header, const std::string& etag, bool strong) {
  if (trim(header) == "*") return true;
  for (const std::string& tag : commaList(header)) {
    if (strong) {
      if (tag == etag) return true;
    } else if (opaqueTag(tag) == opaqueTag(etag)) {
      return true;
    }
  }
  return false;
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// What goes out: literal text (part headers) and runs of the file.
struct Segment {
  std::string text;
  uint64_t offset = 0;
  uint64_t length = 0;
  uint64_t size() const { return text.empty() ? length : text.size(); }
};

void provide(httplib::Response& res, std::shared_ptr<Fd> file, std::vector<Segment> segments,
             const std::string& type) {
  uint64_t total = 0;
  for (const Segment& s : segments) total += s.size();
  auto plan = std::make_shared<std::vector<Segment>>(std::move(segments));
  res.set_content_provider(size_t(total), type, [file, plan](size_t offset, size_t, httplib::DataSink& sink) {
    uint64_t at = offset;
    for (const Segment& s : *plan) {
      if (at >= s.size()) {
        at -= s.size();
        continue;
      }
      if (!s.text.empty()) return sink.write(s.text.data() + at, size_t(s.text.size() - at));
      char buf[1 << 16];
      const size_t want = size_t(std::min<uint64_t>(sizeof buf, s.length - at));
      const ssize_t got = ::pread(file->fd, buf, want, off_t(s.offset + at));
      if (got <= 0) return false;
      return sink.write(buf, size_t(got));
    }
    return false;
  });
}

}  // namespace

RangeAnswer parseRange(const std::string& header, uint64_t size) {
  RangeAnswer whole;
  const std::string h = trim(header);
  const size_t eq = h.find('=');
  if (h.empty() || eq == std::string::npos || !iequals(h.substr(0, eq), "bytes")) return whole;
  const std::vector<std::string> pieces = commaList(h.substr(eq + 1));
  if (pieces.empty()) return whole;

  std::vector<ByteRange> wanted;
  for (const std::string& piece : pieces) {
    const size_t dash = piece.find('-');
    if (dash == std::string::npos) return whole;
    const std::string a = piece.substr(0, dash), b = piece.substr(dash + 1);
    if (a.empty()) {  // suffix: the last b bytes
      uint64_t n = 0;
      if (!parseDigits(b, &n)) return whole;
      if (n > 0 && size > 0) wanted.push_back({size - std::min(n, size), size - 1});
      continue;
    }
    uint64_t first = 0, last = UINT64_MAX;
    if (!parseDigits(a, &first)) return whole;
    if (!b.empty() && !parseDigits(b, &last)) return whole;
    if (first > last) return whole;  // the whole header is invalid then
    if (first < size) wanted.push_back({first, std::min(last, size - 1)});
  }
  if (wanted.empty()) return {RangeAnswer::Unsatisfiable, {}};

  std::sort(wanted.begin(), wanted.end(), [](const ByteRange& x, const ByteRange& y) { return x.first < y.first; });
  std::vector<ByteRange> merged;
  for (const ByteRange& r : wanted) {
    if (!merged.empty() && r.first <= merged.back().last + 1 + kMergeGap)
      merged.back().last = std::max(merged.back().last, r.last);
    else
      merged.push_back(r);
  }
  if (merged.size() > kMaxParts) return whole;
  return {RangeAnswer::Partial, std::move(merged)};
}

std::string httpDate(std::time_t t) {
  static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[tm.tm_wday], tm.tm_mday,
                months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::optional<std::time_t> parseHttpDate(const std::string& s) {
  // strptime reads names in the C locale, which the server never changes.
  for (const char* format : {"%a, %d %b %Y %H:%M:%S GMT", "%A, %d-%b-%y %H:%M:%S GMT", "%a %b %e %H:%M:%S %Y"}) {
    std::tm tm{};
    const char* end = strptime(s.c_str(), format, &tm);
    if (end && *end == '\0') return timegm(&tm);
  }
  return std::nullopt;
}

void serveImmutableFile(const httplib::Request& req, httplib::Response& res, const std::string& path,
                        const std::string& type) {
  auto file = std::make_shared<Fd>();
  file->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (file->fd < 0 || ::fstat(file->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    res.status = 404;
    res.set_content("not found\n", "text/plain; charset=utf-8");
    return;
  }
  const uint64_t size = uint64_t(st.st_size);
  const std::time_t mtime = st.st_mtim.tv_sec;
  char tag[80];
  std::snprintf(tag, sizeof tag, "\"%llx-%lx-%llx\"", static_cast<unsigned long long>(mtime),
                static_cast<long>(st.st_mtim.tv_nsec), static_cast<unsigned long long>(size));
  const std::string etag = tag;
  const std::string lastModified = httpDate(mtime);

  // The name holds a random slug that is never reused, so the bytes behind it
  // never change: caches may keep them for good.
  res.set_header("Cache-Control", "public, max-age=31536000, immutable");
  res.set_header("ETag", etag);
  res.set_header("Accept-Ranges", "bytes");

  // Preconditions in the order RFC 9110 section 13.2.2 gives.
  if (req.has_header("If-Match")) {
    if (!tagListMatches(req.get_header_value("If-Match"), etag, true)) {
      res.status = 412;
      return;
    }
  } else if (req.has_header("If-Unmodified-Since")) {
    const auto since = parseHttpDate(req.get_header_value("If-Unmodified-Since"));
    if (since && mtime > *since) {
      res.status = 412;
      return;
    }
  }
  if (req.has_header("If-None-Match")) {
    if (tagListMatches(req.get_header_value("If-None-Match"), etag, false)) {
      res.status = 304;
      return;
    }
  } else if (req.has_header("If-Modified-Since")) {
    const auto since = parseHttpDate(req.get_header_value("If-Modified-Since"));
    if (since && mtime <= *since) {
      res.status = 304;
      return;
    }
  }
  res.set_header("Last-Modified", lastModified);

  RangeAnswer answer;
  // Range is defined for GET only; HEAD describes the whole file.
  if (req.method == "GET" && req.has_header("Range")) {
    bool current = true;
    if (req.has_header("If-Range")) {
      const std::string validator = trim(req.get_header_value("If-Range"));
      if (validator.rfind("W/", 0) == 0) current = false;  // a weak tag can never match here
      else if (!validator.empty() && validator[0] == '"') current = validator == etag;
      else current = parseHttpDate(validator) == std::optional<std::time_t>(mtime);
    }
    if (current) answer = parseRange(req.get_header_value("Range"), size);
  }

  if (answer.kind == RangeAnswer::Unsatisfiable) {
    res.status = 416;
    res.set_header("Content-Range", "bytes */" + std::to_string(size));
    res.set_content("range not satisfiable\n", "text/plain; charset=utf-8");
    return;
  }
  if (answer.kind == RangeAnswer::Whole) {
    res.status = 200;
    if (size == 0) res.set_content("", type);
    else provide(res, file, {Segment{{}, 0, size}}, type);
    return;
  }
  res.status = 206;
  auto contentRange = [size](const ByteRange& r) {
    return "bytes " + std::to_string(r.first) + "-" + std::to_string(r.last) + "/" + std::to_string(size);
  };
  if (answer.ranges.size() == 1) {
    const ByteRange r = answer.ranges[0];
    res.set_header("Content-Range", contentRange(r));
    provide(res, file, {Segment{{}, r.first, r.last - r.first + 1}}, type);
    return;
  }
  const std::string boundary = randomToken(18);
  std::vector<Segment> parts;
  for (size_t i = 0; i < answer.ranges.size(); ++i) {
    const ByteRange r = answer.ranges[i];
    parts.push_back({(i ? "\r\n--" : "--") + boundary + "\r\nContent-Type: " + type +
                         "\r\nContent-Range: " + contentRange(r) + "\r\n\r\n",
                     0, 0});
    parts.push_back({{}, r.first, r.last - r.first + 1});
  }
  parts.push_back({"\r\n--" + boundary + "--\r\n", 0, 0});
  provide(res, file, std::move(parts), "multipart/byteranges; boundary=" + boundary);
}

}  // namespace nimbo::server
