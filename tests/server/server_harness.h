#pragma once
// nimbo-share-server as a child process on loopback, and the small tools the
// server tests share.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace nimbo::servertest {

namespace fs = std::filesystem;

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

inline void writeFile(const fs::path& p, const std::string& data) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << data;
}

inline unsigned modeOf(const fs::path& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xffff;
}

// Runs a shell command; its exit status.
inline int sh(const std::string& cmd) {
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// The status of an answer; -1 when the connection failed.
inline int status(const httplib::Result& r) {
  if (!r) std::fprintf(stderr, "request failed: %s\n", httplib::to_string(r.error()).c_str());
  return r ? r->status : -1;
}

inline size_t filesIn(const fs::path& dir) {
  return std::count_if(fs::directory_iterator(dir), {}, [](const auto& e) { return e.is_regular_file(); });
}

inline std::string field(const std::string& json, const std::string& key) {
  std::smatch m;
  return std::regex_search(json, m, std::regex("\"" + key + "\":\"([^\"]*)\"")) ? m[1].str() : std::string();
}

// A connection of our own, for requests the library's client would not send
// (no Content-Length, a body in pieces) and answers it would not show as sent.
class RawConnection {
 public:
  explicit RawConnection(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);  // when it fails, so does send()
  }
  ~RawConnection() { ::close(fd_); }
  bool send(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += size_t(n);
    }
    return true;
  }
  // Everything until the server closes the connection or `limit` passes.
  std::string readAll(std::chrono::milliseconds limit) {
    std::string out;
    const auto until = std::chrono::steady_clock::now() + limit;
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, int(left.count())) <= 0) break;
      char buf[65536];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, size_t(n));
    }
    return out;
  }

 private:
  int fd_ = -1;
};

struct RawAnswer {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string get(const std::string& name) const { return headers.count(name) ? headers.at(name) : std::string(); }
};

inline RawAnswer parseAnswer(const std::string& raw) {
  RawAnswer a;
  const size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos || raw.compare(0, 9, "HTTP/1.1 ") != 0) return a;
  a.status = std::atoi(raw.c_str() + 9);
  size_t at = raw.find("\r\n") + 2;
  while (at < end) {
    const size_t eol = raw.find("\r\n", at);
    const std::string line = raw.substr(at, eol - at);
    const size_t colon = line.find(':');
    std::string name = line.substr(0, colon);
    for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
    a.headers.emplace(name, line.substr(line.find_first_not_of(' ', colon + 1)));
    at = eol + 2;
  }
  a.body = raw.substr(end + 4);
  return a;
}

// One request on a fresh connection that the server is asked to close.
inline RawAnswer rawRequest(int port, const std::string& request,
                            std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  RawConnection c(port);
  if (!c.send(request)) return {};
  return parseAnswer(c.readAll(limit));
}

// Starts a program with `args` (the program first); its process id, 0 when
// it could not be started.
inline pid_t spawn(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  return posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : 0;
}

// The server on a free port (--listen 127.0.0.1:0, the port read from its port
// file), with its data in `dir` or, when that is empty, in a fresh folder
// removed afterwards.
class Server {
 public:
  explicit Server(std::vector<std::string> extra = {}, fs::path data = {}) : ownDir(data.empty()) {
    const std::string tag = std::to_string(getpid()) + "-" + std::to_string(counter++);
    dir = ownDir ? fs::temp_directory_path() / ("nimbo-server-test-" + tag) : data;
    portFile = fs::temp_directory_path() / ("nimbo-server-port-" + tag);
    if (ownDir) fs::remove_all(dir);
    fs::remove(portFile);
    std::vector<std::string> args = {NIMBO_SHARE_SERVER, "--listen", "127.0.0.1:0", "--data", dir.string(),
                                     "--port-file", portFile.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    pid = spawn(std::move(args));
    for (int i = 0; i < 150 && !(port > 0 && httplib::Client("127.0.0.1", port).Get("/terms")); ++i) {
      if (port == 0 && fs::exists(portFile)) port = std::atoi(readFile(portFile).c_str());
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~Server() { stop(); }
  void stop(int sig = SIGTERM) {
    if (pid > 0) {
      kill(pid, sig);
      waitpid(pid, nullptr, 0);
      pid = 0;
    }
    std::error_code ec;
    fs::remove(portFile, ec);
    if (ownDir) fs::remove_all(dir, ec);
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

  // A fresh upload link: the paths of the link and of the recording's page
  // (both empty on failure).
  struct Slot {
    std::string upload, share;
  };
  Slot slot(const std::string& token) {
    auto r = client().Post("/api/recordings/create", bearer(token), "", "application/json");
    if (status(r) != 201) return {};
    return {pathOf(field(r->body, "uploadUrl")), pathOf(field(r->body, "shareUrl"))};
  }
  // Uploads a PNG; the path of its page ("/i/<slug>"), empty on failure.
  std::string uploadImage(const std::string& png) {
    auto r = client().Post("/api/upload", bearer(token()), png, "image/png");
    return status(r) == 201 ? pathOf(field(r->body, "url")) : std::string();
  }
  // Uploads a recording through a fresh upload link; the path of its page.
  std::string uploadVideo(const std::string& mp4) {
    const Slot s = slot(token());
    return status(client().Put(s.upload, mp4, "video/mp4")) == 200 ? s.share : std::string();
  }

  bool ownDir;
  fs::path dir, portFile;
  int port = 0;
  pid_t pid = 0;
  static inline int counter = 0;
};

// A real H.264 MP4 made by the ffmpeg command-line tool; empty when that fails.
inline std::string makeMp4(const fs::path& path, const std::string& extraOutputArgs = {}) {
  const std::string cmd = "ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=30 -t 2 -c:v libx264 "
                          "-pix_fmt yuv420p " + extraOutputArgs + " '" + path.string() + "' </dev/null";
  if (sh(cmd) != 0) return {};
  return readFile(path);
}

}  // namespace nimbo::servertest
