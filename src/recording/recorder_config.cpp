#include "recording/recorder_config.h"

#include <QRegularExpression>
#include <QSettings>

#include "platform/platform.h"
#include "util/preferences.h"

namespace nimbo {

namespace {
constexpr char kTarget[] = "recorderTarget";
constexpr char kRegion[] = "recorderRegion";
constexpr char kSystemAudio[] = "recorderSystemAudio";
constexpr char kMic[] = "recorderMic";
constexpr char kMicDevice[] = "recorderMicDeviceID";
constexpr char kCamera[] = "recorderCameraBubble";
constexpr char kDestination[] = "recorderDestination";
constexpr char kLegacyAudioSource[] = "recorderAudioSource";

QString number(double v) { return QString::number(v, 'g', 17); }
}  // namespace

QString recordTargetName(RecordTarget t) {
  switch (t) {
    case RecordTarget::screen: return QStringLiteral("screen");
    case RecordTarget::window: return QStringLiteral("window");
    case RecordTarget::region: return QStringLiteral("region");
  }
  return QStringLiteral("screen");
}

std::optional<RecordTarget> recordTargetFromName(const QString& name) {
  for (RecordTarget t : {RecordTarget::screen, RecordTarget::window, RecordTarget::region})
    if (recordTargetName(t) == name) return t;
  return std::nullopt;
}

QString rectToString(const QRectF& r) {
  return "{{" + number(r.x()) + ", " + number(r.y()) + "}, {" + number(r.width()) + ", " + number(r.height()) + "}}";
}

QRectF rectFromString(const QString& s) {
  static const QRegularExpression numberPattern(QStringLiteral(R"([-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?)"));
  double v[4] = {0, 0, 0, 0};
  int i = 0;
  for (auto it = numberPattern.globalMatch(s); it.hasNext() && i < 4;) v[i++] = it.next().captured().toDouble();
  return QRectF(v[0], v[1], v[2], v[3]);
}

std::vector<MicInput> MicrophoneCapture::availableInputs() {
  AudioCaptureService& audio = *platform().audioCapture;
  const std::optional<AudioDevice> def = audio.defaultMicrophone();
  std::vector<MicInput> out{{QString(), def ? QString::fromUtf8("System Default — ") + def->name
                                            : QStringLiteral("System Default")}};
  for (const AudioDevice& d : audio.microphones())
    if (!def || d.id != def->id) out.push_back({d.id, d.name});
  return out;
}

RecorderConfig RecorderConfig::load() {
  QSettings& s = Preferences::store();
  RecorderConfig c;
  c.target = recordTargetFromName(s.value(kTarget).toString()).value_or(RecordTarget::screen);
  if (s.contains(kRegion)) c.region = rectFromString(s.value(kRegion).toString());
  if (s.contains(kSystemAudio)) {
    c.systemAudio = Preferences::boolValue(kSystemAudio, false);
    c.mic = Preferences::boolValue(kMic, false);
  } else if (s.contains(kLegacyAudioSource)) {
    const QString legacy = s.value(kLegacyAudioSource).toString();
    c.systemAudio = legacy == QLatin1String("system");
    c.mic = legacy == QLatin1String("microphone");
  }
  if (s.contains(kMicDevice)) c.micDeviceID = s.value(kMicDevice).toString();
  c.camera = Preferences::boolValue(kCamera, false);
  c.destination = s.value(kDestination).toString() == QLatin1String("localFile") ? RecordingDestination::localFile
                                                                                : RecordingDestination::shareLink;
  return c;
}

void RecorderConfig::save() const {
  Preferences::setValue(kTarget, recordTargetName(target));
  if (region)
    Preferences::setValue(kRegion, rectToString(*region));
  else
    Preferences::remove(kRegion);
  Preferences::setValue(kSystemAudio, systemAudio);
  Preferences::setValue(kMic, mic);
  if (micDeviceID && !micDeviceID->isEmpty())
    Preferences::setValue(kMicDevice, *micDeviceID);
  else
    Preferences::remove(kMicDevice);
  Preferences::setValue(kCamera, camera);
  Preferences::setValue(kDestination, destination == RecordingDestination::localFile ? "localFile" : "shareLink");
  Preferences::remove(kLegacyAudioSource);
}

}  // namespace nimbo
