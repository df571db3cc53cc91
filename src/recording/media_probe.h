#pragma once
// Reads a finished recording back with FFmpeg: what the self-test and the
// tests check.
#include <QString>

#include <optional>

namespace nimbo {

struct MediaProbe {
  double durationSeconds = 0;
  int videoTracks = 0, audioTracks = 0;
  int width = 0, height = 0;
  QString videoCodec, audioCodec;
  int sampleRate = 0, channels = 0;
  bool audioDecodes = false;
  double audioRms = 0;        // over every decoded sample of the first audio track
  bool indexAtFront = false;  // "moov" before "mdat"

  static std::optional<MediaProbe> read(const QString& path, QString* error = nullptr);
};

}  // namespace nimbo
