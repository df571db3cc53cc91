#pragma once
#include "platform/platform.h"

namespace nimbo {

// Reads video files through libavformat/libavcodec.
class FfmpegVideoReader : public MediaReader {
 public:
  std::optional<VideoInfo> probe(const QString& path) override;
  std::optional<QImage> frameAt(const QString& path, double seconds) override;
};

}  // namespace nimbo
