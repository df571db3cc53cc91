#pragma once
// The share server's HTTP routes and the hooks around them.
#include <httplib.h>

#include <cstdint>
#include <string>

namespace nimbo::server {

class ShareStore;
class PosterQueue;

struct Config {
  std::string host = "127.0.0.1";
  int port = 8787;  // after binding: the port actually listened on
  std::string dataDir;
  std::string publicUrl;  // no trailing slash
  std::string portFile;
  bool privateData = false;
  uint64_t maxImage = 50ull << 20;
  uint64_t maxVideo = 4ull << 30;
  long uploadTtl = 3600;
};

// Installs every route on `svr`. All three must outlive the server.
void installRoutes(httplib::Server& svr, ShareStore& store, PosterQueue& posters, const Config& cfg);

}  // namespace nimbo::server
