#pragma once
// cpp-httplib's server with its connections kept out of the worker threads
// until a whole request head has arrived. The library itself hands every
// accepted connection to a worker that then waits, byte by byte, for the
// request line and headers, with no bound on their size or on the time they
// take: a few dozen connections that never finish their headers would hold
// every worker. Here one thread watches all connections that are still
// sending a head (or idle between two requests) and gives a connection to a
// worker only once its blank line is in; a head that takes too long is
// answered 408, one that is too large 414 or 431.
#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <memory>

namespace nimbo::server {

struct ConnectionLimits {
  size_t headBytes = 16 * 1024;                  // request line and headers together
  std::chrono::milliseconds headTime{10000};     // from a head's first byte to its blank line
  std::chrono::milliseconds idleTime{5000};      // for the first byte of a connection's next request
  std::chrono::milliseconds lingerTime{2000};    // reading what a client still sends after a refusal
  size_t requestsPerConnection = 100;
  size_t waitingConnections = 2000;  // beyond: the longest waiting gives way to the new one
  size_t workers = 32;
};

// Called by a route on its worker thread: the connection ends after this
// answer, because what the client sent after its head was not all read.
void closeConnectionAfterResponse();
// Called by a route on its worker thread: what it still reads of this
// request's body must arrive within `time`; after that reading fails as if
// the client had gone (and the connection ends after the answer).
void limitBodyReading(std::chrono::milliseconds time);

class ShareHttpServer : public httplib::Server {
 public:
  explicit ShareHttpServer(ConnectionLimits limits = {});
  ~ShareHttpServer() override;

  class Gate;

 private:
  // Called by the library's accept loop for every new connection.
  bool process_and_close_socket(socket_t sock) override;
  // One request whose head (`headLength` bytes) has arrived, on a worker.
  void serve(socket_t sock, size_t headLength, size_t requestsLeft);

  ConnectionLimits limits_;
  std::shared_ptr<Gate> gate_;  // while listening
};

}  // namespace nimbo::server
