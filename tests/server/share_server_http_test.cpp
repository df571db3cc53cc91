// The share server's HTTP manners: bodiless requests, byte ranges, conditional requests and the headers pages and
// files carry. Slow and oversized heads are attack_test.py's.
#include "server_harness.h"

using namespace nimbo::servertest;

namespace {

// Ranges as players ask for them to seek; one parser serves every raw file.
TEST(ShareServerHttpTest, RangesOnRecordings) {
  Server s;
  std::string data = mp4Bytes(50000);
  for (size_t i = 12; i < data.size(); ++i) data[i] = char(i * 7 + i / 251);
  const std::string page = s.uploadVideo(data), path = page + ".mp4";
  ASSERT_FALSE(page.empty());
  const uint64_t n = data.size();
  const std::string N = std::to_string(n), last = std::to_string(n - 1);
  std::string many = "bytes=";
  for (int i = 0; i < 64; ++i) many += (i ? "," : "") + std::to_string(i * 500) + "-" + std::to_string(i * 500 + 1);
  struct Case {
    std::string range;
    int status;
    uint64_t from = 0, to = 0;  // the bytes of a 206, inclusive
  };
  const std::vector<Case> cases = {
      {"bytes=100-199", 206, 100, 199}, {"bytes=10-", 206, 10, n - 1}, {"bytes=-20", 206, n - 20, n - 1},
      {"bytes=-999999999", 206, 0, n - 1},    // longer than the file: all of it
      {"bytes=" + last + "-", 206, n - 1, n - 1},
      {"bytes=0-4,3-9", 206, 0, 9},           // overlapping: merged
      {"bytes=20-29, 0-19", 206, 0, 29},      // adjacent, out of order
      {"bytes=999999999-,0-1", 206, 0, 1},    // the unsatisfiable one is dropped
      {"BYTES=0-0", 206, 0, 0},               // the unit is case-insensitive
      {"bytes=" + N + "-", 416}, {"bytes=-0", 416}, {"bytes=99999999999999999999999-", 416},  // past 64 bits
      // Malformed or foreign ("bytes=abc" the library refuses before routing), or very many pieces: the whole file.
      {"bytes=abc", 200}, {"bytes=5-2", 200}, {"bytes=", 200}, {"bytes=-", 200}, {"bytes=1-2-3", 200},
      {"bytes 0-1", 200}, {"items=0-1", 200}, {"bytes=0-1,x", 200}, {many, 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("Range: " + c.range.substr(0, 40));
    auto r = s.client().Get(path, {{"Range", c.range}});
    ASSERT_EQ(status(r), c.status);
    EXPECT_EQ(r->get_header_value("Content-Range"),
              c.status == 206   ? "bytes " + std::to_string(c.from) + "-" + std::to_string(c.to) + "/" + N
              : c.status == 416 ? "bytes */" + N
                                : "");
    if (c.status == 416) EXPECT_LT(r->body.size(), n);
    else EXPECT_TRUE(r->body == (c.status == 206 ? data.substr(c.from, c.to - c.from + 1) : data)) << r->body.size();
  }
  // HEAD takes no ranges, ours or ones the library refuses, and describes the whole file.
  for (const char* range : {"bytes=0-4", "BYTES=0-0"}) {
    auto h = s.client().Head(path, {{"Range", range}});
    ASSERT_EQ(status(h), 200) << range;
    EXPECT_EQ(h->get_header_value("Content-Length"), N) << range;
    EXPECT_TRUE(h->body.empty()) << range;
  }
  // Two distant ranges come back as multipart/byteranges, in file order.
  auto multi = s.client().Get(path, {{"Range", "bytes=3000-3009,0-1"}});
  ASSERT_EQ(status(multi), 206);
  const std::string type = multi->get_header_value("Content-Type"), prefix = "multipart/byteranges; boundary=";
  ASSERT_EQ(type.rfind(prefix, 0), 0u) << type;
  const std::string b = "--" + type.substr(prefix.size()), head = "\r\nContent-Type: video/mp4\r\nContent-Range: bytes ";
  EXPECT_TRUE(multi->body == b + head + "0-1/" + N + "\r\n\r\n" + data.substr(0, 2) + "\r\n" + b + head + "3000-3009/" + N +
                                 "\r\n\r\n" + data.substr(3000, 10) + "\r\n" + b + "--\r\n");
  EXPECT_FALSE(multi->has_header("Content-Range"));
  // Pages are not ranged.
  auto ranged = s.client().Get(page, {{"Range", "bytes=0-5"}});
  ASSERT_EQ(status(ranged), 200);
  EXPECT_NE(ranged->body.find("</html>"), std::string::npos);
}

// Bodies httplib's client would not send, none waited for: none and no length (empty, not all until the end), large
// ones declared where only uploads take them (refused, not read into memory), and one on a GET (not a next request).
TEST(ShareServerHttpTest, MissingAndUnwantedBodiesAreAnsweredAtOnce) {
  Server s;
  const std::string token = s.token(), auth = "Authorization: Bearer " + token + "\r\n", close = "Connection: close\r\n";
  const auto request = [](const std::string& line, const std::string& headers, const std::string& body = {}) {
    return line + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n" + body;
  };
  const std::string inner = request("GET /privacy", "");
  std::vector<std::pair<std::string, int>> cases = {
      {request("POST /api/register", close), 200},
      {request("POST /api/recordings/create", auth + close), 201},
      {request("POST /api/upload", auth + close), 415},  // empty: neither image nor video
      {request("PUT " + s.slot(token).upload, "Content-Type: video/mp4\r\n" + close), 415},
      {request("POST /api/register", "Content-Length: 2\r\n" + close, "{}"), 200},  // a small body is still taken
      {request("GET /terms", "Content-Length: " + std::to_string(inner.size()) + "\r\n", inner), 200},
  };
  for (const char* path : {"/api/register", "/api/recordings/create", "/api/identity", "/nowhere"})
    for (const char* body : {"Content-Length: 100000000\r\n", "Transfer-Encoding: chunked\r\n"})
      cases.push_back({request(std::string("POST ") + path, body), 413});
  const auto started = std::chrono::steady_clock::now();
  for (const auto& [req, want] : cases) {
    const RawAnswer a = rawRequest(s.port, req);
    EXPECT_EQ(a.status, want) << req;
    EXPECT_TRUE(want != 413 || a.get("connection") == "close") << req;
    EXPECT_EQ(a.body.find("Uploaded captures"), std::string::npos) << req;  // what /privacy says
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  // A keep-alive connection carries on with the next request after a bodiless one.
  RawConnection c(s.port);
  ASSERT_TRUE(c.send(request("POST /api/register", "")));
  EXPECT_FALSE(field(parseAnswer(c.readAll(500ms)).body, "token").empty());
  ASSERT_TRUE(c.send(request("GET /terms", close)));
  EXPECT_NE(parseAnswer(c.readAll(5s)).body.find("self-hosted share server"), std::string::npos);
}

// A refused upload's body sent a byte now and then is read past for two seconds at most (it was a minute a byte),
// so such clients cannot keep the workers.
TEST(ShareServerHttpTest, ARefusedUploadWaitsForItsBodyOnlyBriefly) {
  Server s;
  std::vector<std::unique_ptr<RawConnection>> slow;
  for (int i = 0; i < 40; ++i) {
    slow.push_back(std::make_unique<RawConnection>(s.port));
    ASSERT_TRUE(slow.back()->send("POST /api/upload HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer wrong\r\n"
                                  "Content-Type: image/png\r\nContent-Length: 500000\r\n\r\n\x89PNG"));
  }
  const auto started = std::chrono::steady_clock::now();
  const RawAnswer a = parseAnswer(slow[0]->readAll(10s));
  EXPECT_TRUE(a.status == 401 || a.status == 429) << a.status;
  EXPECT_EQ(a.get("connection"), "close");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
  EXPECT_EQ(status(s.client().Get("/terms")), 200);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);
}

// Every answer's body used to wait for the client's delayed acknowledgement of its head: 40 ms a request.
TEST(ShareServerHttpTest, RequestsOnAKeptAliveConnectionAreAnsweredWithoutDelay) {
  Server s;
  auto c = s.client();
  c.set_keep_alive(true);
  ASSERT_EQ(status(c.Get("/terms")), 200);
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 50; ++i) ASSERT_EQ(status(c.Get("/terms")), 200);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
}

TEST(ShareServerHttpTest, RawFilesAreImmutableAndAnswerConditionalRequests) {
  Server s;
  const std::string png = pngBytes(5000, 9), page = s.uploadImage(png);
  ASSERT_FALSE(page.empty());
  const std::string raw = page + ".png", immutable = "public, max-age=31536000, immutable";
  auto first = s.client().Get(raw);
  ASSERT_EQ(status(first), 200);
  EXPECT_EQ(first->get_header_value("Cache-Control"), immutable);
  EXPECT_EQ(first->get_header_value("Accept-Ranges"), "bytes");
  const std::string etag = first->get_header_value("ETag"), modified = first->get_header_value("Last-Modified");
  ASSERT_TRUE(std::regex_match(etag, std::regex("\"[!#-~]+\""))) << etag;  // strong: no W/
  ASSERT_TRUE(std::regex_match(modified, std::regex("[A-Z][a-z]{2}, \\d{2} [A-Z][a-z]{2} \\d{4} \\d{2}:\\d{2}:\\d{2} GMT")))
      << modified;
  EXPECT_EQ(s.client().Get(raw)->get_header_value("ETag"), etag);  // stable
  std::tm tm{};  // the same moment as Last-Modified in the obsolete asctime form
  strptime(modified.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
  char asc[64];
  std::strftime(asc, sizeof asc, "%a %b %e %H:%M:%S %Y", &tm);
  const std::string past = "Thu, 01 Jan 1970 00:00:01 GMT", ifRange = "Range: bytes=0-3\r\nIf-Range: ";
  const std::vector<std::pair<std::string, int>> cases = {
      {"If-None-Match: " + etag, 304}, {"If-None-Match: \"other\", " + etag, 304}, {"If-None-Match: W/" + etag, 304},
      {"If-None-Match: *", 304}, {"If-Modified-Since: " + modified, 304}, {"If-None-Match: \"other\"", 200},
      {"If-Modified-Since: " + past, 200}, {"If-Modified-Since: yesterday", 200},
      {"If-None-Match: \"other\"\r\nIf-Modified-Since: " + modified, 200},  // If-None-Match wins
      // If-Range: the range only while the validator is current; dates compared as dates, not as text.
      {ifRange + etag, 206}, {ifRange + asc, 206}, {ifRange + "\"stale\"", 200}, {ifRange + "W/" + etag, 200},
      {ifRange + past, 200}, {"If-Match: \"other\"", 412}, {"If-Match: " + etag, 200},
      {"If-Unmodified-Since: " + past, 412},
  };
  for (const auto& [headers, want] : cases)
    for (const std::string method : {"GET", "HEAD"}) {
      if (want != 304 && method == "HEAD") continue;
      SCOPED_TRACE(method + " " + headers);
      const RawAnswer a =
          rawRequest(s.port, method + " " + raw + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\nConnection: close\r\n\r\n");
      EXPECT_EQ(a.status, want);
      EXPECT_TRUE(want == 412 || a.body == (want == 200 ? png : png.substr(0, want == 206 ? 4 : 0))) << a.body.size();
      if (want == 304) {
        EXPECT_EQ(a.get("content-length"), "");
        EXPECT_EQ(a.get("etag"), etag);
        EXPECT_EQ(a.get("cache-control"), immutable);
      }
    }
}

TEST(ShareServerHttpTest, PagesAllowNoScriptAndSayHowToCacheAndRefer) {
  Server s;
  const std::string page = s.uploadImage(pngBytes(3000, 11)), video = s.uploadVideo(mp4Bytes(3000));
  ASSERT_FALSE(page.empty() || video.empty());
  for (const std::string& path : {page, video, std::string("/terms"), std::string("/privacy")}) {
    SCOPED_TRACE(path);
    auto r = s.client().Get(path);
    ASSERT_EQ(status(r), 200);
    // No script may run; that the image and video still load under this policy is browser_test.py's.
    const std::string csp = r->get_header_value("Content-Security-Policy");
    EXPECT_TRUE(csp.rfind("default-src 'none';", 0) == 0 && csp.find("script-src") == std::string::npos) << csp;
    EXPECT_EQ(r->get_header_value("Referrer-Policy"), "no-referrer");
    EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(r->get_header_value("Cache-Control"), "public, max-age=300");
    EXPECT_EQ(r->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(r->body.find("<script"), std::string::npos);
  }
  // The media on a page is same-origin whatever host name reached it; link previews get its full address.
  const std::string body = s.client().Get(page)->body;
  EXPECT_NE(body.find("<img src=\"" + page.substr(3) + ".png\""), std::string::npos);
  EXPECT_NE(body.find("og:image\" content=\"http://127.0.0.1:" + std::to_string(s.port) + page + ".png\""),
            std::string::npos);
  EXPECT_EQ(s.client().Get(page + ".png")->get_header_value("Content-Type"), "image/png");
  EXPECT_EQ(s.client().Get(video + ".mp4")->get_header_value("Content-Type"), "video/mp4");
  // That recording has no frame to decode: its page still names it, with no poster.
  EXPECT_NE(s.client().Get(video)->body.find("og:video\" content=\"http://127.0.0.1:"), std::string::npos);
  EXPECT_EQ(status(s.client().Get(video + ".jpg")), 404);
  EXPECT_EQ(s.client().Post("/api/register", "", "application/json")->get_header_value("Cache-Control"), "no-store");
}

}  // namespace
