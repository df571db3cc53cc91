// nimbo-share-server: the reference self-hosted share server.
#include <httplib.h>

extern "C" {
#include <libavutil/log.h>
}

#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "http_server.h"
#include "poster.h"
#include "routes.h"
#include "share_store.h"

using namespace nimbo::server;
namespace fs = std::filesystem;

namespace {

int usage(const char* why) {
  std::fprintf(stderr,
               "nimbo-share-server: %s\n"
               "usage: nimbo-share-server [--listen ADDR:PORT] [--data DIR] [--public-url URL] [--private]\n"
               "                          [--port-file PATH] [--max-image-bytes N] [--max-video-bytes N]\n"
               "                          [--upload-ttl S]\n"
               "  --listen ADDR:0   listen on a free port; --port-file PATH then receives its number\n"
               "  --private         data folder 0700 and every file in it 0600 (for a server run by one\n"
               "                    user for themselves); without it files get the modes the umask gives\n",
               why);
  return 2;
}

// Owner-only from now on, and for what an earlier run left behind.
bool makePrivate(const std::string& dir, std::string* error) {
  ::umask(077);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || ::chmod(dir.c_str(), 0700) != 0) {
    *error = "cannot make " + dir + " private";
    return false;
  }
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_symlink()) continue;
    ::chmod(it->path().c_str(), it->is_directory() ? 0700 : 0600);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // SIGTERM and SIGINT are taken by one thread with sigwait (below), so they
  // are blocked here, before any other thread starts and inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  Config cfg;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--private") {
      cfg.privateData = true;
      continue;
    }
    if (a == "--help" || a == "-h") return usage("the reference share server"), 0;
    if (i + 1 >= argc) return usage(("missing value for " + a).c_str());
    const std::string v = argv[++i];
    if (a == "--listen") {
      const auto colon = v.rfind(':');
      if (colon == std::string::npos) return usage("--listen wants ADDR:PORT");
      cfg.host = v.substr(0, colon);
      if (cfg.host.size() > 1 && cfg.host.front() == '[' && cfg.host.back() == ']')
        cfg.host = cfg.host.substr(1, cfg.host.size() - 2);
      char* end = nullptr;
      const long port = std::strtol(v.c_str() + colon + 1, &end, 10);
      if (end == v.c_str() + colon + 1 || *end || port < 0 || port > 65535) return usage("bad port in --listen");
      cfg.port = int(port);
    } else if (a == "--data") cfg.dataDir = v;
    else if (a == "--public-url") cfg.publicUrl = v;
    else if (a == "--port-file") cfg.portFile = v;
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

  std::string error;
  if (cfg.privateData && !makePrivate(cfg.dataDir, &error)) {
    std::fprintf(stderr, "nimbo-share-server: %s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<ShareStore> store = ShareStore::open(cfg.dataDir, &error);
  if (!store) {
    std::fprintf(stderr, "nimbo-share-server: %s\n", error.c_str());
    return 1;
  }

  // Junk uploads would fill the log with decoder complaints.
  av_log_set_level(AV_LOG_QUIET);
  PosterQueue posters([&store](const std::string& slug) {
    const auto frame = makePoster(store->videoPath(slug), store->posterPath(slug));
    if (!frame) std::fprintf(stderr, "nimbo-share-server: no poster for recording %s\n", slug.c_str());
    store->setPoster(slug, frame ? frame->width : 0, frame ? frame->height : 0);
  });
  for (const std::string& slug : store->recordingsWithoutPoster()) posters.add(slug);

  ShareHttpServer svr;  // 32 workers; heads are waited for off them
  svr.set_payload_max_length(std::max(cfg.maxImage, cfg.maxVideo) + 1);
  svr.set_read_timeout(60, 0);

  int listenFd = -1;
  svr.set_socket_options([&listenFd](socket_t fd) {
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listenFd = fd;
  });
  if (cfg.port == 0) cfg.port = svr.bind_to_any_port(cfg.host);
  else if (!svr.bind_to_port(cfg.host, cfg.port)) cfg.port = -1;
  if (cfg.port <= 0) {
    std::fprintf(stderr, "nimbo-share-server: cannot listen on %s\n", cfg.host.c_str());
    return 1;
  }
  // The library listens with a backlog of 5; a burst of clients (a team
  // pasting at once, a load test) would overflow it and see dropped
  // connections. Listening again raises the backlog.
  if (listenFd >= 0) ::listen(listenFd, SOMAXCONN);

  if (cfg.publicUrl.empty()) {
    const bool v6 = cfg.host.find(':') != std::string::npos;
    cfg.publicUrl = "http://" + (v6 ? "[" + cfg.host + "]" : cfg.host) + ":" + std::to_string(cfg.port);
  }
  while (!cfg.publicUrl.empty() && cfg.publicUrl.back() == '/') cfg.publicUrl.pop_back();
  installRoutes(svr, *store, posters, cfg);

  // Written once the port is bound and routed, so whoever reads it can connect.
  if (!cfg.portFile.empty() &&
      !writeFileAtomically(cfg.portFile, std::to_string(cfg.port) + "\n", 0600, true, &error)) {
    std::fprintf(stderr, "nimbo-share-server: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "nimbo-share-server: listening on %s:%d, data in %s, links under %s\n", cfg.host.c_str(),
               cfg.port, cfg.dataDir.c_str(), cfg.publicUrl.c_str());
  // A stop asked for before the accept loop runs would be lost (the library
  // only stops a running loop), so the signal thread waits for the loop.
  std::atomic<bool> ended = false;
  std::thread stopper([&] {
    int sig = 0;
    sigwait(&stopSignals, &sig);
    while (!ended && !svr.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!ended) svr.stop();
  });
  svr.listen_after_bind();
  ended = true;
  pthread_kill(stopper.native_handle(), SIGTERM);  // wakes it when no signal came
  stopper.join();
  return 0;
}
