#pragma once
// H.264 through libx264, called directly rather than through FFmpeg's
// wrapper so that each picture can say which of its macroblocks are the
// same as in the picture before. x264 then codes those as skipped without
// looking at them: on a desktop, where most of the screen stands still,
// that is most of the encoder's work per picture. Packets come out as
// FFmpeg packets (Annex B, the muxer turns them into MP4's form).
//
// Only while FFmpeg is held open (media/ffmpeg_library.h).
#include <QByteArray>

#include <cstdint>
#include <memory>
#include <vector>

#include "util/result.h"

struct AVFrame;
struct AVPacket;
struct x264_t;

namespace nimbo {

class H264Encoder {
 public:
  struct Settings {
    int width = 0, height = 0;  // even
    QByteArray preset;          // x264's preset, with its "zerolatency" tuning
    float crf = 23;
    QByteArray params;  // x264's own options, "name=value:name=value"
    int timeBase = 90000;  // picture times are in 1/timeBase s
    int frameRateHint = 60;
    int keyframeIntervalMax = 250;  // pictures; keyframes are asked for anyway
    // x264's line for each picture and its closing summary, on stderr.
    bool verbose = false;
  };
  static Result<std::unique_ptr<H264Encoder>> open(const Settings& settings);
  ~H264Encoder();
  H264Encoder(const H264Encoder&) = delete;
  H264Encoder& operator=(const H264Encoder&) = delete;

  // The sequence and picture parameter sets, start codes and all.
  const QByteArray& headers() const { return headers_; }

  // Macroblocks of 16 x 16 pixels across (or down) `pixels`.
  static int macroblocks(int pixels) { return (pixels + 15) / 16; }
  int macroblocksWide() const { return macroblocks(width_); }
  int macroblocksHigh() const { return macroblocks(height_); }

  // Encodes `picture` (4:2:0; its pts in the time base), a keyframe when
  // `key`. `unchanged`, when not empty: one byte per macroblock, row by
  // row, non-zero where the picture is the same as the one given before.
  // A null picture asks for what the encoder still holds. True when a
  // packet came out into `packet` (its pts, dts and key flag set).
  Result<bool> encode(const AVFrame* picture, bool key, std::vector<uint8_t> unchanged, AVPacket* packet);
  // Pictures given but not yet out as packets.
  int delayed() const;

 private:
  H264Encoder() = default;
  ::x264_t* x264_ = nullptr;
  int width_ = 0, height_ = 0;
  QByteArray headers_;
};

}  // namespace nimbo
