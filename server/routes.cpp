#include "routes.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "http_file.h"
#include "http_server.h"
#include "poster.h"
#include "share_store.h"

namespace nimbo::server {
namespace {

// Pages carry no script at all; they show one image or video from this
// server with inline styles.
constexpr const char* kPagePolicy =
    "default-src 'none'; img-src 'self'; media-src 'self'; style-src 'unsafe-inline'; base-uri 'none'; "
    "form-action 'none'";
// How long a page fetched before its poster existed may be reused.
constexpr const char* kPageCache = "public, max-age=300";
// The most a request other than an upload may carry as its body.
constexpr uint64_t kSmallBody = 64 * 1024;
// How long a page may wait for a poster still being made.
constexpr std::chrono::milliseconds kPosterWait{3000};

std::string jsonString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    out += c;
  }
  return out + "\"";
}

std::string html(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string bearer(const httplib::Request& req) {
  const std::string h = req.get_header_value("Authorization");
  return h.rfind("Bearer ", 0) == 0 ? h.substr(7) : std::string();
}

// Reads and drops a refused request's body (up to 1 MiB, for two seconds at
// most), so the client sees the answer instead of a connection cut while it
// is still sending. Bounded in time, or a client that declares a body and
// sends it a byte a minute would hold a worker for as long as it liked.
// The library sets a 400 when reading stops early; `res` keeps the answer
// already chosen.
void drain(const httplib::ContentReader& reader, httplib::Response* res = nullptr) {
  limitBodyReading(std::chrono::milliseconds(2000));
  const int status = res ? res->status : 0;
  size_t seen = 0;
  reader([&](const char*, size_t len) {
    seen += len;
    return seen < (1u << 20);
  });
  if (res) res->status = status;
}

uint64_t declaredLength(const httplib::Request& req) {
  return std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10);
}

void plain(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text, "text/plain; charset=utf-8");
}

// Per client address: a bucket of `burst` requests that refills at `perSecond`.
// Bounded: when it tracks too many addresses, the full ones are forgotten.
class RateLimit {
 public:
  RateLimit(double burst, double perSecond) : burst_(burst), perSecond_(perSecond) {}

  // Takes one request from the address's bucket; false when it is empty.
  bool take(const std::string& address) { return adjust(address, -1); }
  // Gives back what take() took, for a request that turned out not to count.
  void giveBack(const std::string& address) { adjust(address, +1); }
  // Seconds until the next request would be allowed.
  int retryAfter() const { return int(std::ceil(1 / perSecond_)); }

 private:
  struct Bucket {
    double tokens;
    std::chrono::steady_clock::time_point at;
  };
  bool adjust(const std::string& address, double by) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    if (buckets_.size() > 10000)
      for (auto it = buckets_.begin(); it != buckets_.end();)
        it = refilled(it->second, now) >= burst_ ? buckets_.erase(it) : std::next(it);
    auto it = buckets_.try_emplace(address, Bucket{burst_, now}).first;
    Bucket& b = it->second;
    b.tokens = refilled(b, now);
    b.at = now;
    if (by > 0) {
      b.tokens = std::min(burst_, b.tokens + by);
      return true;
    }
    if (b.tokens < 1) return false;
    b.tokens += by;
    return true;
  }
  double refilled(const Bucket& b, std::chrono::steady_clock::time_point now) const {
    return std::min(burst_, b.tokens + std::chrono::duration<double>(now - b.at).count() * perSecond_);
  }
  const double burst_, perSecond_;
  std::mutex mutex_;
  std::unordered_map<std::string, Bucket> buckets_;
};

void tooMany(httplib::Response& res, int retryAfter, const std::string& text) {
  res.set_header("Retry-After", std::to_string(retryAfter));
  plain(res, 429, text);
}

void json(httplib::Response& res, int status, const std::string& body) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(body, "application/json");
}

// Receives a body into `path` without holding it in memory. `check` sees the
// first bytes once 8 have arrived. Returns 0 when stored (and on disk: synced
// before this returns), else the status to answer with; the partial file is
// removed on failure, also when the client stops before the end of its body.
int receive(const httplib::ContentReader& reader, const std::string& path, uint64_t limit,
            const std::function<bool(const std::string& head)>& check, uint64_t* size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    drain(reader);
    return 507;
  }
  std::string head;
  int failure = 0;
  *size = 0;
  const bool complete = reader([&](const char* data, size_t len) {
    *size += len;
    if (*size > limit) {
      failure = 413;
      return false;
    }
    if (head.size() < 8) {
      head.append(data, std::min(len, 8 - head.size()));
      if (head.size() == 8 && !check(head)) {
        failure = 415;
        return false;
      }
    }
    for (size_t done = 0; done < len;) {
      const ssize_t n = ::write(fd, data + done, len - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failure = 507;  // most likely a full disk
        return false;
      }
      done += size_t(n);
    }
    return true;
  });
  if (!failure && !complete) failure = 400;  // the body ended early: cut off or malformed
  if (!failure && head.size() < 8) failure = 415;  // too short to be either format
  // An answered upload must survive a crash right after the answer.
  if (!failure && ::fsync(fd) != 0) failure = 507;
  if (::close(fd) != 0 && !failure) failure = 507;
  if (failure) std::remove(path.c_str());
  return failure;
}

void sendPage(httplib::Response& res, const std::string& title, const std::string& head, const std::string& body) {
  res.status = 200;
  res.set_header("Content-Security-Policy", kPagePolicy);
  // Links are secrets of sorts: never hand one on as a referrer.
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("Cache-Control", kPageCache);
  res.set_header("Accept-Ranges", "none");
  res.set_content(
      "<!doctype html><html><head><meta charset=\"utf-8\"><title>" + html(title) +
          "</title><meta name=\"viewport\" content=\"width=device-width\">" + head +
          "<style>body{margin:0;background:#1c1d20;color:#f6f6f7;font-family:Inter,sans-serif;display:flex;"
          "min-height:100vh;align-items:center;justify-content:center}img,video{max-width:96vw;max-height:92vh}"
          "</style></head><body>" + body + "</body></html>",
      "text/html; charset=utf-8");
}

// Width and height from a PNG's header, when it has a sane one.
std::optional<std::pair<uint32_t, uint32_t>> pngSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char h[24];
  if (!in.read(reinterpret_cast<char*>(h), sizeof h) || std::string(reinterpret_cast<char*>(h + 12), 4) != "IHDR")
    return std::nullopt;
  auto be = [&](int at) { return uint32_t(h[at]) << 24 | uint32_t(h[at + 1]) << 16 | uint32_t(h[at + 2]) << 8 | h[at + 3]; };
  if (be(16) == 0 || be(20) == 0) return std::nullopt;
  return std::make_pair(be(16), be(20));
}

bool isHexNonce(const std::string& s) {
  return s.size() >= 8 && s.size() <= 128 && s.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

// GET and HEAD routes, dispatched here rather than by the library so that a
// request it answered early (a Range it could not parse) can still be routed.
class GetRoutes {
 public:
  void add(const char* pattern, Handler h) { routes_.push_back({std::regex(pattern), std::move(h)}); }
  void dispatch(const httplib::Request& req, httplib::Response& res) const {
    // The library's Request is not const where it lives; matches belong to it.
    auto& matches = const_cast<httplib::Request&>(req).matches;
    for (const auto& [pattern, handler] : routes_)
      if (std::regex_match(req.path, matches, pattern)) return handler(req, res);
    plain(res, 404, "not found\n");
  }

 private:
  std::vector<std::pair<std::regex, Handler>> routes_;
};

}  // namespace

void installRoutes(httplib::Server& svr, ShareStore& store, PosterQueue& posters, const Config& cfg) {
  auto gets = std::make_shared<GetRoutes>();

  svr.set_pre_routing_handler([](const httplib::Request& creq, httplib::Response& res) {
    auto& req = const_cast<httplib::Request&>(creq);
    // A request with neither length nor chunks has an empty body (RFC 9112
    // section 6.3); the library would instead wait for the connection to end.
    const bool takesBody = req.method == "POST" || req.method == "PUT" || req.method == "PATCH" ||
                           req.method == "DELETE";
    if (takesBody && !req.has_header("Content-Length") && !req.has_header("Transfer-Encoding"))
      req.set_header("Content-Length", "0");
    const bool hasBody = req.has_header("Transfer-Encoding") || declaredLength(req) > 0;
    // The library reads the body of any other request into memory, up to the
    // upload limit: only the two upload routes stream theirs to disk, the
    // rest take a few bytes at most.
    const bool upload = (req.method == "POST" && req.path == "/api/upload") ||
                        (req.method == "PUT" && req.path.rfind("/upload/", 0) == 0);
    if (takesBody && !upload && (req.has_header("Transfer-Encoding") || declaredLength(req) > kSmallBody)) {
      closeConnectionAfterResponse();
      plain(res, 413, "this request takes no body\n");
      return httplib::Server::HandlerResponse::Handled;
    }
    // What a GET or HEAD declares as its body is never read: it must not be
    // taken for the next request on this connection.
    if (!takesBody && hasBody) closeConnectionAfterResponse();
    // Ranges are served by serveImmutableFile from the header itself; the
    // library's own slicing must not run on top of that, nor on pages.
    req.ranges.clear();
    return httplib::Server::HandlerResponse::Unhandled;
  });
  svr.set_error_handler(httplib::Server::HandlerWithResponse([gets](const httplib::Request& creq,
                                                                     httplib::Response& res) {
    // The library answers 416 before routing when it cannot parse a Range
    // (even "BYTES=0-1"); route it anyway and let our own parser judge.
    if (res.status != 416 || res.has_header("Content-Range") || (creq.method != "GET" && creq.method != "HEAD"))
      return httplib::Server::HandlerResponse::Unhandled;
    const_cast<httplib::Request&>(creq).ranges.clear();
    res.status = -1;
    gets->dispatch(creq, res);
    return httplib::Server::HandlerResponse::Handled;
  }));
  svr.set_post_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    // A refused request's body may be partly unread; the connection cannot
    // carry another request after it.
    if (res.status >= 400 && (req.has_header("Transfer-Encoding") || declaredLength(req) > 0)) {
      closeConnectionAfterResponse();
      res.headers.erase("Keep-Alive");
      res.set_header("Connection", "close");
    }
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Date", httpDate(std::time(nullptr)));
    // A 304 has no content; a Content-Length on it would have to be the full
    // file's, and the library adds a 0.
    if (res.status == 304) res.headers.erase("Content-Length");
  });

  // A client address gets 20 registrations at once and one more every three
  // minutes; 30 requests with a wrong token, then one a second. The address
  // is the connection's own: no forwarding header is trusted.
  auto registrations = std::make_shared<RateLimit>(20, 1.0 / 180);
  auto failures = std::make_shared<RateLimit>(30, 1);
  // The token of an upload request, or why the request goes no further.
  auto authorised = [&store, failures](const httplib::Request& req, httplib::Response& res) {
    // Taken before the token is looked at and given back when it is right:
    // requests arriving together cannot all pass on the bucket's last one.
    if (!failures->take(req.remote_addr)) {
      tooMany(res, failures->retryAfter(), "too many requests with a wrong token; try again later\n");
      return false;
    }
    if (store.isValidToken(bearer(req))) {
      failures->giveBack(req.remote_addr);
      return true;
    }
    plain(res, 401, "missing or unknown device token\n");
    return false;
  };

  svr.Post("/api/register", [&store, registrations](const httplib::Request& req, httplib::Response& res) {
    if (!registrations->take(req.remote_addr))
      return tooMany(res, registrations->retryAfter(), "too many registrations from this address; try again later\n");
    json(res, 200, "{\"token\":" + jsonString(store.registerDevice()) + "}");
  });

  svr.Post("/api/upload", [&store, &cfg, authorised](const httplib::Request& req, httplib::Response& res,
                                                     const httplib::ContentReader& reader) {
    if (!authorised(req, res)) return drain(reader, &res);
    if (declaredLength(req) > cfg.maxImage) {
      drain(reader);
      return plain(res, 413, "image too large\n");
    }
    const std::string tmp = store.temporaryPath();
    uint64_t size = 0;
    const int failure = receive(reader, tmp, cfg.maxImage, [](const std::string& h) {
      return h == std::string("\x89PNG\r\n\x1a\n", 8);
    }, &size);
    if (failure == 413) return plain(res, 413, "image too large\n");
    if (failure == 415) return plain(res, 415, "not a PNG image\n");
    if (failure == 400) return plain(res, 400, "the image did not arrive whole\n");
    if (failure) return plain(res, failure, "could not store the image\n");
    const auto slug = store.addImage(tmp, size);
    if (!slug) return plain(res, 507, "could not store the image\n");
    json(res, 201, "{\"url\":" + jsonString(cfg.publicUrl + "/i/" + *slug) + "}");
  });

  svr.Post("/api/recordings/create", [&store, &cfg, authorised](const httplib::Request& req, httplib::Response& res) {
    if (!authorised(req, res)) return;
    const std::string slug = store.createRecording();
    const std::string expires = std::to_string(std::time(nullptr) + cfg.uploadTtl);
    const std::string sig = hmacSha256Hex(store.secret(), slug + "\n" + expires);
    const std::string uploadUrl = cfg.publicUrl + "/upload/" + slug + "?expires=" + expires + "&sig=" + sig;
    json(res, 201, "{\"slug\":" + jsonString(slug) + ",\"shareUrl\":" + jsonString(cfg.publicUrl + "/v/" + slug) +
                       ",\"uploadUrl\":" + jsonString(uploadUrl) + "}");
  });

  svr.Put(R"(/upload/([A-Za-z0-9_-]{22}))", [&store, &posters, &cfg](const httplib::Request& req,
                                                                     httplib::Response& res,
                                                                     const httplib::ContentReader& reader) {
    const std::string slug = req.matches[1];
    const std::string expires = req.get_param_value("expires");
    const std::string sig = req.get_param_value("sig");
    const long until = std::atol(expires.c_str());
    // Constant-time comparison is not needed against a random 256-bit MAC
    // that is checked once per claim, but the signature must match exactly.
    if (sig.empty() || sig != hmacSha256Hex(store.secret(), slug + "\n" + expires))
      return plain(res, 403, "invalid upload link\n");
    if (until < std::time(nullptr)) return plain(res, 403, "upload link expired\n");
    if (!store.claimUpload(slug)) return plain(res, 409, "upload link already used\n");
    if (declaredLength(req) > cfg.maxVideo) {
      store.failUpload(slug);
      return plain(res, 413, "video too large\n");
    }
    if (req.get_header_value("Content-Type") != "video/mp4") {
      store.failUpload(slug);
      return plain(res, 415, "Content-Type must be video/mp4\n");
    }
    const std::string tmp = store.temporaryPath();
    uint64_t size = 0;
    const int failure = receive(reader, tmp, cfg.maxVideo, [](const std::string& h) {
      return h.compare(4, 4, "ftyp") == 0;
    }, &size);
    if (failure) {
      store.failUpload(slug);
      return plain(res, failure, failure == 413   ? "video too large\n"
                                 : failure == 415 ? "not an MP4 file\n"
                                 : failure == 400 ? "the video did not arrive whole\n"
                                                  : "could not store the video\n");
    }
    if (!store.finishUpload(slug, tmp, size)) return plain(res, 507, "could not store the video\n");
    posters.add(slug);
    plain(res, 200, "stored\n");
  });

  gets->add("/api/identity", [&store, &cfg](const httplib::Request& req, httplib::Response& res) {
    const std::string nonce = req.get_param_value("nonce");
    if (!isHexNonce(nonce)) return plain(res, 400, "nonce must be 8 to 128 hex digits\n");
    // The port is part of the proof so that a server on another port cannot
    // pass our answer off as its own.
    json(res, 200, "{\"proof\":" + jsonString(hmacSha256Hex(store.identity(), nonce + ":" + std::to_string(cfg.port))) +
                       "}");
  });
  gets->add(R"(/i/([A-Za-z0-9_-]{22})\.png)", [&store](const httplib::Request& req, httplib::Response& res) {
    const std::string slug = req.matches[1];
    if (!store.imageExists(slug)) return plain(res, 404, "not found\n");
    serveImmutableFile(req, res, store.imagePath(slug), "image/png");
  });
  gets->add(R"(/i/([A-Za-z0-9_-]{22}))", [&store, &cfg](const httplib::Request& req, httplib::Response& res) {
    const std::string slug = req.matches[1];
    if (!store.imageExists(slug)) return plain(res, 404, "not found\n");
    const std::string img = cfg.publicUrl + "/i/" + slug + ".png";
    std::string meta = "<meta property=\"og:type\" content=\"website\"><meta property=\"og:image\" content=\"" +
                       html(img) + "\"><meta property=\"og:image:type\" content=\"image/png\">";
    if (const auto size = pngSize(store.imagePath(slug)))
      meta += "<meta property=\"og:image:width\" content=\"" + std::to_string(size->first) +
              "\"><meta property=\"og:image:height\" content=\"" + std::to_string(size->second) + "\">";
    meta += "<meta name=\"twitter:card\" content=\"summary_large_image\">";
    // Relative, so the page works under whatever host name it was reached by
    // and stays within img-src 'self'.
    sendPage(res, "Nimbo capture", meta, "<img src=\"" + html(slug) + ".png\" alt=\"Capture\">");
  });
  gets->add(R"(/v/([A-Za-z0-9_-]{22})\.mp4)", [&store](const httplib::Request& req, httplib::Response& res) {
    const std::string slug = req.matches[1];
    if (!store.recordingReady(slug)) return plain(res, 404, "not found\n");
    serveImmutableFile(req, res, store.videoPath(slug), "video/mp4");
  });
  gets->add(R"(/v/([A-Za-z0-9_-]{22})\.jpg)", [&store, &posters](const httplib::Request& req,
                                                                 httplib::Response& res) {
    const std::string slug = req.matches[1];
    posters.waitFor(slug, kPosterWait);
    if (!store.poster(slug)) return plain(res, 404, "not found\n");
    serveImmutableFile(req, res, store.posterPath(slug), "image/jpeg");
  });
  gets->add(R"(/v/([A-Za-z0-9_-]{22}))", [&store, &posters, &cfg](const httplib::Request& req,
                                                                  httplib::Response& res) {
    const std::string slug = req.matches[1];
    if (!store.recordingReady(slug)) return plain(res, 404, "not found\n");
    // A page asked for right after its upload should already name the poster.
    posters.waitFor(slug, kPosterWait);
    const auto poster = store.poster(slug);
    const std::string base = cfg.publicUrl + "/v/" + slug;
    std::string meta = "<meta property=\"og:type\" content=\"video.other\"><meta property=\"og:video\" content=\"" +
                       html(base + ".mp4") + "\"><meta property=\"og:video:type\" content=\"video/mp4\">";
    std::string attrs = " src=\"" + html(slug) + ".mp4\"";
    if (poster) {
      meta += "<meta property=\"og:image\" content=\"" + html(base + ".jpg") +
              "\"><meta property=\"og:image:type\" content=\"image/jpeg\"><meta property=\"og:image:width\" "
              "content=\"" + std::to_string(poster->width) + "\"><meta property=\"og:image:height\" content=\"" +
              std::to_string(poster->height) + "\">";
      attrs += " poster=\"" + html(slug) + ".jpg\"";
    }
    sendPage(res, "Nimbo recording", meta, "<video" + attrs + " controls playsinline preload=\"metadata\"></video>");
  });
  gets->add("/terms", [](const httplib::Request&, httplib::Response& res) {
    sendPage(res, "Terms", "", "<p>This is a self-hosted share server. Its operator sets the terms.</p>");
  });
  gets->add("/privacy", [](const httplib::Request&, httplib::Response& res) {
    sendPage(res, "Privacy", "", "<p>Uploaded captures are stored on this server and shown to anyone with their link.</p>");
  });

  svr.Get(".*", [gets](const httplib::Request& req, httplib::Response& res) { gets->dispatch(req, res); });
}

}  // namespace nimbo::server
