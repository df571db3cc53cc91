#pragma once
// nimbo-share-server as a child process on loopback, and the tools the server tests share.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace nimbo::servertest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline std::string pngBytes(size_t extra, unsigned seed) {
  std::string s("\x89PNG\r\n\x1a\n", 8);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < extra; ++i) s += char(rng());
  return s;
}

inline std::string mp4Bytes(size_t size) {
  std::string s("\0\0\0\x18" "ftypisom", 12);
  s.resize(size, 'v');
  return s;
}

inline std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

inline void writeFile(const fs::path& p, const std::string& data) { std::ofstream(p, std::ios::binary) << data; }

inline unsigned modeOf(const fs::path& p) { return unsigned(fs::symlink_status(p).permissions()) & 07777; }

inline int sh(const std::string& cmd) {  // its exit status
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

inline int status(const httplib::Result& r) {  // -1 when the connection failed
  if (!r) std::fprintf(stderr, "request failed: %s\n", httplib::to_string(r.error()).c_str());
  return r ? r->status : -1;
}

inline size_t filesIn(const fs::path& dir) {
  return std::count_if(fs::directory_iterator(dir), {}, [](const auto& e) { return e.is_regular_file(); });
}

// The first group of `re` (case-insensitive) in `text`, or "".
inline std::string match(const std::string& text, const std::string& re) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(re, std::regex::icase)) ? m[1].str() : std::string();
}

inline std::string field(const std::string& json, const std::string& key) {
  return match(json, "\"" + key + "\":\"([^\"]*)\"");
}

struct TempDir {
  TempDir() { fs::remove_all(path), fs::create_directories(path); }
  ~TempDir() { std::error_code ec; fs::remove_all(path, ec); }
  static inline int counter = 0;
  fs::path path = fs::temp_directory_path() / ("nimbo-server-test-" + std::to_string(getpid()) + "-" +
                                               std::to_string(counter++));
};

// A connection of our own, for requests httplib's client would not send and answers it would not show as sent.
class RawConnection {
 public:
  explicit RawConnection(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{.sin_family = AF_INET, .sin_port = htons(uint16_t(port)), .sin_addr = {htonl(INADDR_LOOPBACK)}};
    ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);  // when it fails, so does send()
  }
  ~RawConnection() { ::close(fd_); }
  bool send(const std::string& data) {
    for (size_t done = 0; done < data.size();) {
      const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += size_t(n);
    }
    return true;
  }
  // Everything until the server closes the connection or `limit` passes.
  std::string readAll(std::chrono::milliseconds limit) {
    std::string out;
    char buf[65536];
    for (const auto until = std::chrono::steady_clock::now() + limit;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      ssize_t n = 0;
      if (left <= 0ms || ::poll(&p, 1, int(left.count())) <= 0 || (n = ::recv(fd_, buf, sizeof buf, 0)) <= 0)
        return out;
      out.append(buf, size_t(n));
    }
  }

 private:
  int fd_;
};

struct RawAnswer {
  int status = 0;
  std::string head, body;
  std::string get(const std::string& name) const { return match(head, "\r\n" + name + ": *([^\r]*)"); }
};

inline RawAnswer parseAnswer(const std::string& raw) {
  const size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos || raw.compare(0, 9, "HTTP/1.1 ") != 0) return {};
  return {std::atoi(raw.c_str() + 9), raw.substr(0, end), raw.substr(end + 4)};
}

// One request on a fresh connection, read until the server closes it or `limit` passes.
inline RawAnswer rawRequest(int port, const std::string& request, std::chrono::milliseconds limit = 5s) {
  RawConnection c(port);
  return c.send(request) ? parseAnswer(c.readAll(limit)) : RawAnswer{};
}

// Starts `args` (the program first); its process id, 0 when it could not be started.
inline pid_t spawn(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  return posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : 0;
}

// The server on a free port (read from its port file), its data in `data` or else in a fresh folder.
class Server {
 public:
  explicit Server(std::vector<std::string> extra = {}, const fs::path& data = {})
      : dir(data.empty() ? tmp.path / "data" : data), portFile(tmp.path / "port") {
    extra.insert(extra.begin(), {NIMBO_SHARE_SERVER, "--listen", "127.0.0.1:0", "--data", dir.string(),
                                 "--port-file", portFile.string()});
    pid = spawn(std::move(extra));
    for (int i = 0; i < 150 && !(port > 0 && httplib::Client("127.0.0.1", port).Get("/terms")); ++i) {
      if (port == 0 && fs::exists(portFile)) port = std::atoi(readFile(portFile).c_str());
      std::this_thread::sleep_for(20ms);
    }
  }
  ~Server() { stop(); }
  void stop(int sig = SIGTERM) {
    if (pid > 0) kill(pid, sig), waitpid(pid, nullptr, 0), pid = 0;
  }
  httplib::Client client() const {
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(30, 0);
    return c;
  }
  std::string token() {
    auto r = client().Post("/api/register", "", "application/json");
    return r ? field(r->body, "token") : "";
  }
  static httplib::Headers bearer(const std::string& t) { return {{"Authorization", "Bearer " + t}}; }
  static std::string pathOf(const std::string& url) { return url.substr(std::min(url.find('/', 8), url.size())); }

  struct Slot {  // the paths of a fresh upload link and of its recording's page; empty on failure
    std::string upload, share;
  };
  Slot slot(const std::string& token) {
    auto r = client().Post("/api/recordings/create", bearer(token), "", "application/json");
    if (status(r) != 201) return {};
    return {pathOf(field(r->body, "uploadUrl")), pathOf(field(r->body, "shareUrl"))};
  }
  // Uploads a PNG, or a recording through a fresh link; the path of its page, empty on failure.
  std::string uploadImage(const std::string& png) {
    auto r = client().Post("/api/upload", bearer(token()), png, "image/png");
    return status(r) == 201 ? pathOf(field(r->body, "url")) : std::string();
  }
  std::string uploadVideo(const std::string& mp4) {
    const Slot s = slot(token());
    return status(client().Put(s.upload, mp4, "video/mp4")) == 200 ? s.share : std::string();
  }

  TempDir tmp;
  fs::path dir, portFile;
  int port = 0;
  pid_t pid = 0;
};

// A real H.264 MP4 made by the ffmpeg tool; empty when that fails.
inline std::string makeMp4(const fs::path& path) {
  return sh("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=30 -t 2 -c:v libx264 -pix_fmt yuv420p '" +
            path.string() + "' </dev/null") == 0 ? readFile(path) : std::string();
}

}  // namespace nimbo::servertest
