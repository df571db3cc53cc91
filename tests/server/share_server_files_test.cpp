// What the share server keeps on disk and tells about itself: posters for recordings, the data folder's modes, the
// identity handshake and the port file.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sqlite3.h>

#include "server_harness.h"

using namespace nimbo::servertest;

namespace {

std::string hmacHex(const std::string& key, const std::string& message) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha256(), key.data(), int(key.size()), reinterpret_cast<const unsigned char*>(message.data()),
       message.size(), md, &len);
  std::string out;
  for (unsigned i = 0; i < len; ++i) out += {"0123456789abcdef"[md[i] >> 4], "0123456789abcdef"[md[i] & 15]};
  return out;
}

struct Rgb {
  int width = 0, height = 0;
  std::string pixels;
};

// A picture, or a video's frame (after input options in `before`, such as -ss), as RGB24 decoded by the ffmpeg tool,
// which turns videos the way their tracks say.
Rgb decode(const fs::path& file, const std::string& before = {}, const std::string& filter = {}) {
  Rgb out;
  const fs::path ppm = file.string() + ".ppm";
  if (sh("ffmpeg -v error -y " + before + " -i '" + file.string() + "'" + (filter.empty() ? "" : " -vf " + filter) +
         " -frames:v 1 -pix_fmt rgb24 -c:v ppm -f image2 '" + ppm.string() + "' </dev/null") != 0)
    return out;
  const std::string data = readFile(ppm);
  int head = 0;
  if (std::sscanf(data.c_str(), "P6 %d %d 255%n", &out.width, &out.height, &head) == 2) out.pixels = data.substr(head + 1);
  return out;
}

double meanDifference(const Rgb& a, const Rgb& b) {
  if (a.pixels.size() != b.pixels.size() || a.pixels.empty()) return 1e9;
  double sum = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) sum += std::abs(int(uint8_t(a.pixels[i])) - int(uint8_t(b.pixels[i])));
  return sum / double(a.pixels.size());
}

std::string meta(const std::string& page, const std::string& property) {
  return match(page, "<meta property=\"" + property + "\" content=\"([^\"]*)\">");
}

// Decoding a poster from 8192x4352 frames would take about a hundred megabytes, and an upload could declare far more.
TEST(ShareServerFilesTest, ARecordingLargerThan8KIsKeptButGetsNoPoster) {
  TempDir tmp;
  ASSERT_EQ(sh("ffmpeg -v error -y -f lavfi -i color=c=red:s=8192x4352:r=5 -frames:v 1 -c:v libx264 -preset ultrafast "
               "-pix_fmt yuv420p '" + (tmp.path / "huge.mp4").string() + "' </dev/null"),
            0);
  Server s;
  const std::string mp4 = readFile(tmp.path / "huge.mp4"), page = s.uploadVideo(mp4);
  ASSERT_FALSE(page.empty());
  auto r = s.client().Get(page);
  ASSERT_EQ(status(r), 200);
  EXPECT_EQ(r->body.find("og:image\""), std::string::npos) << r->body;
  EXPECT_EQ(status(s.client().Get(page + ".jpg")), 404);
  auto video = s.client().Get(page + ".mp4");
  EXPECT_TRUE(status(video) == 200 && video->body == mp4);
}

// The poster is the frame at min(duration / 2, 0.5 s) as a player shows it: not the first, not turned the other way.
TEST(ShareServerFilesTest, RecordingsGetTheAppsPosterFrameTurnedAsShown) {
  TempDir tmp;
  const fs::path plain = tmp.path / "plain.mp4", turned = tmp.path / "turned.mp4";  // turned a quarter clockwise
  ASSERT_FALSE(makeMp4(plain).empty());
  ASSERT_EQ(sh("ffmpeg -v error -y -i '" + plain.string() + "' -c copy -metadata:s:v:0 rotate=90 '" + turned.string() +
               "' </dev/null"),
            0);
  Server s;
  for (const auto& [source, width, height] : {std::tuple{plain, 320, 240}, std::tuple{turned, 240, 320}}) {
    SCOPED_TRACE(source.filename().string());
    const std::string page = s.uploadVideo(readFile(source));
    ASSERT_FALSE(page.empty());
    auto r = s.client().Get(page);  // right after the upload, the page already names the poster
    ASSERT_EQ(status(r), 200);
    const std::string slug = page.substr(3);
    EXPECT_EQ(meta(r->body, "og:image"), "http://127.0.0.1:" + std::to_string(s.port) + page + ".jpg");
    EXPECT_EQ(meta(r->body, "og:image:width"), std::to_string(width));
    EXPECT_EQ(meta(r->body, "og:image:height"), std::to_string(height));
    EXPECT_NE(r->body.find("poster=\"" + slug + ".jpg\""), std::string::npos) << r->body;

    auto jpg = s.client().Get(page + ".jpg");
    ASSERT_EQ(status(jpg), 200);
    EXPECT_EQ(jpg->get_header_value("Content-Type"), "image/jpeg");
    ASSERT_EQ(jpg->body.compare(0, 3, "\xff\xd8\xff"), 0);
    writeFile(tmp.path / (slug + ".jpg"), jpg->body);
    const Rgb poster = decode(tmp.path / (slug + ".jpg")), shown = decode(source, "-ss 0.5");
    EXPECT_EQ(poster.width, width);
    EXPECT_EQ(poster.height, height);
    ASSERT_EQ(shown.pixels.size(), size_t(width) * height * 3);
    const double near = meanDifference(poster, shown);
    EXPECT_LT(near, 6.0);
    EXPECT_GT(meanDifference(poster, decode(source, "-ss 0.5", "hflip,vflip")), near + 10);
    EXPECT_GT(meanDifference(poster, decode(source)), near + 5);
  }
}

TEST(ShareServerFilesTest, RecordingsFromBeforePostersGetOneAtTheNextStart) {
  TempDir tmp;
  const std::string mp4 = makeMp4(tmp.path / "v.mp4");
  ASSERT_FALSE(mp4.empty());
  const fs::path data = tmp.path / "data";
  std::string page;
  {
    Server s({}, data);
    page = s.uploadVideo(mp4);
    ASSERT_FALSE(page.empty());
    ASSERT_EQ(status(s.client().Get(page + ".jpg")), 200);
  }
  // As if made by a server that had no posters: file gone, never tried.
  fs::remove(data / "videos" / (page.substr(3) + ".jpg"));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((data / "share.db").c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "UPDATE recordings SET poster_width = NULL, poster_height = NULL", 0, 0, 0), SQLITE_OK);
  sqlite3_close(db);
  Server s({}, data);
  auto r = s.client().Get(page);
  ASSERT_EQ(status(r), 200);
  EXPECT_EQ(meta(r->body, "og:image:width"), "320");
  EXPECT_EQ(status(s.client().Get(page + ".jpg")), 200);
}

// Starts a recording's upload on `c` with `sent` of its `mp4` bytes; the partial file it makes in incoming/.
fs::path startUpload(RawConnection& c, const fs::path& data, const std::string& link, const std::string& mp4,
                     size_t sent) {
  EXPECT_TRUE(c.send("PUT " + link + " HTTP/1.1\r\nHost: x\r\nContent-Type: video/mp4\r\nContent-Length: " +
                     std::to_string(mp4.size()) + "\r\nConnection: close\r\n\r\n" + mp4.substr(0, sent)));
  for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(20ms))
    for (const auto& e : fs::directory_iterator(data / "incoming")) return e.path();
  return {};
}

// The kill soak kills at random moments; here the ones it seldom hits.
TEST(ShareServerFilesTest, WhatACrashLeftIsRemovedAtTheNextStart) {
  TempDir tmp;
  const fs::path data = tmp.path / "data";
  std::string image;
  Server::Slot slot;
  {
    Server s({}, data);
    image = s.uploadImage(pngBytes(5000, 1));
    ASSERT_FALSE(image.empty());
    slot = s.slot(s.token());
    RawConnection c(s.port);  // killed while a recording is half received
    ASSERT_FALSE(startUpload(c, data, slot.upload, mp4Bytes(100000), 30000).empty());
    ASSERT_EQ(filesIn(data / "incoming"), 1u);
    s.stop(SIGKILL);
  }
  // And as if killed between moving files into place and writing their rows.
  writeFile(data / "videos" / (slot.share.substr(3) + ".mp4"), mp4Bytes(1000));
  writeFile(data / "images" / "AAAAAAAAAAAAAAAAAAAAAA.png", pngBytes(100, 2));
  writeFile(data / "videos" / "AAAAAAAAAAAAAAAAAAAAAA.jpg.abcdefghijkl.tmp", "partial poster");
  Server s({}, data);
  EXPECT_EQ(filesIn(data / "incoming"), 0u);
  EXPECT_EQ(filesIn(data / "videos"), 0u);
  EXPECT_EQ(filesIn(data / "images"), 1u);  // the one uploaded and recorded
  EXPECT_EQ(status(s.client().Get(image + ".png")), 200);
  EXPECT_EQ(status(s.client().Get(slot.share + ".mp4")), 404);
  EXPECT_EQ(status(s.client().Put(slot.upload, mp4Bytes(1000), "video/mp4")), 409);  // the cut-off link stays used up
}

TEST(ShareServerFilesTest, PrivateDataFolderIsTheOwnersAlone) {
  TempDir tmp;
  const std::string mp4 = makeMp4(tmp.path / "v.mp4");
  ASSERT_FALSE(mp4.empty());
  const fs::path data = tmp.path / "data";  // as an earlier run with an open umask left it
  fs::create_directories(data / "images");
  writeFile(data / "images" / "old.png", "x");
  for (const auto& [path, mode] : {std::pair{data, 0755}, {data / "images", 0755}, {data / "images" / "old.png", 0644}})
    ::chmod(path.c_str(), mode);
  const mode_t saved = ::umask(022);
  Server s({"--private"}, data);
  ::umask(saved);
  ASSERT_FALSE(s.uploadImage(pngBytes(2000, 5)).empty());
  // A recording still on its way sits in a temporary file: private too.
  const Server::Slot slot = s.slot(s.token());
  RawConnection c(s.port);
  const fs::path part = startUpload(c, data, slot.upload, mp4, 4096);
  ASSERT_FALSE(part.empty());
  EXPECT_EQ(modeOf(part), 0600u) << part;
  ASSERT_TRUE(c.send(mp4.substr(4096)));
  EXPECT_EQ(parseAnswer(c.readAll(10s)).status, 200);
  ASSERT_EQ(status(s.client().Get(slot.share + ".jpg")), 200);
  EXPECT_EQ(modeOf(data), 0700u);
  size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(data)) {
    EXPECT_EQ(modeOf(e.path()), e.is_directory() ? 0700u : 0600u) << e.path();
    files += !e.is_directory();
  }
  EXPECT_GE(files, 7u);  // share.db, secret, identity, old.png, an image, the video and its poster
}

TEST(ShareServerFilesTest, WithoutPrivateTheUmaskDecides) {
  const mode_t saved = ::umask(022);
  Server s;
  ::umask(saved);
  const std::string page = s.uploadImage(pngBytes(2000, 6));
  ASSERT_FALSE(page.empty());
  for (const auto& [path, mode] : {std::pair{s.dir, 0755u}, {s.dir / "images", 0755u}, {s.dir / "share.db", 0644u},
                                   {s.dir / "images" / (page.substr(3) + ".png"), 0644u},
                                   {s.dir / "secret", 0600u}, {s.dir / "identity", 0600u}})  // keys: the owner's always
    EXPECT_EQ(modeOf(path), mode) << path;
}

TEST(ShareServerFilesTest, IdentityProofIsAnHmacOverTheNonceAndTheListeningPort) {
  TempDir tmp;
  const fs::path data = tmp.path / "data", other = tmp.path / "other";
  const auto proves = [](Server& s, const std::string& identity, const std::string& nonce) {
    auto r = s.client().Get("/api/identity?nonce=" + nonce);
    return status(r) == 200 && r->get_header_value("Content-Type") == "application/json" &&
           r->body == "{\"proof\":\"" + hmacHex(identity, nonce + ":" + std::to_string(s.port)) + "\"}";
  };
  std::string identity;
  {
    Server s({}, data);
    identity = readFile(data / "identity");
    ASSERT_TRUE(std::regex_match(identity, std::regex("[0-9a-f]{64}"))) << identity;
    for (const std::string& nonce : std::vector<std::string>{"0123abcd", "DEADBEEFcafe0042", std::string(128, 'f')})
      EXPECT_TRUE(proves(s, identity, nonce)) << nonce;
    for (const std::string& bad : std::vector<std::string>{"", "?nonce=", "?nonce=0123abc", "?nonce=0123abcg",
                                                           "?nonce=" + std::string(129, 'a'), "?nonce=01234567%00",
                                                           "?other=01234567"})
      EXPECT_EQ(status(s.client().Get("/api/identity" + bad)), 400) << bad;
  }
  // Started again on another free port it keeps its identity and proves it for the port in use, which the port file
  // and the links name too.
  {
    Server s({}, data);
    EXPECT_EQ(readFile(data / "identity"), identity);
    EXPECT_TRUE(proves(s, identity, "00000000"));
    EXPECT_EQ(readFile(s.portFile), std::to_string(s.port) + "\n");
    EXPECT_EQ(modeOf(s.portFile), 0600u);
    auto created = s.client().Post("/api/recordings/create", Server::bearer(s.token()), "", "application/json");
    EXPECT_EQ(field(created->body, "shareUrl").rfind("http://127.0.0.1:" + std::to_string(s.port) + "/v/", 0), 0u);
  }
  for (const auto& e : fs::directory_iterator(data))  // written through temporary files, none left behind
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
  // An identity someone put there is used as it is.
  const std::string mine(64, 'a');
  fs::create_directories(other);
  writeFile(other / "identity", mine);
  Server s({}, other);
  EXPECT_TRUE(proves(s, mine, "abcdef0123456789"));
  EXPECT_EQ(readFile(other / "identity"), mine);
}

}  // namespace
