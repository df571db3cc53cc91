// nimbo-share-server: the reference self-hosted share server.
//
//   nimbo-share-server [--listen ADDR:PORT] [--data DIR] [--public-url URL]
//                      [--max-image-bytes N] [--max-video-bytes N] [--upload-ttl SECONDS]
#include <httplib.h>

#include <sys/socket.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "share_store.h"

using nimbo::server::ShareStore;

namespace {

struct Config {
  std::string host = "127.0.0.1";
  int port = 8787;
  std::string dataDir;
  std::string publicUrl;
  uint64_t maxImage = 50ull << 20;
  uint64_t maxVideo = 4ull << 30;
  long uploadTtl = 3600;
};

httplib::Server* g_server = nullptr;

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

// Reads and drops a refused request's body (up to 1 MiB), so the client sees
// the answer instead of a connection cut while it is still sending.
void drain(const httplib::ContentReader& reader) {
  size_t seen = 0;
  reader([&](const char*, size_t len) {
    seen += len;
    return seen < (1u << 20);
  });
}

uint64_t declaredLength(const httplib::Request& req) {
  return std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10);
}

void plain(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text, "text/plain; charset=utf-8");
}

// Receives a body into `path` without holding it in memory. `check` sees the
// first bytes once 8 have arrived. Returns 0 when stored, else the status to
// answer with; the partial file is removed on failure.
int receive(const httplib::ContentReader& reader, const std::string& path, uint64_t limit,
            const std::function<bool(const std::string& head)>& check, uint64_t* size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::string head;
  int failure = 0;
  *size = 0;
  reader([&](const char* data, size_t len) {
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
    out.write(data, std::streamsize(len));
    return bool(out);
  });
  out.close();
  if (!failure && head.size() < 8) failure = 415;  // too short to be either format
  if (!failure && !out) failure = 507;
  if (failure) std::remove(path.c_str());
  return failure;
}

void serveFile(httplib::Response& res, const std::string& path, const std::string& type) {
  auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
  if (!*file) return plain(res, 404, "not found\n");
  file->seekg(0, std::ios::end);
  const size_t length = size_t(file->tellg());
  // httplib answers Range requests itself when the length is known.
  res.set_content_provider(length, type, [file](size_t offset, size_t len, httplib::DataSink& sink) {
    std::vector<char> buf(std::min<size_t>(len, 1 << 16));
    file->clear();
    file->seekg(std::streamoff(offset));
    file->read(buf.data(), std::streamsize(buf.size()));
    const std::streamsize got = file->gcount();
    if (got <= 0) return false;
    sink.write(buf.data(), size_t(got));
    return true;
  });
}

std::string page(const std::string& title, const std::string& head, const std::string& body) {
  return "<!doctype html><html><head><meta charset=\"utf-8\"><title>" + html(title) +
         "</title><meta name=\"viewport\" content=\"width=device-width\">" + head +
         "<style>body{margin:0;background:#1c1d20;color:#f6f6f7;font-family:Inter,sans-serif;display:flex;"
         "min-height:100vh;align-items:center;justify-content:center}img,video{max-width:96vw;max-height:92vh}"
         "</style></head><body>" + body + "</body></html>";
}

int usage(const char* why) {
  std::fprintf(stderr,
               "nimbo-share-server: %s\n"
               "usage: nimbo-share-server [--listen ADDR:PORT] [--data DIR] [--public-url URL]\n"
               "                          [--max-image-bytes N] [--max-video-bytes N] [--upload-ttl S]\n",
               why);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Config cfg;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return usage(("missing value for " + a).c_str());
    const std::string v = argv[++i];
    if (a == "--listen") {
      const auto colon = v.rfind(':');
      if (colon == std::string::npos) return usage("--listen wants ADDR:PORT");
      cfg.host = v.substr(0, colon);
      cfg.port = std::atoi(v.c_str() + colon + 1);
    } else if (a == "--data") cfg.dataDir = v;
    else if (a == "--public-url") cfg.publicUrl = v;
    else if (a == "--max-image-bytes") cfg.maxImage = std::strtoull(v.c_str(), nullptr, 10);
    else if (a == "--max-video-bytes") cfg.maxVideo = std::strtoull(v.c_str(), nullptr, 10);
    else if (a == "--upload-ttl") cfg.uploadTtl = std::atol(v.c_str());
    else return usage(("unknown option " + a).c_str());
  }
  if (cfg.dataDir.empty()) {
    const char* x = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    cfg.dataDir = (x && *x == '/') ? std::string(x) + "/nimbo-share-server"
                                   : std::string(home ? home : ".") + "/.local/share/nimbo-share-server";
  }
  if (cfg.publicUrl.empty()) cfg.publicUrl = "http://" + cfg.host + ":" + std::to_string(cfg.port);
  while (!cfg.publicUrl.empty() && cfg.publicUrl.back() == '/') cfg.publicUrl.pop_back();

  std::string error;
  std::unique_ptr<ShareStore> store = ShareStore::open(cfg.dataDir, &error);
  if (!store) {
    std::fprintf(stderr, "nimbo-share-server: %s\n", error.c_str());
    return 1;
  }

  httplib::Server svr;
  g_server = &svr;
  svr.new_task_queue = [] { return new httplib::ThreadPool(32); };
  svr.set_payload_max_length(std::max(cfg.maxImage, cfg.maxVideo) + 1);
  svr.set_read_timeout(60, 0);

  svr.Post("/api/register", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content("{\"token\":" + jsonString(store->registerDevice()) + "}", "application/json");
  });

  svr.Post("/api/upload", [&](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
    if (!store->isValidToken(bearer(req))) {
      drain(reader);
      return plain(res, 401, "missing or unknown device token\n");
    }
    if (declaredLength(req) > cfg.maxImage) {
      drain(reader);
      return plain(res, 413, "image too large\n");
    }
    const std::string tmp = store->temporaryPath();
    uint64_t size = 0;
    const int failure = receive(reader, tmp, cfg.maxImage, [](const std::string& h) {
      return h == std::string("\x89PNG\r\n\x1a\n", 8);
    }, &size);
    if (failure == 413) return plain(res, 413, "image too large\n");
    if (failure == 415) return plain(res, 415, "not a PNG image\n");
    if (failure) return plain(res, failure, "could not store the image\n");
    const auto slug = store->addImage(tmp, size);
    if (!slug) return plain(res, 507, "could not store the image\n");
    res.status = 201;
    res.set_content("{\"url\":" + jsonString(cfg.publicUrl + "/i/" + *slug) + "}", "application/json");
  });

  svr.Post("/api/recordings/create", [&](const httplib::Request& req, httplib::Response& res) {
    if (!store->isValidToken(bearer(req))) return plain(res, 401, "missing or unknown device token\n");
    const std::string slug = store->createRecording();
    const std::string expires = std::to_string(std::time(nullptr) + cfg.uploadTtl);
    const std::string sig = nimbo::server::hmacSha256Hex(store->secret(), slug + "\n" + expires);
    const std::string uploadUrl = cfg.publicUrl + "/upload/" + slug + "?expires=" + expires + "&sig=" + sig;
    res.status = 201;
    res.set_content("{\"slug\":" + jsonString(slug) + ",\"shareUrl\":" + jsonString(cfg.publicUrl + "/v/" + slug) +
                        ",\"uploadUrl\":" + jsonString(uploadUrl) + "}",
                    "application/json");
  });

  svr.Put(R"(/upload/([A-Za-z0-9_-]{22}))",
          [&](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
    const std::string slug = req.matches[1];
    const std::string expires = req.get_param_value("expires");
    const std::string sig = req.get_param_value("sig");
    const long until = std::atol(expires.c_str());
    // Constant-time comparison is not needed against a random 256-bit MAC
    // that is checked once per claim, but the signature must match exactly.
    if (sig.empty() || sig != nimbo::server::hmacSha256Hex(store->secret(), slug + "\n" + expires))
      return plain(res, 403, "invalid upload link\n");
    if (until < std::time(nullptr)) return plain(res, 403, "upload link expired\n");
    if (!store->claimUpload(slug)) return plain(res, 409, "upload link already used\n");
    if (declaredLength(req) > cfg.maxVideo) {
      store->failUpload(slug);
      return plain(res, 413, "video too large\n");
    }
    if (req.get_header_value("Content-Type") != "video/mp4") {
      store->failUpload(slug);
      return plain(res, 415, "Content-Type must be video/mp4\n");
    }
    const std::string tmp = store->temporaryPath();
    uint64_t size = 0;
    const int failure = receive(reader, tmp, cfg.maxVideo, [](const std::string& h) {
      return h.compare(4, 4, "ftyp") == 0;
    }, &size);
    if (failure) {
      store->failUpload(slug);
      return plain(res, failure, failure == 413 ? "video too large\n"
                                 : failure == 415 ? "not an MP4 file\n" : "could not store the video\n");
    }
    store->finishUpload(slug, tmp, size);
    plain(res, 200, "stored\n");
  });

  svr.Get(R"(/i/([A-Za-z0-9_-]{22})\.png)", [&](const httplib::Request& req, httplib::Response& res) {
    const std::string slug = req.matches[1];
    if (!store->imageExists(slug)) return plain(res, 404, "not found\n");
    serveFile(res, store->imagePath(slug), "image/png");
  });
  svr.Get(R"(/i/([A-Za-z0-9_-]{22}))", [&](const httplib::Request& req, httplib::Response& res) {
    const std::string slug = req.matches[1];
    if (!store->imageExists(slug)) return plain(res, 404, "not found\n");
    const std::string img = cfg.publicUrl + "/i/" + slug + ".png";
    res.set_content(page("Nimbo capture",
                         "<meta property=\"og:type\" content=\"website\"><meta property=\"og:image\" content=\"" +
                             html(img) + "\"><meta name=\"twitter:card\" content=\"summary_large_image\">",
                         "<img src=\"" + html(img) + "\" alt=\"Capture\">"),
                    "text/html; charset=utf-8");
  });
  svr.Get(R"(/v/([A-Za-z0-9_-]{22})\.mp4)", [&](const httplib::Request& req, httplib::Response& res) {
    const std::string slug = req.matches[1];
    if (!store->recordingReady(slug)) return plain(res, 404, "not found\n");
    serveFile(res, store->videoPath(slug), "video/mp4");
  });
  svr.Get(R"(/v/([A-Za-z0-9_-]{22}))", [&](const httplib::Request& req, httplib::Response& res) {
    const std::string slug = req.matches[1];
    if (!store->recordingReady(slug)) return plain(res, 404, "not found\n");
    const std::string mp4 = cfg.publicUrl + "/v/" + slug + ".mp4";
    res.set_content(page("Nimbo recording",
                         "<meta property=\"og:type\" content=\"video.other\"><meta property=\"og:video\" content=\"" +
                             html(mp4) + "\"><meta property=\"og:video:type\" content=\"video/mp4\">",
                         "<video src=\"" + html(mp4) + "\" controls playsinline></video>"),
                    "text/html; charset=utf-8");
  });
  svr.Get("/terms", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(page("Terms", "", "<p>This is a self-hosted share server. Its operator sets the terms.</p>"),
                    "text/html; charset=utf-8");
  });
  svr.Get("/privacy", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(page("Privacy", "",
                         "<p>Uploaded captures are stored on this server and shown to anyone with their link.</p>"),
                    "text/html; charset=utf-8");
  });

  std::signal(SIGTERM, [](int) { if (g_server) g_server->stop(); });
  std::signal(SIGINT, [](int) { if (g_server) g_server->stop(); });
  int listenFd = -1;
  svr.set_socket_options([&listenFd](socket_t fd) {
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listenFd = fd;
  });
  if (!svr.bind_to_port(cfg.host, cfg.port)) {
    std::fprintf(stderr, "nimbo-share-server: cannot listen on %s:%d\n", cfg.host.c_str(), cfg.port);
    return 1;
  }
  // The library listens with a backlog of 5; a burst of clients (a team
  // pasting at once, a load test) would overflow it and see dropped
  // connections. Listening again raises the backlog.
  if (listenFd >= 0) ::listen(listenFd, SOMAXCONN);
  std::fprintf(stderr, "nimbo-share-server: listening on %s:%d, data in %s, links under %s\n", cfg.host.c_str(),
               cfg.port, cfg.dataDir.c_str(), cfg.publicUrl.c_str());
  svr.listen_after_bind();
  return 0;
}
