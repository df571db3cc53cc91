// The share server as clients reach it: each input is sent as the raw bytes
// of one connection to the real server (its routes, store and poster queue,
// on loopback), followed by an empty line so that most inputs end their
// headers (a body the input promises but does not bring runs into the
// server's short read timeout). Whatever arrives, the server answers with
// HTTP or closes, and keeps serving: a well-formed request after each input
// must be answered.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "server/poster.h"
#include "server/routes.h"
#include "server/share_store.h"

namespace {

using namespace nimbo::server;

struct Running {
  Config cfg;
  std::unique_ptr<ShareStore> store;
  std::unique_ptr<PosterQueue> posters;
  httplib::Server svr;
  std::thread thread;
};

Running& server() {
  static Running* r = [] {
    auto* r = new Running;
    char dir[] = "/tmp/nimbo-fuzz-server.XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    r->cfg.dataDir = dir;
    std::string error;
    r->store = ShareStore::open(r->cfg.dataDir, &error);
    if (!r->store) std::abort();
    r->posters = std::make_unique<PosterQueue>([r](const std::string& slug) {
      const auto frame = makePoster(r->store->videoPath(slug), r->store->posterPath(slug));
      r->store->setPoster(slug, frame ? frame->width : 0, frame ? frame->height : 0);
    });
    r->cfg.maxImage = 1 << 20;
    r->cfg.maxVideo = 1 << 20;
    r->svr.set_payload_max_length(r->cfg.maxVideo + 1);
    r->svr.set_read_timeout(0, 100000);
    // One request a connection: the answer ends with the connection.
    r->svr.set_keep_alive_max_count(1);
    r->cfg.port = r->svr.bind_to_any_port(r->cfg.host);
    r->cfg.publicUrl = "http://127.0.0.1:" + std::to_string(r->cfg.port);
    installRoutes(r->svr, *r->store, *r->posters, r->cfg);
    r->thread = std::thread([r] { r->svr.listen_after_bind(); });
    while (!r->svr.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return r;
  }();
  return *r;
}

std::string exchange(int port, const std::string& bytes) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  // libFuzzer's timer (-timeout) interrupts whatever call is waiting with
  // SIGALRM, not restarted: a connection cut short that way goes on by
  // itself, and a send or receive is tried again.
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int error = errno == EINTR ? 0 : errno;
    for (pollfd p{fd, POLLOUT, 0}; !error;) {
      const int r = ::poll(&p, 1, 5000);
      if (r > 0) {
        socklen_t length = sizeof error;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        break;
      }
      if (r == 0 || errno != EINTR) error = ETIMEDOUT;
    }
    if (error) {
      std::fprintf(stderr, "cannot reach the server: %s\n", std::strerror(error));
      std::abort();  // the server is gone
    }
  }
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the server may close early on junk
    sent += size_t(n);
  }
  std::string answer;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    answer.append(buf, size_t(n));
  }
  ::close(fd);
  return answer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Running& r = server();
  const std::string answer =
      exchange(r.cfg.port, std::string(reinterpret_cast<const char*>(data), size) + "\r\n\r\n");
  if (!answer.empty() && answer.rfind("HTTP/1.", 0) != 0) std::abort();
  // Still serving.
  const std::string check = exchange(r.cfg.port, "GET /api/identity?nonce=abc HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  if (check.rfind("HTTP/1.1 ", 0) != 0) {
    std::fprintf(stderr, "the server stopped answering: [%s]\n", check.c_str());
    std::abort();
  }
  return 0;
}
