// The recorder in the virtual desktop (scripts/with-desktop): a recording
// killed mid-way, and picture and sound kept in step over a minute.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <pulse/simple.h>

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <functional>
#include <thread>

#include "recording/media_probe.h"

namespace {

// In a real event loop: QTest::qWait sleeps between turns, making flashes late.
void spin(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > timeoutMs) return false;
    spin(50);
  }
  return true;
}

class Recording : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home.isValid());
    env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", home.filePath("data"));
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
  }
  QString log() {
    QFile f(home.filePath("smoke.txt"));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
  }
  QStringList recordings() {
    QDir d(home.filePath("data/com.vantori.screenshot/recordings"));
    QStringList out;
    for (const QString& f : d.entryList({"*.mp4"}, QDir::Files)) out << d.filePath(f);
    return out;
  }
  void startSmoke(QProcess& p, const QStringList& extra) {
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(NIMBO_BINARY, QStringList{"--smoke", "--smoke-log=" + home.filePath("smoke.txt")} + extra);
    ASSERT_TRUE(p.waitForStarted());
  }
  // A self-test run to its end; the one recording it left, or empty.
  QString smokeRecording(const QStringList& extra, int timeoutMs) {
    QProcess p;
    startSmoke(p, extra);
    EXPECT_TRUE(waitFor([&] { return p.state() == QProcess::NotRunning; }, timeoutMs)) << log().toStdString();
    EXPECT_EQ(p.exitCode(), 0) << log().toStdString();
    const QStringList files = recordings();
    EXPECT_EQ(files.size(), 1);
    return HasFailure() ? QString() : files[0];
  }
  QTemporaryDir home;
  QProcessEnvironment env;
};

TEST_F(Recording, AKilledRecordingKeepsAllButItsLastSecond) {
  QProcess nimbo;
  startSmoke(nimbo, {"--smoke-target=screen", "--smoke-audio=both", "--smoke-seconds=60", "--smoke-self-noise=1"});
  // Killed ten seconds after the writer logs the first picture.
  ASSERT_TRUE(waitFor([&] { return log().contains("Nimbo: recording started: "); }, 20000)) << log().toStdString();
  QElapsedTimer sinceFirstFrame;
  sinceFirstFrame.start();
  // In short turns: a ten-second coarse timer may fire half a second early.
  while (sinceFirstFrame.elapsed() < 10000) spin(int(std::min<qint64>(50, 10000 - sinceFirstFrame.elapsed())));
  ::kill(pid_t(nimbo.processId()), SIGKILL);
  const qint64 recorded = sinceFirstFrame.elapsed();
  nimbo.waitForFinished();
  const QStringList files = recordings();
  ASSERT_EQ(files.size(), 1) << log().toStdString();
  const auto media = nimbo::MediaProbe::read(files[0]);
  ASSERT_TRUE(media);
  // At most the last second lost, both in the declared length and in what decodes.
  std::printf("killed %.2f s after the first frame; the file declares %.3f s\n", recorded / 1000.0,
              media->openedDurationSeconds);
  EXPECT_GE(media->openedDurationSeconds, 9.0);
  EXPECT_GE(media->durationSeconds, 9.0);
  EXPECT_EQ(media->videoTracks, 1);
  EXPECT_EQ(media->audioTracks, 1);
  EXPECT_TRUE(media->audioDecodes);
  EXPECT_GT(media->audioRms, 0.0005);
  // Pictures decode up to the ninth second, from a keyframe a seek finds.
  const auto seek = nimbo::MediaProbe::seek(files[0], 8.9);
  ASSERT_TRUE(seek);
  EXPECT_TRUE(seek->landedOnKeyframe);
  EXPECT_EQ(seek->decodeErrors, 0);
  EXPECT_NEAR(seek->shownSeconds, 8.9, 0.1);
}

// A window of one colour.
class Solid : public QWidget {
 public:
  Solid(QColor c, Qt::WindowFlags flags) : QWidget(nullptr, flags), colour_(c) {}
  void setColour(QColor c) {
    colour_ = c;
    repaint();
  }

 protected:
  void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), colour_); }

 private:
  QColor colour_;
};

// A full-screen flash and a beep every two seconds, the flash delayed by the
// beep's measured playback latency so both come out together.
class FlashAndBeep : public Solid {
 public:
  FlashAndBeep() : Solid(Qt::black, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint | Qt::Tool) {
    setGeometry(0, 0, 1920, 1080);
  }
  ~FlashAndBeep() override {
    stop_ = true;
    if (audio_.joinable()) audio_.join();
  }
  bool startSound() {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48000, 1};
    const pa_buffer_attr attr{uint32_t(-1), 48000 * 4 * 20 / 1000 /* 20 ms ahead */, uint32_t(-1), uint32_t(-1), 0};
    int err = 0;
    out_ = pa_simple_new(nullptr, "av-sync", PA_STREAM_PLAYBACK, nullptr, "beeps", &spec, nullptr, &attr, &err);
    if (!out_) return false;
    audio_ = std::thread([this] { run(); });
    return true;
  }

 private:
  void run() {
    std::vector<float> chunk(480);
    int64_t written = 0;
    const int64_t period = 2 * 48000, beepLength = 48000 / 5;
    while (!stop_) {
      for (int i = 0; i < 480; ++i) {
        const int64_t n = written + i;
        const bool beeping = n > 48000 && n % period < beepLength;
        chunk[size_t(i)] = beeping ? 0.6f * float(std::sin(2 * M_PI * 1000 * n / 48000.0)) : 0;
      }
      // A beep starts in this chunk: heard once everything queued has played.
      const int64_t startIndex = (period - written % period) % period;
      if (written > 48000 && startIndex < 480) {
        int err = 0;
        const double delayMs = pa_simple_get_latency(out_, &err) / 1000.0 + startIndex / 48.0;
        QMetaObject::invokeMethod(this, [this, delayMs] {
          QTimer::singleShot(int(std::lround(delayMs)), Qt::PreciseTimer, this, [this] {
            setColour(Qt::white);
            QTimer::singleShot(200, this, [this] { setColour(Qt::black); });
          });
        }, Qt::QueuedConnection);
      }
      int err = 0;
      if (pa_simple_write(out_, chunk.data(), chunk.size() * sizeof(float), &err) < 0) return;
      written += 480;
    }
    int err = 0;
    pa_simple_drain(out_, &err);
    pa_simple_free(out_);
  }
  pa_simple* out_ = nullptr;
  std::thread audio_;
  std::atomic<bool> stop_{false};
};

// Every decoded frame of every track of `path`, with its time on the file's timeline.
void decodeAll(const QString& path, const std::function<void(const AVStream*, const AVFrame*, double)>& take) {
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.toUtf8().constData(), nullptr, nullptr) < 0) return;
  avformat_find_stream_info(fmt, nullptr);
  AVCodecContext* dec[8] = {};
  for (unsigned i = 0; i < fmt->nb_streams && i < 8; ++i) {
    const AVCodec* c = avcodec_find_decoder(fmt->streams[i]->codecpar->codec_id);
    dec[i] = avcodec_alloc_context3(c);
    avcodec_parameters_to_context(dec[i], fmt->streams[i]->codecpar);
    avcodec_open2(dec[i], c, nullptr);
  }
  AVPacket* pkt = av_packet_alloc();
  AVFrame* f = av_frame_alloc();
  auto drain = [&](unsigned s) {
    while (avcodec_receive_frame(dec[s], f) == 0)
      take(fmt->streams[s], f, f->best_effort_timestamp * av_q2d(fmt->streams[s]->time_base));
  };
  while (av_read_frame(fmt, pkt) >= 0) {
    const unsigned s = unsigned(pkt->stream_index);
    if (s < 8 && dec[s] && avcodec_send_packet(dec[s], pkt) == 0) drain(s);
    av_packet_unref(pkt);
  }
  for (unsigned s = 0; s < fmt->nb_streams && s < 8; ++s)
    if (dec[s] && avcodec_send_packet(dec[s], nullptr) == 0) drain(s);
  av_frame_free(&f);
  av_packet_free(&pkt);
  for (auto& d : dec) avcodec_free_context(&d);
  avformat_close_input(&fmt);
}

// Instants (seconds) where the picture turns bright and where the sound starts.
struct Onsets {
  std::vector<double> flashes, beeps;
};

Onsets findOnsets(const QString& path) {
  Onsets o;
  bool bright = false, loud = false;
  double quietSince = 0, sum = 0, windowStart = -1;
  int count = 0;  // samples in the current 5 ms window
  decodeAll(path, [&](const AVStream* st, const AVFrame* f, double t) {
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      double luma = 0;
      int n = 0;
      for (int y = 0; y < f->height; y += 16)
        for (int x = 0; x < f->width; x += 16, ++n) luma += f->data[0][y * f->linesize[0] + x];
      const bool now = luma / n > 128;
      if (now && !bright) o.flashes.push_back(t);
      bright = now;
    } else if (f->format == AV_SAMPLE_FMT_FLTP) {
      const auto* left = reinterpret_cast<const float*>(f->extended_data[0]);
      for (int i = 0; i < f->nb_samples; ++i) {
        const double ts = t + i / 48000.0;
        if (windowStart < 0) windowStart = ts;
        sum += left[i] * left[i];
        if (++count == 240) {
          const double rms = std::sqrt(sum / count);
          const bool now = rms > 0.1;
          if (now && !loud && windowStart - quietSince > 0.5) o.beeps.push_back(windowStart);
          if (!now && loud) quietSince = windowStart;
          if (!now && !loud && quietSince == 0) quietSince = windowStart;
          loud = now;
          sum = 0, count = 0, windowStart = -1;
        }
      }
    }
  });
  return o;
}

TEST_F(Recording, PictureAndSoundStayInStepForAMinute) {
  FlashAndBeep client;
  client.show();
  ASSERT_TRUE(client.startSound()) << "no sound server";
  spin(1500);
  const QString file = smokeRecording({"--smoke-target=screen", "--smoke-audio=system", "--smoke-seconds=60"}, 150000);
  ASSERT_FALSE(file.isEmpty());
  const Onsets o = findOnsets(file);
  ASSERT_GE(o.flashes.size(), 25u) << "flashes seen: " << o.flashes.size();
  ASSERT_GE(o.beeps.size(), 25u) << "beeps heard: " << o.beeps.size();
  std::vector<double> offsets;
  for (double flash : o.flashes) {
    double best = 1e9;
    for (double beep : o.beeps)
      if (std::abs(beep - flash) < std::abs(best)) best = beep - flash;
    if (std::abs(best) < 0.5) offsets.push_back(best);
  }
  ASSERT_GE(offsets.size(), 25u);
  double worst = 0;
  for (double d : offsets) worst = std::max(worst, std::abs(d));
  std::printf("A/V offsets over %zu pairs: first %+.1f ms, last %+.1f ms, worst %.1f ms\n", offsets.size(),
              offsets.front() * 1000, offsets.back() * 1000, worst * 1000);
  EXPECT_LE(worst, 0.050);
  // No drift: medians of the first and last five pairs (a flash shows up to a frame late).
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  const double early = median({offsets.begin(), offsets.begin() + 5});
  const double late = median({offsets.end() - 5, offsets.end()});
  EXPECT_LE(std::abs(late - early), 0.020);
}

// The mean colour of `r` in a decoded picture (BT.709 limited range to RGB,
// over a grid of every fourth pixel).
QColor meanColour(const AVFrame* f, QRect r) {
  r = r.intersected(QRect(0, 0, f->width, f->height));
  double red = 0, green = 0, blue = 0;
  int n = 0;
  for (int y = r.top(); y <= r.bottom(); y += 4)
    for (int x = r.left(); x <= r.right(); x += 4, ++n) {
      const double Y = (f->data[0][y * f->linesize[0] + x] - 16) / 219.0;
      const double U = (f->data[1][y / 2 * f->linesize[1] + x / 2] - 128) / 224.0;
      const double V = (f->data[2][y / 2 * f->linesize[2] + x / 2] - 128) / 224.0;
      red += Y + 1.5748 * V, green += Y - 0.1873 * U - 0.4681 * V, blue += Y + 1.8556 * U;
    }
  if (!n) return QColor();
  return QColor::fromRgbF(float(std::clamp(red / n, 0.0, 1.0)), float(std::clamp(green / n, 0.0, 1.0)),
                          float(std::clamp(blue / n, 0.0, 1.0)));
}

// The mean colour of the middle frame of a recording's video.
QColor middleFrameColour(const QString& path) {
  std::vector<QColor> colours;
  decodeAll(path, [&](const AVStream* st, const AVFrame* f, double) {
    if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) return;
    colours.push_back(meanColour(f, QRect(8, 8, f->width - 16, f->height - 16)));
  });
  return colours.empty() ? QColor() : colours[colours.size() / 2];
}

TEST_F(Recording, ACoveredWindowIsRecordedWhole) {
  Solid target(QColor(40, 200, 60), Qt::Window);
  target.setWindowTitle("Recording target");
  target.setGeometry(300, 200, 640, 360);
  target.show();
  // Half of it hidden under a window that is not part of the recording.
  Solid cover(QColor(230, 0, 230), Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint | Qt::Tool);
  cover.setGeometry(250, 150, 400, 500);
  cover.show();
  spin(1000);
  const QString file = smokeRecording({"--smoke-target=window", "--smoke-audio=none", "--smoke-seconds=3"}, 60000);
  ASSERT_FALSE(file.isEmpty());
  EXPECT_TRUE(log().contains("window target: \"Recording target\"")) << log().toStdString();
  const QColor seen = middleFrameColour(file);
  EXPECT_NEAR(seen.red(), 40, 12);
  EXPECT_NEAR(seen.green(), 200, 12);
  EXPECT_NEAR(seen.blue(), 60, 12);
}

// Most ticks of a desktop change a few rows, and only those are converted
// again: every change must still reach its place, and nothing left behind
// may stay. Two small windows change colour, a square moves down the screen
// and the pointer jumps across it; the last picture shows each where it
// ended, and black where the square and the pointer were.
TEST_F(Recording, EveryChangeReachesItsPlaceAndNothingStaysBehind) {
  Solid ground(Qt::black, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint | Qt::Tool);
  ground.setGeometry(0, 0, 1920, 1080);
  ground.show();
  const Qt::WindowFlags small = Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint | Qt::Tool;
  Solid top(QColor(0, 0, 255), small), bottom(QColor(0, 0, 255), small), square(QColor(255, 0, 0), small);
  top.setGeometry(100, 100, 200, 100);
  bottom.setGeometry(1500, 900, 200, 100);
  square.setGeometry(800, 200, 120, 120);
  for (QWidget* w : {static_cast<QWidget*>(&top), static_cast<QWidget*>(&bottom), static_cast<QWidget*>(&square)})
    w->show();
  QCursor::setPos(400, 500);
  spin(1000);
  QProcess p;
  startSmoke(p, {"--smoke-target=screen", "--smoke-audio=none", "--smoke-seconds=4"});
  ASSERT_TRUE(waitFor([&] { return log().contains("recorder started"); }, 30000)) << log().toStdString();
  // Colours every 150 ms, the square 50 px down every 150 ms, the pointer
  // moved once; then everything still for the last two seconds.
  QTimer steps;
  int step = 0;
  QObject::connect(&steps, &QTimer::timeout, [&] {
    if (++step > 9) return;
    top.setColour(step % 2 ? QColor(255, 255, 0) : QColor(0, 255, 0));
    bottom.setColour(step % 2 ? QColor(0, 255, 0) : QColor(255, 255, 0));
    square.move(800, 200 + 50 * (step - 1));
    if (step == 5) QCursor::setPos(1000, 800);
  });
  steps.start(150);
  ASSERT_TRUE(waitFor([&] { return p.state() == QProcess::NotRunning; }, 60000)) << log().toStdString();
  steps.stop();
  ASSERT_EQ(p.exitCode(), 0) << log().toStdString();
  ASSERT_EQ(recordings().size(), 1);
  const QString file = recordings()[0];

  const QRect pointerBefore(398, 498, 12, 16);
  double pointerSeen = 0;  // the brightest the pointer's first place was
  QColor topEnd, bottomEnd, squareStart, squareEnd, pointerEnd;
  int pictures = 0;
  decodeAll(file, [&](const AVStream* st, const AVFrame* f, double) {
    if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) return;
    ++pictures;
    pointerSeen = std::max(pointerSeen, double(meanColour(f, pointerBefore).valueF()));
    topEnd = meanColour(f, QRect(110, 110, 180, 80));
    bottomEnd = meanColour(f, QRect(1510, 910, 180, 80));
    squareStart = meanColour(f, QRect(810, 210, 100, 100));
    squareEnd = meanColour(f, QRect(810, 610, 100, 100));
    pointerEnd = meanColour(f, pointerBefore);
  });
  ASSERT_GT(pictures, 10);
  // Step 9 (odd): the top window yellow, the bottom one green.
  EXPECT_GT(topEnd.redF(), 0.8);
  EXPECT_GT(topEnd.greenF(), 0.8);
  EXPECT_LT(topEnd.blueF(), 0.2);
  EXPECT_LT(bottomEnd.redF(), 0.2);
  EXPECT_GT(bottomEnd.greenF(), 0.8);
  EXPECT_GT(squareEnd.redF(), 0.8);
  EXPECT_LT(squareEnd.greenF(), 0.2);
  EXPECT_LT(squareStart.valueF(), 0.1) << "the square's first place still shows";
  EXPECT_GT(pointerSeen, 0.2) << "the pointer was never drawn where it started";
  EXPECT_LT(pointerEnd.valueF(), 0.1) << "the pointer's first place still shows it";
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
