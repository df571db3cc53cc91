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
  // What a player shows before reading any picture: the duration the file
  // declares (or FFmpeg finds when opening it), 0 when unknown.
  double openedDurationSeconds = 0;

  static std::optional<MediaProbe> read(const QString& path, QString* error = nullptr);

  // A seek as a player does it: to the keyframe at or before `seconds`,
  // then decoding on to the picture shown at that time.
  struct Seek {
    double landedSeconds = 0;  // the first picture decoded after the seek
    bool landedOnKeyframe = false;
    double shownSeconds = 0;  // the picture shown at the time asked for
    double meanLuma = 0;      // of that picture, 0..255
    int decodeErrors = 0;     // pictures between the two that failed to decode
  };
  static std::optional<Seek> seek(const QString& path, double seconds, QString* error = nullptr);
};

}  // namespace nimbo
