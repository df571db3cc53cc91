#include "util/instance_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace nimbo::instance_socket {
namespace {

std::string absoluteEnv(const char* name) {
  const char* v = std::getenv(name);
  return (v && *v == '/') ? std::string(v) : std::string();
}

}  // namespace

std::string path() {
  std::string dir = absoluteEnv("XDG_RUNTIME_DIR");
  if (dir.empty()) dir = absoluteEnv("TMPDIR");
  if (dir.empty()) dir = "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir + "/com.vantori.screenshot.sock";
}

SendResult send(const std::string& command, int timeoutMs, std::string* error) {
  const std::string p = path();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (p.size() >= sizeof addr.sun_path) return SendResult::failed;
  std::memcpy(addr.sun_path, p.c_str(), p.size() + 1);

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return SendResult::failed;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return (errno == ENOENT || errno == ECONNREFUSED) ? SendResult::noInstance : SendResult::failed;

  const std::string line = command + "\n";
  if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size())) return SendResult::failed;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string reply;
  while (reply.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return SendResult::failed;
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, int(left)) <= 0) continue;
    char buf[64];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return SendResult::failed;
    reply.append(buf, size_t(n));
  }
  const std::string answer = reply.substr(0, reply.find('\n'));
  if (answer == "ok") return SendResult::acknowledged;
  if (answer.rfind("error ", 0) == 0) {
    if (error) *error = answer.substr(6);
    return SendResult::refused;
  }
  return SendResult::failed;
}

}  // namespace nimbo::instance_socket
