#include "share_store.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace fs = std::filesystem;

namespace nimbo::server {

std::string randomToken(size_t bytes) {
  std::string raw(bytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), int(bytes)) != 1) std::abort();
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (unsigned char c : raw) {
    acc = (acc << 8) | c;
    bits += 8;
    while (bits >= 6) {
      out += alphabet[(acc >> (bits - 6)) & 63];
      bits -= 6;
    }
  }
  if (bits > 0) out += alphabet[(acc << (6 - bits)) & 63];
  return out;
}

static std::string hex(const unsigned char* d, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[d[i] >> 4];
    s += digits[d[i] & 15];
  }
  return s;
}

std::string sha256Hex(const std::string& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr);
  return hex(md, len);
}

std::string hmacSha256Hex(const std::string& key, const std::string& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha256(), key.data(), int(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
       data.size(), md, &len);
  return hex(md, len);
}

bool writeFileAtomically(const std::string& path, const std::string& data, unsigned mode, bool replace,
                         std::string* error) {
  const std::string tmp = path + "." + randomToken(9) + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    *error = "cannot create " + tmp + ": " + std::strerror(errno);
    return false;
  }
  // The mode goes through the umask, so a private data folder stays private.
  bool ok = ::write(fd, data.data(), data.size()) == ssize_t(data.size()) &&
            ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok) {
    if (replace) {
      ok = ::rename(tmp.c_str(), path.c_str()) == 0;
    } else {
      // A hard link never replaces: of two servers starting at once on one
      // folder, the first file wins and both read it back.
      ok = ::link(tmp.c_str(), path.c_str()) == 0 || errno == EEXIST;
    }
  }
  const int saved = errno;
  if (!ok || !replace) ::unlink(tmp.c_str());
  if (!ok) *error = "cannot write " + path + ": " + std::strerror(saved);
  return ok;
}

bool isSlug(const std::string& s) {
  if (s.size() != 22) return false;
  for (char c : s)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) return false;
  return true;
}

std::unique_ptr<ShareStore> ShareStore::open(const std::string& dataDir, std::string* error) {
  std::error_code ec;
  fs::create_directories(fs::path(dataDir) / "images", ec);
  fs::create_directories(fs::path(dataDir) / "videos", ec);
  fs::create_directories(fs::path(dataDir) / "incoming", ec);
  if (ec) {
    *error = "cannot create " + dataDir + ": " + ec.message();
    return nullptr;
  }
  std::unique_ptr<ShareStore> s(new ShareStore);
  s->dir_ = dataDir;
  // Leftovers of uploads cut off by a crash are never referenced again.
  for (const auto& e : fs::directory_iterator(fs::path(dataDir) / "incoming", ec)) fs::remove(e.path(), ec);

  const std::string secretPath = dataDir + "/secret";
  std::ifstream in(secretPath, std::ios::binary);
  std::getline(in, s->secret_);
  if (s->secret_.size() < 32) {
    s->secret_ = randomToken(32);
    const int fd = ::open(secretPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::write(fd, s->secret_.data(), s->secret_.size()) != ssize_t(s->secret_.size())) {
      *error = "cannot write " + secretPath;
      if (fd >= 0) ::close(fd);
      return nullptr;
    }
    ::close(fd);
  }
  // The identity lets the app tell its own server from another user's on the
  // same port: only someone who can read this folder knows it.
  const std::string identityPath = dataDir + "/identity";
  if (!fs::exists(identityPath, ec)) {
    unsigned char raw[32];
    if (RAND_bytes(raw, sizeof raw) != 1) std::abort();
    if (!writeFileAtomically(identityPath, hex(raw, sizeof raw), 0600, false, error)) return nullptr;
  }
  std::ifstream idIn(identityPath, std::ios::binary);
  s->identity_.assign(std::istreambuf_iterator<char>(idIn), {});
  if (s->identity_.size() != 64 ||
      s->identity_.find_first_not_of("0123456789abcdef") != std::string::npos) {
    *error = identityPath + " is not 64 hex digits; move it away to have a new one made";
    return nullptr;
  }

  if (sqlite3_open((dataDir + "/share.db").c_str(), &s->db_) != SQLITE_OK) {
    *error = "cannot open the database in " + dataDir;
    return nullptr;
  }
  sqlite3_busy_timeout(s->db_, 5000);
  // FULL: a commit is on disk before the answer that follows it goes out.
  if (!s->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
               "CREATE TABLE IF NOT EXISTS tokens(hash TEXT PRIMARY KEY, created INTEGER);"
               "CREATE TABLE IF NOT EXISTS images(slug TEXT PRIMARY KEY, size INTEGER, created INTEGER);"
               "CREATE TABLE IF NOT EXISTS recordings(slug TEXT PRIMARY KEY, state TEXT, size INTEGER,"
               " created INTEGER);")) {
    *error = std::string("database set-up failed: ") + sqlite3_errmsg(s->db_);
    return nullptr;
  }
  // Folders from before posters existed lack their columns.
  sqlite3_stmt* probe = nullptr;
  const bool hasPosters =
      sqlite3_prepare_v2(s->db_, "SELECT poster_width FROM recordings LIMIT 0", -1, &probe, nullptr) == SQLITE_OK;
  sqlite3_finalize(probe);
  if (!hasPosters && !s->exec("ALTER TABLE recordings ADD COLUMN poster_width INTEGER;"
                              "ALTER TABLE recordings ADD COLUMN poster_height INTEGER;")) {
    *error = std::string("database upgrade failed: ") + sqlite3_errmsg(s->db_);
    return nullptr;
  }
  s->removeLeftovers();
  return s;
}

ShareStore::~ShareStore() {
  if (db_) sqlite3_close(db_);
}

bool ShareStore::exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

namespace {
// One statement, text parameters bound in order; true when it ran to the end
// (and, with `row`, the first column of the first row).
bool run(sqlite3* db, const char* sql, std::initializer_list<std::string> params, std::string* row = nullptr,
         int* changes = nullptr) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) return false;
  int i = 1;
  for (const std::string& p : params) sqlite3_bind_text(st, i++, p.c_str(), int(p.size()), SQLITE_TRANSIENT);
  int rc = sqlite3_step(st);
  bool ok = rc == SQLITE_DONE || rc == SQLITE_ROW;
  if (rc == SQLITE_ROW && row) row->assign(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
  if (row && rc != SQLITE_ROW) ok = false;
  sqlite3_finalize(st);
  if (changes) *changes = sqlite3_changes(db);
  return ok;
}
std::string now() { return std::to_string(std::time(nullptr)); }
}  // namespace

// After a crash: uploads that were being received never will be, and files
// moved into place whose row was never written (or that are not ours) are
// removed, so that the folders hold exactly what the database names.
void ShareStore::removeLeftovers() {
  exec("UPDATE recordings SET state = 'failed' WHERE state = 'uploading'");
  auto known = [this](const char* sql, const std::string& slug) {
    std::string found;
    return run(db_, sql, {slug}, &found);
  };
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(fs::path(dir_) / "images", ec)) {
    const std::string name = e.path().filename().string();
    const bool keep = name.size() == 26 && name.ends_with(".png") && isSlug(name.substr(0, 22)) &&
                      known("SELECT slug FROM images WHERE slug = ?", name.substr(0, 22));
    if (!keep) fs::remove(e.path(), ec);
  }
  for (const auto& e : fs::directory_iterator(fs::path(dir_) / "videos", ec)) {
    const std::string name = e.path().filename().string();
    const bool keep = name.size() == 26 && (name.ends_with(".mp4") || name.ends_with(".jpg")) &&
                      isSlug(name.substr(0, 22)) &&
                      known("SELECT slug FROM recordings WHERE slug = ? AND state = 'ready'", name.substr(0, 22));
    if (!keep) fs::remove(e.path(), ec);
  }
}

std::string ShareStore::registerDevice() {
  const std::string token = randomToken(32);  // 256 bits
  std::lock_guard l(mutex_);
  run(db_, "INSERT INTO tokens(hash, created) VALUES(?, ?)", {sha256Hex(token), now()});
  return token;
}

bool ShareStore::isValidToken(const std::string& token) {
  if (token.empty()) return false;
  std::string found;
  std::lock_guard l(mutex_);
  return run(db_, "SELECT hash FROM tokens WHERE hash = ?", {sha256Hex(token)}, &found);
}

std::string ShareStore::imagePath(const std::string& slug) const { return dir_ + "/images/" + slug + ".png"; }
std::string ShareStore::videoPath(const std::string& slug) const { return dir_ + "/videos/" + slug + ".mp4"; }
std::string ShareStore::posterPath(const std::string& slug) const { return dir_ + "/videos/" + slug + ".jpg"; }

std::string ShareStore::temporaryPath() const {
  return dir_ + "/incoming/" + randomToken(12) + ".part";
}

// Makes a rename into `dir` survive a crash.
static bool syncFolder(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// The file is moved into place (and synced there) before its row is written,
// so a row never names a missing file: a crash in between leaves a file with
// no row, which the next start removes.
std::optional<std::string> ShareStore::addImage(const std::string& tempFile, uint64_t size) {
  const std::string slug = randomToken(16);
  const std::string path = imagePath(slug);
  std::error_code ec;
  fs::rename(tempFile, path, ec);
  if (ec) {
    fs::remove(tempFile, ec);
    return std::nullopt;
  }
  bool stored = syncFolder(dir_ + "/images");
  std::lock_guard l(mutex_);
  stored = stored && run(db_, "INSERT INTO images(slug, size, created) VALUES(?, ?, ?)",
                         {slug, std::to_string(size), now()});
  if (!stored) {
    fs::remove(path, ec);
    return std::nullopt;
  }
  return slug;
}

std::string ShareStore::createRecording() {
  const std::string slug = randomToken(16);
  std::lock_guard l(mutex_);
  run(db_, "INSERT INTO recordings(slug, state, size, created) VALUES(?, 'pending', 0, ?)", {slug, now()});
  return slug;
}

bool ShareStore::claimUpload(const std::string& slug) {
  int changes = 0;
  std::lock_guard l(mutex_);
  // The state moves on in the same statement that checks it: two racing
  // PUTs cannot both win.
  run(db_, "UPDATE recordings SET state = 'uploading' WHERE slug = ? AND state = 'pending'", {slug}, nullptr,
      &changes);
  return changes == 1;
}

bool ShareStore::finishUpload(const std::string& slug, const std::string& tempFile, uint64_t size) {
  std::error_code ec;
  fs::rename(tempFile, videoPath(slug), ec);
  const bool moved = !ec && syncFolder(dir_ + "/videos");
  std::lock_guard l(mutex_);
  int changes = 0;
  if (moved && run(db_, "UPDATE recordings SET state = 'ready', size = ? WHERE slug = ? AND state = 'uploading'",
                   {std::to_string(size), slug}, nullptr, &changes) && changes == 1)
    return true;
  fs::remove(ec ? tempFile : videoPath(slug), ec);
  run(db_, "UPDATE recordings SET state = 'failed' WHERE slug = ?", {slug});
  return false;
}

void ShareStore::failUpload(const std::string& slug) {
  std::lock_guard l(mutex_);
  run(db_, "UPDATE recordings SET state = 'failed' WHERE slug = ?", {slug});
}

bool ShareStore::imageExists(const std::string& slug) {
  std::string found;
  std::lock_guard l(mutex_);
  return run(db_, "SELECT slug FROM images WHERE slug = ?", {slug}, &found);
}

bool ShareStore::recordingReady(const std::string& slug) {
  std::string found;
  std::lock_guard l(mutex_);
  return run(db_, "SELECT slug FROM recordings WHERE slug = ? AND state = 'ready'", {slug}, &found);
}

void ShareStore::setPoster(const std::string& slug, int width, int height) {
  std::lock_guard l(mutex_);
  run(db_, "UPDATE recordings SET poster_width = ?, poster_height = ? WHERE slug = ?",
      {std::to_string(width), std::to_string(height), slug});
}

std::optional<ShareStore::PosterSize> ShareStore::poster(const std::string& slug) {
  std::lock_guard l(mutex_);
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db_,
                         "SELECT poster_width, poster_height FROM recordings WHERE slug = ? AND state = 'ready'"
                         " AND poster_width > 0 AND poster_height > 0",
                         -1, &st, nullptr) != SQLITE_OK)
    return std::nullopt;
  sqlite3_bind_text(st, 1, slug.c_str(), int(slug.size()), SQLITE_TRANSIENT);
  std::optional<PosterSize> out;
  if (sqlite3_step(st) == SQLITE_ROW) out = PosterSize{sqlite3_column_int(st, 0), sqlite3_column_int(st, 1)};
  sqlite3_finalize(st);
  return out;
}

std::vector<std::string> ShareStore::recordingsWithoutPoster() {
  std::lock_guard l(mutex_);
  std::vector<std::string> out;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT slug FROM recordings WHERE state = 'ready' AND poster_width IS NULL", -1,
                         &st, nullptr) != SQLITE_OK)
    return out;
  while (sqlite3_step(st) == SQLITE_ROW) out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
  sqlite3_finalize(st);
  return out;
}

}  // namespace nimbo::server
