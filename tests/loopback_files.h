#pragma once
// Files served over HTTP on loopback from a table the test fills, on a
// thread of its own (so a test waiting with its event loop stopped still
// gets answers). Unknown paths get 404.
#include <httplib.h>

#include <QByteArray>
#include <QString>

#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace nimbo::test {

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
    thread_ = std::thread([this] { svr_.listen_after_bind(); });
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
