#pragma once
// Poster frames for uploaded recordings: the frame the app itself shows as a
// recording's thumbnail, as a JPEG beside the video.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

namespace nimbo::server {

struct PosterFrame {
  int width = 0;
  int height = 0;
};

// The largest frame a poster is made of: 8K UHD.
inline constexpr int64_t kMaxPosterPixels = int64_t(7680) * 4320;
// The largest single allocation FFmpeg may make in this process.
inline constexpr size_t kMaxPosterAllocation = size_t(256) << 20;

// Decodes the frame at min(duration / 2, 0.5 s), turned the way the track
// says players should show it, and writes it to `jpegPath`. nullopt (and no
// file) when the video cannot be decoded or its frames are larger than
// kMaxPosterPixels.
std::optional<PosterFrame> makePoster(const std::string& videoPath, const std::string& jpegPath);

// Makes posters one at a time on a thread of its own, so an upload's answer
// never waits for decoding.
class PosterQueue {
 public:
  using Job = std::function<void(const std::string& slug)>;
  explicit PosterQueue(Job job);
  ~PosterQueue();

  void add(const std::string& slug);
  // Waits up to `limit` while `slug` is queued or being made. True when it is
  // not (any more).
  bool waitFor(const std::string& slug, std::chrono::milliseconds limit);

 private:
  void run();
  Job job_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> queue_;
  std::set<std::string> pending_;  // queued or in progress
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace nimbo::server
