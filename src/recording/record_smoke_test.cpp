// `nimbo --smoke`: one scripted recording, checked from the file it leaves,
// one line per check and an exit status for scripts.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPainter>
#include <QTimer>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMimeData>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QWidget>

#include <cmath>
#include <cstdio>
#include <map>

#include "platform/platform.h"
#include "recording/media_probe.h"
#include "recording/recorder_panel.h"
#include "recording/recording_flow.h"
#include "recording/recording_indicators.h"
#include "sharing/share_api.h"
#include "util/preferences.h"
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
                                                       {"flow", ""},          {"countdown", ""}};
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

int result(const Check& check);

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
    if (platform().screenStreams->desktopChoosesWindows()) {
      // Wayland: the window is the one chosen in the desktop's dialog.
      std::optional<std::optional<ScreenStreamService::ChosenWindow>> chosen;
      QEventLoop answered;
      platform().screenStreams->chooseWindow([&](std::optional<ScreenStreamService::ChosenWindow> w) {
        chosen = w;
        answered.quit();
      });
      if (!chosen) answered.exec();
      if (*chosen) {
        config.windowID = (*chosen)->id;
        info(QStringLiteral("window target: chosen in the desktop's dialog"));
      }
    } else if (noise) {
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

  // As the app does: the desktop's question, if it has one, first; then the
  // file is made while the three-second countdown runs (shown, with
  // --smoke-countdown=1, to see that it is not recorded).
  ScreenRecorder recorder;
  {
    std::optional<std::optional<Error>> refused;
    QEventLoop answered;
    QElapsedTimer asking;
    asking.start();
    recorder.chooseAhead(screen, config, [&](std::optional<Error> e) {
      refused = e;
      answered.quit();
    });
    if (!refused) answered.exec();
    if (*refused) info("the desktop's question before the countdown: " + (*refused)->description);
    else info(QStringLiteral("ready for the countdown in %1 ms").arg(asking.elapsed()));
  }
  recorder.prepare(screen, config);
  if (env.at("NIMBO_SMOKE_COUNTDOWN") == "1") {
    QEventLoop counted;
    CountdownOverlay::run(3, nullptr, [&counted] { counted.quit(); });
    counted.exec();
  } else {
    waitFor(3);
  }
  QElapsedTimer starting;
  starting.start();
  Result<QString> started = recorder.start(screen, config);
  if (started.ok())
    info(QStringLiteral("recorder started in %1 ms (file made during the countdown: %2)")
             .arg(starting.elapsed())
             .arg(recorder.lastStartWasPrepared() ? "yes" : "no"));
  if (!started.ok()) {
    check(false, "recorder start: " + started.error().description);
  } else {
    waitFor(seconds);
    if (const std::optional<double> first = recorder.firstFrameAfter())
      info(QStringLiteral("first picture %1 ms after the start").arg(std::lround(*first * 1e3)));
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
        info(QStringLiteral("recorded at %1 fps").arg(std::lround(recorder.finalFrameRate())));
        info(QStringLiteral("frames written %1, unchanged %2, missed %3, dropped by the encoder %4")
                 .arg(recorder.framesWritten())
                 .arg(recorder.framesIdle())
                 .arg(recorder.framesMissed())
                 .arg(recorder.framesDropped()));
      }
    }
  }
  return result(check);
}

int result(const Check& check) {
  if (check.failed == 0) {
    std::printf("SMOKE RESULT: ALL PASS\n");
    return 0;
  }
  std::printf("SMOKE RESULT: %d FAILED\n", check.failed);
  return 1;
}

// The recorder panel as it opens, to a PNG a person can look at.
int runPanelScreenshot() {
  Check check;
  Preferences::setValue(QStringLiteral("recorderTarget"), QStringLiteral("window"));
  Preferences::setValue(QStringLiteral("recorderMic"), true);
  Preferences::setValue(QStringLiteral("recorderSystemAudio"), true);
  RecorderPanel::show(std::nullopt);
  waitFor(2);
  QWidget* panel = RecorderPanel::panel();
  QStringList layers;
  int own = 0;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible()) {
      ++own;
      layers << QString::number(int(w->windowFlags() & Qt::WindowStaysOnTopHint ? 3 : 0));
    }
  info(QStringLiteral("panel visible=%1 own on-screen windows=%2 layers=%3")
           .arg(panel && panel->isVisible() ? "true" : "false")
           .arg(own)
           .arg(layers.join(',')));
  if (!panel || !panel->winId()) {
    std::printf("SMOKE FAIL no panel window id\n");
    return 1;
  }
  const QImage image = panel->grab().toImage();
  if (image.isNull()) {
    std::printf("SMOKE FAIL panel screenshot capture\n");
    return 1;
  }
  QString out = qEnvironmentVariable("NIMBO_SMOKE_PANEL_OUT");
  if (out.isEmpty()) out = QDir::tempPath() + "/nimbo-panel.png";
  if (!image.save(out, "PNG")) {
    std::printf("SMOKE FAIL panel screenshot encode\n");
    return 1;
  }
  std::printf("SMOKE PASS panel screenshot saved: %s\n", qPrintable(out));
  return result(check);
}

struct Fetched {
  bool transport = false;
  int status = 0;
  QByteArray body;
  QString error;
};

Fetched fetch(const QUrl& url) {
  QNetworkRequest req(url);
  req.setTransferTimeout(30000);
  QNetworkReply* reply = ShareApi::network().get(req);
  QEventLoop loop;
  QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
  loop.exec();
  Fetched f;
  const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  f.transport = status.isValid();
  f.status = status.toInt();
  f.body = reply->readAll();
  f.error = reply->errorString();
  reply->deleteLater();
  return f;
}

// The real flow, share link and all, checked end to end.
int runFullFlow(const Settings& env) {
  Check check;
  Preferences::registerDefaults();
  RecorderConfig config = RecorderConfig::load();
  config.target = RecordTarget::screen;
  config.systemAudio = true;
  config.mic = false;
  config.camera = false;
  config.destination = RecordingDestination::shareLink;
  // Our own clipboard changes are counted as they happen.
  int changes = 0;
  QElapsedTimer sinceStop;
  qint64 lastChangeMs = -1;
  QObject::connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, qApp, [&] {
    ++changes;
    if (sinceStop.isValid()) lastChangeMs = sinceStop.elapsed();
  });
  std::unique_ptr<NoiseWindow> noise;
  if (env.at("NIMBO_SMOKE_SELF_NOISE") == "1") {
    noise = std::make_unique<NoiseWindow>();
    noise->show();
  }
  RecordingFlow::beginCountdown(config);
  waitFor(3.5);
  bool ok = false;
  double seconds = env.at("NIMBO_SMOKE_SECONDS").toDouble(&ok);
  if (!ok) seconds = 4.0;
  waitFor(seconds);
  const int noted = changes;
  sinceStop.start();
  RecordingFlow::stopRequested();
  info("endpoint prefix: \"" + Preferences::stringValue(Preferences::kUploadEndpoint).trimmed() + "\"");
  QString link, fileURL;
  for (int poll = 0; poll < 60 && link.isEmpty(); ++poll) {
    if (poll > 0) waitFor(0.5);
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
    if (changes == noted || !mime || !mime->hasText()) continue;
    const QString text = mime->text();
    info("pasteboard changed: \"" + text.left(90) + "\"");
    if (text.startsWith(QLatin1String("http"))) {
      link = text;
      fileURL = mime->urls().value(0).toString();
      info(QStringLiteral("stop to link on clipboard: %1 ms").arg(lastChangeMs));
    }
  }
  noise.reset();
  check(!link.isEmpty(), QStringLiteral("share link on clipboard after upload"));
  check(fileURL.endsWith(QLatin1String(".mp4")), QStringLiteral("video file on clipboard (Slack paste)"));
  if (link.isEmpty()) return result(check);
  info("link: " + link);
  const Fetched page = fetch(QUrl(link));
  if (!page.transport) {
    check(false, "viewer page loads: " + page.error);
  } else {
    const QString body = QString::fromUtf8(page.body);
    check(page.status == 200, QStringLiteral("viewer page 200"));
    check(body.contains(QLatin1String("<video")), QStringLiteral("viewer page has <video> player"));
    check(body.contains(QLatin1String("og:video")), QStringLiteral("viewer page has OG video unfurl tags"));
  }
  const Fetched raw = fetch(QUrl(link + ".mp4"));
  const QString path = QDir::tempPath() + "/nimbo-flow.mp4";
  QFile out(path);
  if (!raw.transport) {
    check(false, "raw .mp4 downloads: " + raw.error);
  } else if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(raw.body) != raw.body.size()) {
    check(raw.status == 200, QStringLiteral("raw .mp4 200"));
    check(false, "raw .mp4 downloads: " + out.errorString());
  } else {
    out.close();
    check(raw.status == 200, QStringLiteral("raw .mp4 200"));
    check(raw.body.size() > 10000, QStringLiteral("raw .mp4 has content (%1 bytes)").arg(raw.body.size()));
    const std::optional<MediaProbe> probe = MediaProbe::read(path);
    check(probe && probe->audioTracks >= 1, QStringLiteral("uploaded file has an audio track"));
    const double rms = probe ? probe->audioRms : 0;
    std::printf("SMOKE INFO uploaded audio RMS = %.5f\n", rms);
    if (env.at("NIMBO_SMOKE_EXPECT_SIGNAL") == "1")
      check(rms > 0.0005, QStringLiteral("uploaded file has audio signal"));
  }
  return result(check);
}

int run(const Settings& env) {
  if (env.at("NIMBO_SMOKE_PANEL") == "1") return runPanelScreenshot();
  if (env.at("NIMBO_SMOKE_FLOW") == "1") return runFullFlow(env);
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
