#pragma once
#include <QRectF>
#include <QString>

#include <optional>
#include <vector>

namespace nimbo {

enum class RecordTarget { screen, window, region };
enum class RecordingDestination { shareLink, localFile };

QString recordTargetName(RecordTarget t);
std::optional<RecordTarget> recordTargetFromName(const QString& name);

// What one recording captures and where it goes. The last one used is kept in
// the settings.
struct RecorderConfig {
  RecordTarget target = RecordTarget::screen;
  std::optional<quint32> windowID;  // never stored
  std::optional<QRectF> region;     // global points, y up
  bool systemAudio = false;
  bool mic = true;
  std::optional<QString> micDeviceID;  // absent or empty: the default microphone
  bool camera = false;
  RecordingDestination destination = RecordingDestination::shareLink;

  bool operator==(const RecorderConfig&) const = default;

  static RecorderConfig load();
  void save() const;
};

// One entry of the microphone chooser; the empty id is the system default.
struct MicInput {
  QString id;
  QString name;
  bool operator==(const MicInput&) const = default;
};

namespace MicrophoneCapture {
// The microphone chooser's list: the system default first ("System Default —
// " and its name), then every other microphone.
std::vector<MicInput> availableInputs();
}  // namespace MicrophoneCapture

// The rectangle as text, "{{x, y}, {w, h}}", and back. Reading takes the
// numbers in order; missing ones are 0.
QString rectToString(const QRectF& r);
QRectF rectFromString(const QString& s);

}  // namespace nimbo
