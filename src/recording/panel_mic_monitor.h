#pragma once
// The recorder panel's live microphone level, before any recording.
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace nimbo {

class AudioStream;

class PanelMicMonitor : public QObject {
  Q_OBJECT
 public:
  PanelMicMonitor();
  ~PanelMicMonitor() override;
  // Starts listening unless it already does; nothing when there is no
  // microphone (no prompt from the panel). A failure is logged.
  void start(const std::optional<QString>& deviceID);
  void stop();
  float level() const { return level_; }
  bool active() const { return active_; }

 Q_SIGNALS:
  void changed();

 private:
  std::unique_ptr<AudioStream> capture_;
  std::optional<QString> deviceID_;
  float level_ = 0;
  bool active_ = false;
};

}  // namespace nimbo
