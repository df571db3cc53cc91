#include "http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace nimbo::server {

namespace {

using Clock = std::chrono::steady_clock;

thread_local bool t_closeAfterResponse = false;
thread_local Clock::time_point t_readDeadline = Clock::time_point::max();

int millisecondsOf(time_t sec, time_t usec) { return int(sec * 1000 + usec / 1000); }

// The library's stream over a connection, reading no further than the head
// while the head is being parsed: what follows it stays in the socket for the
// body reader or, after this request, for the gate.
class ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(int fd, size_t headLength, int readMs, int writeMs)
      : fd_(fd), headLeft_(headLength), readMs_(readMs), writeMs_(writeMs) {}

  bool is_readable() const override {
    int ms = readMs_;
    if (t_readDeadline != Clock::time_point::max()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t_readDeadline - Clock::now()).count();
      ms = int(std::clamp<long long>(left, 0, ms));
    }
    return wait(POLLIN, ms);
  }
  bool is_writable() const override { return wait(POLLOUT, writeMs_); }

  ssize_t read(char* ptr, size_t size) override {
    if (pos_ < len_) {
      const size_t n = std::min(size, len_ - pos_);
      std::memcpy(ptr, buf_ + pos_, n);
      pos_ += n;
      return ssize_t(n);
    }
    if (!is_readable()) return -1;
    if (headLeft_ > 0) {
      const ssize_t n = recvSome(buf_, std::min(headLeft_, sizeof buf_));
      if (n <= 0) return n;
      headLeft_ -= size_t(n);
      pos_ = 0;
      len_ = size_t(n);
      return read(ptr, size);
    }
    return recvSome(ptr, size);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    ssize_t n;
    do n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { address(::getpeername, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { address(::getsockname, ip, port); }
  socket_t socket() const override { return fd_; }

 private:
  bool wait(short events, int ms) const {
    pollfd p{fd_, events, 0};
    int r;
    do r = ::poll(&p, 1, ms);
    while (r < 0 && errno == EINTR);
    return r > 0 && !(p.revents & (POLLERR | POLLNVAL));
  }
  ssize_t recvSome(char* ptr, size_t size) {
    ssize_t n;
    do n = ::recv(fd_, ptr, size, 0);
    while (n < 0 && errno == EINTR);
    return n;
  }
  void address(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    ip.clear();
    port = 0;
    if (get(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return;
    char text[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
      ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
      port = ntohs(v4->sin_port);
    } else if (a.ss_family == AF_INET6) {
      const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
      ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
      port = ntohs(v6->sin6_port);
    }
    ip = text;
  }

  int fd_;
  size_t headLeft_;
  int readMs_, writeMs_;
  char buf_[4096];
  size_t pos_ = 0, len_ = 0;
};

}  // namespace

void closeConnectionAfterResponse() { t_closeAfterResponse = true; }

void limitBodyReading(std::chrono::milliseconds time) {
  t_readDeadline = Clock::now() + time;
  t_closeAfterResponse = true;
}

// The thread that watches connections between their accept (or their last
// answer) and a complete head, and the workers that serve complete ones.
class ShareHttpServer::Gate {
 public:
  Gate(ShareHttpServer& server, const ConnectionLimits& limits)
      : server_(server), limits_(limits), pool_(limits.workers), peek_(limits.headBytes) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wake_;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
    thread_ = std::thread([this] { run(); });
  }

  ~Gate() {
    stop();
    ::close(epoll_);
    ::close(wake_);
  }

  // A new connection, or one whose last answer went out and that stays open.
  void admit(int fd, size_t requestsLeft) {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    if (waiting_.size() >= limits_.waitingConnections) {
      auto oldest = std::min_element(waiting_.begin(), waiting_.end(),
                                     [](const auto& a, const auto& b) { return a.second.order < b.second.order; });
      dropLocked(oldest->first);
    }
    Waiting w;
    w.deadline = Clock::now() + limits_.idleTime;
    w.requestsLeft = requestsLeft;
    w.order = ++order_;
    waiting_[fd] = w;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    ev.data.fd = fd;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) dropLocked(fd);
  }

  // Ends a connection without cutting off an answer just sent: no more is
  // sent, what the client still sends is read and dropped for a moment, then
  // it is closed.
  void linger(int fd) {
    ::shutdown(fd, SHUT_WR);
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    Waiting w;
    w.deadline = Clock::now() + limits_.lingerTime;
    w.lingering = true;
    w.order = ++order_;
    waiting_[fd] = w;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    ev.data.fd = fd;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) dropLocked(fd);
    else discardLocked(fd);
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      stopping_ = true;
    }
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_, &one, sizeof one);
    thread_.join();
    {
      std::lock_guard lock(mutex_);
      for (auto& [fd, w] : waiting_) ::close(fd);
      waiting_.clear();
    }
    // Requests already handed over run to their end.
    pool_.shutdown();
  }

 private:
  struct Waiting {
    Clock::time_point deadline;
    size_t requestsLeft = 0;
    uint64_t order = 0;
    bool sawData = false;
    bool lingering = false;
  };

  void run() {
    std::vector<epoll_event> events(256);
    auto nextSweep = Clock::now();
    while (true) {
      const int n = ::epoll_wait(epoll_, events.data(), int(events.size()), 250);
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      for (int i = 0; i < n; ++i) {
        const int fd = events[size_t(i)].data.fd;
        if (fd == wake_) continue;
        auto it = waiting_.find(fd);
        if (it == waiting_.end()) continue;
        if (it->second.lingering) discardLocked(fd);
        else inspectLocked(fd, it->second, events[size_t(i)].events);
      }
      const auto now = Clock::now();
      if (now < nextSweep) continue;
      nextSweep = now + std::chrono::milliseconds(250);
      std::vector<int> late;
      for (const auto& [fd, w] : waiting_)
        if (w.deadline <= now) late.push_back(fd);
      for (int fd : late) {
        const Waiting w = waiting_[fd];
        if (w.sawData && !w.lingering) refuseLocked(fd, 408, "Request Timeout", "the request head took too long\n");
        else dropLocked(fd);
      }
    }
  }

  // Looks at what a waiting connection has sent so far, without taking it.
  void inspectLocked(int fd, Waiting& w, uint32_t events) {
    ssize_t n;
    do n = ::recv(fd, peek_.data(), peek_.size(), MSG_PEEK | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return dropLocked(fd);
    if (n < 0) return;
    const std::string_view seen(peek_.data(), size_t(n));
    const size_t end = seen.find("\r\n\r\n");
    if (end != std::string_view::npos) {
      const size_t requestsLeft = w.requestsLeft;
      forgetLocked(fd);
      pool_.enqueue([this, fd, headLength = end + 4, requestsLeft] { server_.serve(fd, headLength, requestsLeft); });
      return;
    }
    if (size_t(n) >= peek_.size()) {
      if (seen.find("\r\n") == std::string_view::npos)
        return refuseLocked(fd, 414, "URI Too Long", "request line too long\n");
      return refuseLocked(fd, 431, "Request Header Fields Too Large", "request head too large\n");
    }
    // The client has stopped sending; its head can no longer complete.
    if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) return dropLocked(fd);
    if (!w.sawData) {
      w.sawData = true;
      w.deadline = Clock::now() + limits_.headTime;
    }
  }

  void discardLocked(int fd) {
    char sink[16384];
    while (true) {
      const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
      if (n > 0) continue;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      return dropLocked(fd);  // the client closed its side too
    }
  }

  void refuseLocked(int fd, int status, const char* reason, const std::string& text) {
    const std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                               "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                               std::to_string(text.size()) + "\r\nConnection: close\r\n\r\n" + text;
    [[maybe_unused]] auto sent = ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(fd, SHUT_WR);
    Waiting& w = waiting_[fd];
    w.lingering = true;
    w.deadline = Clock::now() + limits_.lingerTime;
    discardLocked(fd);
  }

  void forgetLocked(int fd) {
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    waiting_.erase(fd);
  }

  void dropLocked(int fd) {
    forgetLocked(fd);
    ::close(fd);
  }

  ShareHttpServer& server_;
  const ConnectionLimits limits_;
  httplib::ThreadPool pool_;
  std::vector<char> peek_;  // used by the gate's thread alone
  int epoll_ = -1;
  int wake_ = -1;
  std::mutex mutex_;
  bool stopping_ = false;
  std::unordered_map<int, Waiting> waiting_;
  uint64_t order_ = 0;
  std::thread thread_;
};

namespace {

// What the library's accept loop hands each connection to: the gate, at once
// (admitting is quick, so the accept thread itself does it).
class GateQueue : public httplib::TaskQueue {
 public:
  explicit GateQueue(std::shared_ptr<ShareHttpServer::Gate> gate) : gate_(std::move(gate)) {}
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override { gate_->stop(); }

 private:
  std::shared_ptr<ShareHttpServer::Gate> gate_;
};

}  // namespace

ShareHttpServer::ShareHttpServer(ConnectionLimits limits) : limits_(limits) {
  new_task_queue = [this] {
    gate_ = std::make_shared<Gate>(*this, limits_);
    return new GateQueue(gate_);
  };
}

ShareHttpServer::~ShareHttpServer() {
  if (gate_) gate_->stop();
}

bool ShareHttpServer::process_and_close_socket(socket_t sock) {
  // An answer goes out as its head and then its body: without this the body
  // waits for the client's delayed acknowledgement of the head, 40 ms for
  // every request on a kept-alive connection.
  int yes = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  gate_->admit(sock, limits_.requestsPerConnection);
  return true;
}

void ShareHttpServer::serve(socket_t sock, size_t headLength, size_t requestsLeft) {
  ConnectionStream stream(sock, headLength, millisecondsOf(read_timeout_sec_, read_timeout_usec_),
                          millisecondsOf(write_timeout_sec_, write_timeout_usec_));
  t_closeAfterResponse = false;
  t_readDeadline = Clock::time_point::max();
  bool clientCloses = false;
  const bool last = requestsLeft <= 1;
  const bool answered = process_request(stream, last, clientCloses, nullptr);
  if (answered && !last && !clientCloses && !t_closeAfterResponse) gate_->admit(sock, requestsLeft - 1);
  else gate_->linger(sock);
  t_closeAfterResponse = false;
  t_readDeadline = Clock::time_point::max();
}

}  // namespace nimbo::server
