// The share server's poster maker on uploaded recordings: any bytes, as the
// file a client uploaded, give a poster or nothing, never a crash.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "server/poster.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = [] {
    av_log_set_level(AV_LOG_QUIET);
    char d[] = "/tmp/nimbo-fuzz-poster.XXXXXX";
    if (!mkdtemp(d)) std::abort();
    return std::string(d);
  }();
  const std::string video = dir + "/upload.mp4", jpeg = dir + "/poster.jpg";
  FILE* f = std::fopen(video.c_str(), "wb");
  if (!f) std::abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  const auto frame = nimbo::server::makePoster(video, jpeg);
  if (frame && (frame->width <= 0 || frame->height <= 0)) std::abort();
  std::remove(jpeg.c_str());
  return 0;
}
