#pragma once
// Whether a recording runs, for how long, and how loud it is: what the pill,
// the tray icon and the popover show. Main thread only, except
// reportAudioLevel.
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

namespace nimbo {

class RecordingState : public QObject {
  Q_OBJECT
 public:
  static RecordingState& shared();

  bool isRecording() const { return isRecording_; }
  double elapsed() const { return elapsed_; }
  float audioLevel() const { return audioLevel_; }
  // "m:ss" of the whole seconds elapsed (0:07, 12:34, 75:00).
  QString elapsedLabel() const { return elapsedLabel(elapsed_); }
  static QString elapsedLabel(double seconds);

  void begin();
  void end();
  // From any thread: the level reaches the main thread later.
  static void reportAudioLevel(float level);

 Q_SIGNALS:
  void changed();

 private:
  RecordingState();
  void tick();

  bool isRecording_ = false;
  double elapsed_ = 0;
  float audioLevel_ = 0;
  QTimer timer_;
  std::optional<QDateTime> startedAt_;
};

}  // namespace nimbo
