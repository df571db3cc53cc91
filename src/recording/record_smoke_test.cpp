// `nimbo --smoke`: one scripted recording, checked from the file it leaves,
// one line per check and an exit status for scripts.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPainter>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <map>

#include "platform/platform.h"
#include "recording/media_probe.h"
#include "recording/recording_flow.h"
#include "recording/screen_recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nimbo {

namespace {

using Settings = std::map<QString, QString>;

struct Check {
  int failed = 0;
  void operator()(bool ok, const QString& label) {
    std::printf("SMOKE %s %s\n", ok ? "PASS" : "FAIL", qPrintable(label));
    std::fflush(stdout);
    if (!ok) ++failed;
  }
};

void info(const QString& line) {
  std::printf("SMOKE INFO %s\n", qPrintable(line));
  std::fflush(stdout);
}

// "--smoke-NAME=value", else NIMBO_SMOKE_NAME, else the default.
Settings readSettings(const QStringList& args) {
  const std::pair<const char*, const char*> names[] = {{"target", "screen"}, {"audio", "both"},
                                                       {"seconds", "4"},     {"self-noise", ""},
                                                       {"expect-signal", ""}, {"panel", ""},
                                                       {"flow", ""}};
  Settings s;
  for (const auto& [name, fallback] : names) {
    const QString env = "NIMBO_SMOKE_" + QString::fromLatin1(name).toUpper().replace('-', '_');
    const QString prefix = "--smoke-" + QString::fromLatin1(name) + "=";
    QString value;
    bool found = false;
    for (const QString& a : args)
      if (a.startsWith(prefix)) value = a.mid(prefix.size()), found = true;
    if (!found && qEnvironmentVariableIsSet(env.toUtf8().constData())) value = qEnvironmentVariable(env.toUtf8()), found = true;
    s[env] = found ? value : QString::fromLatin1(fallback);
  }
  return s;
}

void waitFor(double seconds) {
  QEventLoop loop;
  QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
  loop.exec();
}

// Something to record: a window of our own that keeps changing, and a sound
// played again and again.
class NoiseWindow : public QWidget {
 public:
  NoiseWindow() {
    setWindowTitle(QStringLiteral("Nimbo Smoke Noise Window"));
    setGeometry(120, 120, 480, 300);
    connect(&tick_, &QTimer::timeout, this, [this] {
      ++n_;
      update();
    });
    tick_.start(33);
    connect(&sound_, &QTimer::timeout, this, [] { platform().sound->play(QStringLiteral("complete")); });
    sound_.start(700);
    platform().sound->play(QStringLiteral("complete"));
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), QColor::fromHsv((n_ * 7) % 360, 160, 220));
    p.fillRect(QRect((n_ * 9) % width(), 0, 40, height()), Qt::black);
  }

 private:
  QTimer tick_, sound_;
  int n_ = 0;
};

int runRecording(const Settings& env) {
  Check check;
  RecorderConfig config;
  const QString targetName = env.at("NIMBO_SMOKE_TARGET");
  const std::optional<RecordTarget> target = recordTargetFromName(targetName);
  if (!target) check(false, "unknown target " + targetName);
  config.target = target.value_or(RecordTarget::screen);
  const QString audio = env.at("NIMBO_SMOKE_AUDIO");
  if (audio == "none") {
    config.systemAudio = config.mic = false;
  } else if (audio == "system") {
    config.systemAudio = true, config.mic = false;
  } else if (audio == "mic") {
    config.systemAudio = false, config.mic = true;
  } else if (audio == "both") {
    config.systemAudio = config.mic = true;
  } else {
    check(false, "unknown audio mode");
  }
  bool secondsOk = false;
  double seconds = env.at("NIMBO_SMOKE_SECONDS").toDouble(&secondsOk);
  if (!secondsOk || seconds <= 0) seconds = 4;

  const std::vector<ScreenInfo> screens = platform().screens->list();
  if (screens.empty()) {
    std::printf("SMOKE FAIL no screens\n");
    return 1;
  }
  const ScreenInfo screen = platform().screens->main().value_or(screens.front());

  std::unique_ptr<NoiseWindow> noise;
  if (env.at("NIMBO_SMOKE_SELF_NOISE") == "1") {
    noise = std::make_unique<NoiseWindow>();
    noise->show();
    waitFor(0.5);  // mapped and drawn before the recording starts
  }
  if (config.target == RecordTarget::window) {
    if (noise) {
      config.windowID = quint32(noise->winId());
      info("window target: own window #" + QString::number(*config.windowID));
    } else {
      const auto windows = platform().screenStreams->windows();
      if (!windows.empty()) {
        config.windowID = windows.front().id;
        info("window target: \"" + windows.front().title + "\" (" + windows.front().application + ")");
      }
    }
    // Found means the display server knows the window and its size.
    const bool found = config.windowID && platform().screenStreams->windowPixels(*config.windowID).has_value();
    check(found, QStringLiteral("window target: found at least one window"));
  }
  if (config.target == RecordTarget::region) config.region = QRectF(200, 200, 800, 600);
  info(QStringLiteral("recording target=%1 systemAudio=%2 mic=%3 seconds=%4")
           .arg(recordTargetName(config.target), config.systemAudio ? "true" : "false", config.mic ? "true" : "false")
           .arg(seconds));

  ScreenRecorder recorder;
  Result<QString> started = recorder.start(screen, config);
  if (!started.ok()) {
    check(false, "recorder start: " + started.error().description);
  } else {
    waitFor(seconds);
    std::optional<QString> file;
    bool stopped = false;
    recorder.stop([&](std::optional<QString> f) { file = f, stopped = true; });
    QElapsedTimer t;
    t.start();
    while (!stopped && t.elapsed() < 120000) QApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!file) {
      check(false, QStringLiteral("recorder stop produced no file"));
    } else {
      std::printf("SMOKE PASS file saved: %s\n", qPrintable(*file));
      QString why;
      const std::optional<MediaProbe> probe = MediaProbe::read(*file, &why);
      if (!probe) {
        check(false, "file readable: " + why);
      } else {
        const double minimum = seconds - 1;
        check(probe->durationSeconds >= minimum, QStringLiteral("duration %1s ≥ %2s")
                                                     .arg(probe->durationSeconds, 0, 'f', 2)
                                                     .arg(minimum, 0, 'f', 1));
        check(probe->videoTracks >= 1, QStringLiteral("video track exists"));
        if (config.target != RecordTarget::screen) {
          const std::optional<QRect> display =
              screen.displayId ? platform().screenStreams->displayPixels(*screen.displayId) : std::nullopt;
          const QSize d = display ? display->size() : QSize();
          check(QSize(probe->width, probe->height) != d,
                QStringLiteral("video size %1x%2 vs display %3x%4: capture is not display-sized")
                    .arg(probe->width)
                    .arg(probe->height)
                    .arg(d.width())
                    .arg(d.height()));
        }
        const bool withAudio = config.systemAudio || config.mic;
        check(probe->audioTracks == (withAudio ? 1 : 0), "audio track count " + QString::number(probe->audioTracks));
        if (withAudio) {
          check(probe->audioCodec == "aac", QStringLiteral("audio codec is AAC"));
          check(probe->sampleRate == 48000, QStringLiteral("audio sample rate 48 kHz (got %1)").arg(probe->sampleRate));
          check(probe->channels == 2, QStringLiteral("audio channels 2 (got %1)").arg(probe->channels));
          check(probe->audioDecodes, QStringLiteral("audio decodes"));
        }
        std::printf("SMOKE INFO decoded audio RMS = %.5f\n", probe->audioRms);
        if (env.at("NIMBO_SMOKE_EXPECT_SIGNAL") == "1")
          check(probe->audioRms > 0.0005, QStringLiteral("audio has signal (RMS %1)").arg(probe->audioRms, 0, 'f', 5));
        info(QStringLiteral("frames written %1, unchanged %2, missed %3, dropped by the encoder %4")
                 .arg(recorder.framesWritten())
                 .arg(recorder.framesIdle())
                 .arg(recorder.framesMissed())
                 .arg(recorder.framesDropped()));
      }
    }
  }
  if (check.failed == 0) {
    std::printf("SMOKE RESULT: ALL PASS\n");
    return 0;
  }
  std::printf("SMOKE RESULT: %d FAILED\n", check.failed);
  return 1;
}

int run(const Settings& env) {
  if (env.at("NIMBO_SMOKE_PANEL") == "1" || env.at("NIMBO_SMOKE_FLOW") == "1") {
    // The panel screenshot and the full record-and-upload flow need the
    // recorder panel and the recording flow, which this build does not have.
    std::printf("SMOKE FAIL %s mode needs the recorder panel, which is not in this build\n",
                env.at("NIMBO_SMOKE_PANEL") == "1" ? "panel" : "flow");
    std::printf("SMOKE RESULT: 1 FAILED\n");
    return 1;
  }
  return runRecording(env);
}

}  // namespace

bool RecordSmokeTest::runIfRequested() {
  const QStringList args = QCoreApplication::arguments();
  if (qEnvironmentVariable("NIMBO_SMOKE") != QLatin1String("1") && !args.contains(QStringLiteral("--smoke")))
    return false;
  const Settings env = readSettings(args);
  QString log;
  for (const QString& a : args)
    if (a.startsWith(QLatin1String("--smoke-log="))) log = a.mid(12);
  if (log.isEmpty() && args.contains(QStringLiteral("--smoke"))) log = QStringLiteral("/tmp/nimbo-smoke.txt");
  if (!log.isEmpty()) {
    // Opened first and only then put in place of both streams: a log that
    // cannot be written leaves standard output and error as they were.
    const QByteArray path = log.toLocal8Bit();
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      std::fprintf(stderr, "nimbo: cannot write %s: %s\n", path.constData(), std::strerror(errno));
    } else {
      std::fflush(stdout);
      std::fflush(stderr);
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
      ::close(fd);
    }
  }
  QTimer::singleShot(0, qApp, [env] {
    const int status = run(env);
    std::fflush(stdout);
    std::fflush(stderr);
    QCoreApplication::exit(status);
  });
  return true;
}

}  // namespace nimbo
