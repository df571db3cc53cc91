#include "recording/recording_state.h"

#include <QCoreApplication>

#include <cmath>

namespace nimbo {

RecordingState& RecordingState::shared() {
  static RecordingState* s = new RecordingState;
  return *s;
}

RecordingState::RecordingState() {
  timer_.setInterval(500);
  QObject::connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
}

QString RecordingState::elapsedLabel(double seconds) {
  const qint64 s = std::isfinite(seconds) && seconds > 0 ? qint64(seconds) : 0;
  return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QChar('0'));
}

void RecordingState::begin() {
  isRecording_ = true;
  elapsed_ = 0;
  startedAt_ = QDateTime::currentDateTimeUtc();
  timer_.start();
  Q_EMIT changed();
}

void RecordingState::end() {
  isRecording_ = false;
  timer_.stop();
  startedAt_.reset();
  elapsed_ = 0;
  audioLevel_ = 0;
  Q_EMIT changed();
}

void RecordingState::tick() {
  if (!startedAt_) return;
  elapsed_ = startedAt_->msecsTo(QDateTime::currentDateTimeUtc()) / 1000.0;
  Q_EMIT changed();
}

void RecordingState::reportAudioLevel(float level) {
  QMetaObject::invokeMethod(
      &shared(),
      [level] {
        RecordingState& s = shared();
        s.audioLevel_ = level;
        Q_EMIT s.changed();
      },
      Qt::QueuedConnection);
}

}  // namespace nimbo
