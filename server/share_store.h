#pragma once
// Storage of the share server: device tokens (hashed), images and recordings
// on disk with their metadata in SQLite. Thread-safe.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace nimbo::server {

std::string randomToken(size_t bytes);            // URL-safe base64, no padding
std::string sha256Hex(const std::string& data);
std::string hmacSha256Hex(const std::string& key, const std::string& data);
bool isSlug(const std::string& s);                // what randomToken(16) makes

// Writes `data` to a temporary file beside `path` with `mode` (less the
// umask), then moves it
// into place. With `replace` false an existing file is left alone (and that
// is success). False with `error` set when it could not be written.
bool writeFileAtomically(const std::string& path, const std::string& data, unsigned mode, bool replace,
                         std::string* error);

class ShareStore {
 public:
  // Opens (creating) the data folder, its database, its signing secret and
  // its identity key.
  static std::unique_ptr<ShareStore> open(const std::string& dataDir, std::string* error);
  ~ShareStore();

  std::string registerDevice();  // returns the new token; only its hash is kept
  bool isValidToken(const std::string& token);

  std::string imagePath(const std::string& slug) const;
  std::string videoPath(const std::string& slug) const;
  std::string posterPath(const std::string& slug) const;  // JPEG beside the video
  // A fresh temporary file in the data folder, for a body being received.
  std::string temporaryPath() const;
  // Moves a received image into place and records it; the slug.
  std::optional<std::string> addImage(const std::string& tempFile, uint64_t size);

  std::string createRecording();  // slug of a new, empty upload slot
  // Claims the slot for its one upload: false when used, unknown or done.
  bool claimUpload(const std::string& slug);
  bool finishUpload(const std::string& slug, const std::string& tempFile, uint64_t size);
  void failUpload(const std::string& slug);
  bool imageExists(const std::string& slug);
  bool recordingReady(const std::string& slug);

  struct PosterSize {
    int width = 0;
    int height = 0;
  };
  // Records the poster's size; 0x0 when none could be made.
  void setPoster(const std::string& slug, int width, int height);
  std::optional<PosterSize> poster(const std::string& slug);  // nullopt unless one exists
  // Ready recordings nobody has tried to make a poster for yet.
  std::vector<std::string> recordingsWithoutPoster();

  const std::string& secret() const { return secret_; }
  // The text of <data>/identity: 64 hex digits that only whoever can read the
  // data folder knows.
  const std::string& identity() const { return identity_; }

 private:
  ShareStore() = default;
  bool exec(const char* sql);
  void removeLeftovers();
  std::string dir_;
  std::string secret_;
  std::string identity_;
  sqlite3* db_ = nullptr;
  std::mutex mutex_;
};

}  // namespace nimbo::server
