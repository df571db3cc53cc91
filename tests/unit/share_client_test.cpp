// The share client against a scriptable server on loopback.
#include <httplib.h>

#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>

#include <mutex>
#include <thread>

#include "sharing/device_token.h"
#include "sharing/share_api.h"
#include "sharing/share_uploader.h"
#include "loopback_files.h"
#include "support.h"

namespace nimbo {
namespace {

using test::logged;
using test::waitUntil;

using Reply = std::pair<int, std::string>;  // status, body

// Answers each path with what the test scripted and remembers the requests.
class ScriptServer {
 public:
  ScriptServer() {
    auto handle = [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard l(mutex);
      seen.push_back({req.method, req.path, req.headers, req.body});
      const Reply r = replies.count(req.path) ? replies[req.path] : Reply{404, "no script"};
      res.status = r.first;
      res.set_content(r.second, "application/json");
    };
    svr.set_keep_alive_max_count(1);  // no lingering connections at stop
    svr.Post(".*", handle);
    svr.Put(".*", handle);
    port = svr.bind_to_any_port("127.0.0.1");
    thread = test::listenInBackground(svr);
  }
  ~ScriptServer() {
    svr.stop();
    thread.join();
  }
  QString base() const { return QStringLiteral("http://127.0.0.1:%1/").arg(port); }
  struct Seen {
    std::string method, path;
    httplib::Headers headers;
    std::string body;
  };
  std::vector<Seen> requests() {
    std::lock_guard l(mutex);
    return seen;
  }
  std::map<std::string, Reply> replies;
  int port = 0;

 private:
  httplib::Server svr;
  std::thread thread;
  std::mutex mutex;
  std::vector<Seen> seen;
};

class ShareClientTest : public test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    Preferences::setValue("uploadEndpoint", server.base());
  }
  void TearDown() override {
    ShareApi::setTimeoutScaleForTesting(1.0);
    PlatformTest::TearDown();
  }
  template <typename T>
  T await(const std::function<void(std::function<void(T)>)>& start, T none) {
    std::optional<T> got;
    start([&](T r) { got = std::move(r); });
    EXPECT_TRUE(waitUntil([&] { return got.has_value(); }, 10000));
    return got.value_or(none);
  }
  Result<QString> uploadImage(const QByteArray& png) {
    return await<Result<QString>>([&](auto done) { ShareUploader().uploadImage(png, done); }, Error{"no answer"});
  }
  Result<QString> uploadVideo(const QString& path) {
    return await<Result<QString>>([&](auto done) { ShareUploader().uploadVideo(path, done); }, Error{"no answer"});
  }
  std::optional<QString> registerNow() {
    return await<std::optional<QString>>(DeviceRegistration::registerDevice, std::nullopt);
  }
  ScriptServer server;
};

// Blank endpoints are refused through the client below.
TEST(ShareApiTest, EndpointPaths) {
  EXPECT_FALSE(ShareApi::parseEndpoint("not a url"));
  EXPECT_EQ(ShareApi::apiUrl(QUrl("http://h:1"), "api/upload").toString(), "http://h:1/api/upload");
  EXPECT_EQ(ShareApi::apiUrl(QUrl("http://h/base/"), "api/upload").toString(), "http://h/base/api/upload");
  EXPECT_EQ(ShareApi::apiUrl(QUrl("http://h/base"), "api/upload").toString(), "http://h/base/api/upload");
}

TEST_F(ShareClientTest, RegistrationSucceedsOnlyOn200WithAToken) {
  server.replies["/api/register"] = {201, R"({"token":"abc"})"};
  EXPECT_FALSE(registerNow());
  EXPECT_TRUE(logged().contains("Nimbo: registration failed (http 201)"));
  server.replies["/api/register"] = {200, R"({"token":""})"};
  EXPECT_FALSE(registerNow());
  EXPECT_TRUE(logged().contains("Nimbo: registration response malformed"));
  EXPECT_FALSE(DeviceToken::get());
  server.replies["/api/register"] = {200, R"({"token":"0123456789abcdef"})"};
  EXPECT_EQ(registerNow(), "0123456789abcdef");
  EXPECT_TRUE(logged().contains(QString::fromUtf8("Nimbo: device registered (token prefix 01234567…)")));
  EXPECT_EQ(DeviceToken::get(), "0123456789abcdef");
  EXPECT_EQ(server.requests().back().headers.find("Accept")->second, "application/json");

  Preferences::setValue("uploadEndpoint", " \t ");
  EXPECT_FALSE(registerNow());
  EXPECT_TRUE(logged().contains(QString::fromUtf8("Nimbo: device registration skipped — no valid endpoint")));
}

TEST_F(ShareClientTest, ARegistrationNobodyAnswersTimesOut) {
  QTcpServer silent;  // accepts, never replies
  ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
  Preferences::setValue("uploadEndpoint", QStringLiteral("http://127.0.0.1:%1/").arg(silent.serverPort()));
  ShareApi::setTimeoutScaleForTesting(0.02);  // 15 s become 0.3 s
  EXPECT_FALSE(registerNow());
  ASSERT_FALSE(logged().isEmpty());
  EXPECT_TRUE(logged().last().startsWith("Nimbo: registration request errored: ")) << logged().last().toStdString();
}

TEST_F(ShareClientTest, ImageUploadChecksInTheirOrderAndReportsTheServersWords) {
  Preferences::setValue("uploadEndpoint", "");
  EXPECT_EQ(uploadImage("png").error().description, "Nimbo couldn't reach the server. Try again in a moment.");
  EXPECT_TRUE(server.requests().empty());

  Preferences::setValue("uploadEndpoint", server.base());
  server.replies["/api/register"] = {500, "down"};
  EXPECT_EQ(uploadImage("png").error().description, "Nimbo couldn't reach the server. Try again in a moment.");

  DeviceToken::set("tok");
  Preferences::setValue("uploadEndpoint", "   ");
  EXPECT_EQ(uploadImage("png").error().description,
            "The server URL in Settings isn't valid. Clear it or fix the typo.");

  Preferences::setValue("uploadEndpoint", server.base());
  server.replies["/api/upload"] = {404, "no such bucket"};
  EXPECT_EQ(uploadImage("png").error().description, "Upload failed (HTTP 404): no such bucket");
  server.replies["/api/upload"] = {401, "bad token"};
  const size_t before = server.requests().size();
  EXPECT_EQ(uploadImage("png").error().description, "Upload failed (HTTP 401): bad token");
  EXPECT_EQ(server.requests().size(), before + 1);  // no registration follows
  EXPECT_EQ(DeviceToken::get(), "tok");
  server.replies["/api/upload"] = {502, std::string("\xff\xfe", 2)};
  EXPECT_EQ(uploadImage("png").error().description, "Upload failed (HTTP 502): ");
  server.replies["/api/upload"] = {200, R"({"link":"x"})"};
  EXPECT_EQ(uploadImage("png").error().description,
            "The server returned something Nimbo didn't understand. Try again.");

  server.replies["/api/upload"] = {201, R"({"url":" https://s/i/a ","extra":1})"};
  Result<QString> ok = uploadImage(QByteArray("\x89PNG-bytes", 10));
  ASSERT_TRUE(ok.ok()) << ok.error().description.toStdString();
  EXPECT_EQ(ok.value(), " https://s/i/a ");  // exactly as received
  const auto last = server.requests().back();
  EXPECT_EQ(last.path, "/api/upload");
  EXPECT_EQ(last.headers.find("Authorization")->second, "Bearer tok");
  EXPECT_EQ(last.headers.find("Content-Type")->second, "image/png");
  EXPECT_EQ(last.body, std::string("\x89PNG-bytes", 10));
}

TEST_F(ShareClientTest, VideoUploadCreatesASlotThenStreamsTheFileWithoutCredentials) {
  DeviceToken::set("tok");
  QTemporaryDir dir;
  const QString mp4 = dir.filePath("rec.mp4");
  QFile f(mp4);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  QByteArray bytes(300000, '\0');
  for (int i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 7);
  f.write(bytes);
  f.close();
  const std::string put = server.base().toStdString() + "put/slot";

  server.replies["/api/recordings/create"] = {201, R"({"shareUrl":"https://s/v/1","uploadUrl":")" + put + "\"}"};
  EXPECT_EQ(uploadVideo(mp4).error().description,
            "The server returned something Nimbo didn't understand. Try again.");
  server.replies["/api/recordings/create"] = {201, R"({"slug":"1","shareUrl":"https://s/v/1","uploadUrl":"::nope"})"};
  EXPECT_FALSE(uploadVideo(mp4).ok());
  for (const auto& r : server.requests()) EXPECT_NE(r.method, "PUT");

  server.replies["/api/recordings/create"] = {201, R"({"slug":"1","shareUrl":"https://s/v/1","uploadUrl":")" + put + "\"}"};
  server.replies["/put/slot"] = {403, "expired"};
  EXPECT_EQ(uploadVideo(mp4).error().description, "Upload failed (HTTP 403): expired");

  server.replies["/put/slot"] = {200, "stored"};
  Result<QString> ok = uploadVideo(mp4);
  ASSERT_TRUE(ok.ok()) << ok.error().description.toStdString();
  EXPECT_EQ(ok.value(), "https://s/v/1");
  const auto reqs = server.requests();
  const auto& create = reqs[reqs.size() - 2];
  const auto& upload = reqs.back();
  EXPECT_EQ(create.headers.find("Authorization")->second, "Bearer tok");
  EXPECT_EQ(upload.method, "PUT");
  EXPECT_EQ(upload.headers.count("Authorization"), 0u);
  EXPECT_EQ(upload.headers.find("Content-Type")->second, "video/mp4");
  EXPECT_EQ(upload.body, bytes.toStdString());
  EXPECT_TRUE(QFile::exists(mp4));  // never moved or deleted
}

TEST_F(ShareClientTest, TokenPreviewAndStorage) {
  EXPECT_EQ(DeviceToken::maskedPreview(std::nullopt), "(not set)");
  EXPECT_EQ(DeviceToken::maskedPreview(QString("abc")), QString(3, QChar(0x2022)));
  EXPECT_EQ(DeviceToken::maskedPreview(QString("")), "(not set)");
  EXPECT_EQ(DeviceToken::maskedPreview(QString("abcdefgh")), QString(8, QChar(0x2022)));
  EXPECT_EQ(DeviceToken::maskedPreview(QString("abcdefghWXYZ")), QString(8, QChar(0x2022)) + "WXYZ");
  DeviceToken::set("first");
  EXPECT_EQ(DeviceToken::get(), "first");
  EXPECT_EQ(fakes.secrets->adds, 1);
  DeviceToken::set("second");
  EXPECT_EQ(fakes.secrets->adds, 1);  // replaced in place
  EXPECT_EQ(DeviceToken::get(), "second");
}

}  // namespace
}  // namespace nimbo
