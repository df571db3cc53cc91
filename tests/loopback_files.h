#pragma once
// Files served over HTTP on loopback from a table the test fills, on a
// thread of its own (so a test waiting with its event loop stopped still
// gets answers). Unknown paths get 404.
#include <httplib.h>

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <memory>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace nimbo::test {

// Runs an already bound server's accept loop on a thread of its own and
// returns once the loop is up: a stop() that came before it would be lost,
// and joining the thread would then wait for ever.
inline std::thread listenInBackground(httplib::Server& svr) {
  auto ended = std::make_shared<std::atomic<bool>>(false);
  std::thread t([&svr, ended] {
    svr.listen_after_bind();
    *ended = true;
  });
  while (!svr.is_running() && !*ended) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return t;
}

class LoopbackFiles {
 public:
  LoopbackFiles() {
    svr_.Get(R"(/(.*))", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard l(mutex_);
      auto it = files_.find(req.path);
      if (it == files_.end()) {
        res.status = 404;
        return;
      }
      res.set_content(it->second, "application/octet-stream");
    });
    // One request per connection: a kept-alive client would hold stop() up.
    svr_.set_keep_alive_max_count(1);
    port_ = svr_.bind_to_any_port("127.0.0.1");
    thread_ = listenInBackground(svr_);
  }
  ~LoopbackFiles() {
    svr_.stop();
    thread_.join();
  }
  void put(const QString& path, const QByteArray& body) {
    std::lock_guard l(mutex_);
    files_[path.toStdString()] = body.toStdString();
  }
  QString url(const QString& path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path); }

 private:
  httplib::Server svr_;
  std::thread thread_;
  std::mutex mutex_;
  std::map<std::string, std::string> files_;
  int port_ = 0;
};

}  // namespace nimbo::test
