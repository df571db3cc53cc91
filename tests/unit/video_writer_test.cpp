// The MP4 writer end to end with FFmpeg: tracks, timing, seeking, finishing and a killed writer.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSize>
#include <QStandardPaths>
#include <QRegion>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <future>
#include <random>

#include "recording/audio_mixer.h"
#include "recording/h264_encoder.h"
#include "recording/media_probe.h"
#include "recording/video_writer.h"
#include "recording/yuv.h"
#include "media/ffmpeg_library.h"

namespace nimbo {
namespace {

constexpr int64_t kSecond = 1000000000;
constexpr int64_t kStart = 1000 * kSecond;

std::vector<uint8_t> picture(int w, int h, int n) {
  std::vector<uint8_t> px(size_t(w * h * 4));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &px[size_t((y * w + x) * 4)];
      p[0] = uint8_t(x + n * 4), p[1] = uint8_t(y * 2), p[2] = uint8_t((x + y + n) * 3), p[3] = 255;
    }
  return px;
}

MixedAudio tone(int64_t pts, int frames, int first) {
  MixedAudio a;
  a.ptsNs = pts;
  for (int i = 0; i < frames; ++i) {
    const float v = 0.5f * float(std::sin(2 * M_PI * 440 * (first + i) / 48000.0));
    a.samples.push_back(v), a.samples.push_back(v);
  }
  return a;
}

// Finishes the file `end` in; what the writer reports within `wait`.
std::optional<QString> finish(VideoWriter& w, std::optional<int64_t> end,
                              std::chrono::seconds wait = std::chrono::seconds(30)) {
  auto done = std::make_shared<std::promise<std::optional<QString>>>();
  std::future<std::optional<QString>> reported = done->get_future();
  w.finish(end, [done](std::optional<QString> path) { done->set_value(path); });
  if (reported.wait_for(wait) == std::future_status::ready) return reported.get();
  ADD_FAILURE() << "the writer did not report its finish";
  return std::nullopt;
}

// Feeds `seconds` of 30 fps video (and audio) unpaced, waiting so no frame is dropped.
void feed(VideoWriter& w, double seconds, bool audio) {
  const int frames = int(seconds * 30);
  for (int f = 0; f < frames; ++f) {
    const int64_t pts = kStart + f * kSecond / 30;
    const auto px = picture(320, 240, f);
    while (!w.appendVideo(px.data(), 320, 240, 320 * 4, pts)) usleep(2000);
    if (audio) w.appendAudio(tone(pts, 1600, f * 1600));
  }
}

TEST(YuvTest, KnownColoursLandOnTheirBt709Values) {
  // 2x2 blocks of white, black, red, green, blue, grey, and black mixed with white.
  const uint32_t colours[] = {0xffffff, 0x000000, 0xff0000, 0x00ff00, 0x0000ff, 0x808080};
  const int w = 14, h = 2;
  std::vector<uint32_t> px(size_t(w * h));
  for (int i = 0; i < 6; ++i)
    for (int dy = 0; dy < 2; ++dy)
      for (int dx = 0; dx < 2; ++dx) px[size_t(dy * w + 2 * i + dx)] = colours[i];
  px[12] = 0xffffff, px[13] = 0, px[w + 12] = 0, px[w + 13] = 0xffffff;
  std::vector<uint8_t> y(size_t(w * h)), u(size_t(w / 2)), v(size_t(w / 2));
  bgrxToI420Parallel(reinterpret_cast<const uint8_t*>(px.data()), w * 4, w, h, y.data(), w, u.data(), v.data(), w / 2);
  const int expected[6][3] = {{235, 128, 128}, {16, 128, 128}, {63, 102, 240},
                              {173, 42, 26},   {32, 240, 118}, {126, 128, 128}};
  for (int i = 0; i < 6; ++i) {
    EXPECT_NEAR(y[size_t(2 * i)], expected[i][0], 1) << i;
    EXPECT_NEAR(u[size_t(i)], expected[i][1], 1) << i;
    EXPECT_NEAR(v[size_t(i)], expected[i][2], 1) << i;
  }
  EXPECT_EQ(std::vector<int>({y[12], y[13], u[6], v[6]}), std::vector<int>({235, 16, 128, 128}));
}

TEST(YuvTest, TheVectorLoopMatchesThePortableOneByteForByte) {
  // Random pixels and channel extremes, widths with and without a vector tail, padded rows.
  std::mt19937 random(7);
  for (const int w : {32, 96, 1366, 1920}) {
    const int h = 8, srcStride = w * 4 + 12, yStride = w + 8, cStride = w / 2 + 4;
    std::vector<uint8_t> px(size_t(srcStride * h));
    for (uint8_t& b : px) b = uint8_t(random());
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) px[size_t(2 * srcStride + 4 * x + c)] = (x >> c) & 1 ? 255 : 0;
    struct Planes {
      std::vector<uint8_t> y, u, v;
    } portable, vectors;
    for (Planes* p : {&portable, &vectors})
      p->y.assign(size_t(yStride * h), 1), p->u.assign(size_t(cStride * h / 2), 1), p->v = p->u;
    bgrxToI420(px.data(), srcStride, w, 0, h, portable.y.data(), yStride, portable.u.data(), portable.v.data(),
               cStride, false);
    bgrxToI420(px.data(), srcStride, w, 0, h, vectors.y.data(), yStride, vectors.u.data(), vectors.v.data(), cStride);
    EXPECT_EQ(vectors.y, portable.y) << w;
    EXPECT_EQ(vectors.u, portable.u) << w;
    EXPECT_EQ(vectors.v, portable.v) << w;
  }
}

// A picture that held the frame before is brought up to date by converting
// only where it changed since. Areas at odd rows and columns, overlapping,
// narrower and wider than a vector step, at every edge: the result is the
// whole frame's conversion, byte for byte.
TEST(YuvTest, ConvertingWhereTheFrameChangedGivesTheWholeFramesPicture) {
  std::mt19937 random(11);
  const int w = 200, h = 64, stride = w * 4;
  std::vector<uint8_t> before(size_t(stride * h)), after;
  for (uint8_t& b : before) b = uint8_t(random());
  after = before;
  const QRect frame(0, 0, w, h);
  const QRect areas[] = {{0, 0, 3, 1},     {5, 5, 70, 3},  {60, 7, 41, 2}, {21, 20, 33, 7},
                         {151, 30, 49, 1}, {99, 63, 5, 9}, {190, 0, 50, 64}};
  QRegion changed;
  for (const QRect& a : areas) {
    changed += a;
    const QRect in = a.intersected(frame);
    for (int y = in.top(); y <= in.bottom(); ++y)
      for (int x = in.left(); x <= in.right(); ++x)
        for (int c = 0; c < 4; ++c) after[size_t(y * stride + x * 4 + c)] = uint8_t(random());
  }
  struct Planes {
    std::vector<uint8_t> y = std::vector<uint8_t>(size_t(w * h)), u = std::vector<uint8_t>(size_t(w * h / 4)),
                         v = std::vector<uint8_t>(size_t(w * h / 4));
    void convert(const std::vector<uint8_t>& px) {
      bgrxToI420(px.data(), stride, w, 0, h, y.data(), w, u.data(), v.data(), w / 2);
    }
  } picture, expected;
  picture.convert(before);
  expected.convert(after);
  for (const QRect& r : changed)
    bgrxToI420Area(after.data(), stride, w, h, r.left(), r.top(), r.right() + 1, r.bottom() + 1, picture.y.data(), w,
                   picture.u.data(), picture.v.data(), w / 2);
  EXPECT_EQ(picture.y, expected.y);
  EXPECT_EQ(picture.u, expected.u);
  EXPECT_EQ(picture.v, expected.v);
}

TEST(VideoWriterTest, WritesH264AndAacWithTheIndexAtTheFront) {
  QTemporaryDir dir;
  auto made = VideoWriter::create(dir.filePath("a.mp4"), 320, 240, true);
  ASSERT_TRUE(made.ok()) << made.error().description.toStdString();
  std::unique_ptr<VideoWriter> w = made.take();
  w->appendAudio(tone(kStart - 10000000, 4800, 0));  // before the first frame: never in the file
  feed(*w, 2.0, true);
  const std::optional<QString> path = finish(*w, kStart + 2 * kSecond);
  ASSERT_TRUE(path);
  EXPECT_EQ(*path, dir.filePath("a.mp4"));
  const auto probe = MediaProbe::read(*path);
  ASSERT_TRUE(probe);
  EXPECT_EQ(std::tuple(probe->videoTracks, probe->width, probe->height, probe->audioTracks, probe->sampleRate,
                       probe->channels, probe->audioDecodes),
            std::tuple(1, 320, 240, 1, 48000, 2, true));
  EXPECT_EQ(probe->videoCodec + " " + probe->audioCodec, "h264 aac");
  EXPECT_NEAR(probe->audioRms, 0.5 / std::sqrt(2.0), 0.03);
  EXPECT_NEAR(probe->durationSeconds, 2.0, 0.1);
  EXPECT_NEAR(probe->openedDurationSeconds, 2.0, 0.1);  // declared in the index
  EXPECT_TRUE(probe->indexAtFront);
  EXPECT_EQ(w->framesWritten(), 61);  // 60, and the last one again at 2.0 s
  EXPECT_FALSE(finish(*w, std::nullopt, std::chrono::seconds(0)));  // a second finish: nothing, at once
}

// Pictures handed over while the encoder is starved wait instead of being dropped (eight up to 4K, and
// never fewer than five).
TEST(VideoWriterTest, AMomentsBurstOfPicturesIsKeptWhole) {
  EXPECT_EQ(VideoWriter::maxPendingFrames(3840, 2160), 8);
  EXPECT_EQ(VideoWriter::maxPendingFrames(5120, 2880), 5);
  EXPECT_EQ(VideoWriter::maxPendingFrames(7680, 4320), 5);
  QTemporaryDir dir;
  auto w = VideoWriter::create(dir.filePath("burst.mp4"), 1920, 1080, false).take();
  for (int n = 0; n < 8; ++n) {
    const auto px = picture(1920, 1080, n);
    EXPECT_TRUE(w->appendVideo(px.data(), 1920, 1080, 1920 * 4, kStart + n * kSecond / 60)) << n;
  }
  EXPECT_EQ(w->framesDropped(), 0);
  ASSERT_TRUE(finish(*w, kStart + kSecond));
  EXPECT_EQ(w->framesWritten(), 8 + 1);  // and the last again, until the end
}

TEST(VideoWriterTest, NothingRecordedLeavesNoFileAndAStillPictureIsScaledAndLastsUntilTheEnd) {
  QTemporaryDir dir;
  EXPECT_FALSE(VideoWriter::create(dir.filePath("e.mp4"), 0, 240, false).ok());
  auto none = VideoWriter::create(dir.filePath("c.mp4"), 320, 240, true).take();
  EXPECT_FALSE(finish(*none, std::nullopt));
  EXPECT_FALSE(QFile::exists(dir.filePath("c.mp4")));
  // One 641x481 picture into a silent 320x240 video, then the same time again: not a new frame.
  auto w = VideoWriter::create(dir.filePath("d.mp4"), 320, 240, false).take();
  const auto px = picture(641, 481, 3);
  ASSERT_TRUE(w->appendVideo(px.data(), 641, 481, 641 * 4, kStart));
  EXPECT_FALSE(w->appendVideo(px.data(), 641, 481, 641 * 4, kStart));
  const auto probe = MediaProbe::read(finish(*w, kStart + 3 * kSecond).value_or(""));
  ASSERT_TRUE(probe);
  EXPECT_EQ(QSize(probe->width, probe->height), QSize(320, 240));
  EXPECT_EQ(probe->audioTracks, 0);
  EXPECT_GE(probe->durationSeconds, 2.9);
}

// Bytes this process has handed to write() and read() so far.
std::pair<qint64, qint64> ioSoFar() {
  QFile f("/proc/self/io");
  qint64 written = -1, read = -1;
  for (const QByteArray& line : f.open(QIODevice::ReadOnly) ? f.readAll().split('\n') : QList<QByteArray>()) {
    if (line.startsWith("wchar: ")) written = line.mid(7).toLongLong();
    if (line.startsWith("rchar: ")) read = line.mid(7).toLongLong();
  }
  return {written, read};
}

struct FinishCost {
  qint64 bytesWritten = 0, bytesRead = 0, fileSize = 0;
  bool sameFile = false;
};

// Records `seconds` with sound and measures the input and output of the finish alone.
FinishCost recordAndFinish(const QString& path, double seconds) {
  auto w = VideoWriter::create(path, 320, 240, true).take();
  feed(*w, seconds, true);
  struct stat before {}, now {};
  ::stat(path.toUtf8().constData(), &before);
  const auto io = ioSoFar();
  const auto finished = finish(*w, kStart + int64_t(seconds * kSecond));
  const auto after = ioSoFar();
  const bool same = finished && ::stat(finished->toUtf8().constData(), &now) == 0 && now.st_ino == before.st_ino &&
                    now.st_dev == before.st_dev && now.st_size >= before.st_size;
  return {after.first - io.first, after.second - io.second, QFileInfo(path).size(), same};
}

TEST(VideoWriterTest, FinishingWritesOnlyTheTailWhateverTheLength) {
  QTemporaryDir dir;
  const FinishCost shortOne = recordAndFinish(dir.filePath("short.mp4"), 2.0);
  const FinishCost longOne = recordAndFinish(dir.filePath("long.mp4"), 20.0);
  ASSERT_GE(shortOne.bytesWritten, 0) << "no /proc/self/io";
  EXPECT_TRUE(shortOne.sameFile && longOne.sameFile);  // finishing is not a copy
  // Only the last fragment and the indexes are written, only the front index read.
  const qint64 perSecond = longOne.fileSize / 20;
  EXPECT_LT(longOne.bytesWritten, 2 * perSecond + 64 * 1024) << "file " << longOne.fileSize;
  EXPECT_LT(longOne.bytesRead, 64 * 1024);
  EXPECT_LT(longOne.bytesWritten, shortOne.bytesWritten + 2 * perSecond + 64 * 1024);
}

// A flat grey picture whose level tells frame `n` from its neighbours, and its decoded luma.
int greyOf(int n) { return 28 + n * 37 % 200; }
double lumaOf(int n) { return 16 + 219.0 * greyOf(n) / 255; }
std::vector<uint8_t> grey(int n) { return std::vector<uint8_t>(320 * 240 * 4, uint8_t(greyOf(n))); }

// Feeds `frames` such pictures at 30 fps and finishes the file `seconds` in.
bool feedGreysAndFinish(VideoWriter& w, int frames, int seconds) {
  for (int f = 0; f < frames; ++f)
    while (!w.appendVideo(grey(f).data(), 320, 240, 320 * 4, kStart + f * kSecond / 30)) usleep(2000);
  return finish(w, kStart + seconds * kSecond).has_value();
}

// ffprobe's lines for the video track's `entries`, none without ffprobe; any error fails.
std::optional<QStringList> ffprobe(const QString& path, const QString& entries) {
  const QString tool = QStandardPaths::findExecutable("ffprobe");
  if (tool.isEmpty()) return std::nullopt;
  QProcess p;
  p.start(tool, {"-v", "error", "-select_streams", "v", "-show_entries", entries, "-of", "csv=p=0", path});
  EXPECT_TRUE(p.waitForFinished(30000));
  EXPECT_EQ(p.readAllStandardError().toStdString(), "");
  return QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

// A reused picture is brought up to date with what changed in every frame
// since the one it holds, those of a frame left out (no later time
// than the last) too. Frames wait for the encoder, so each new picture is
// the one used two frames before.
TEST(VideoWriterTest, AReusedPictureTakesTheChangesOfFramesLeftOut) {
  QTemporaryDir dir;
  const QString path = dir.filePath("rows.mp4");
  auto w = VideoWriter::create(path, 320, 240, false).take();
  const QRegion none, topHalf(0, 0, 320, 120);
  std::vector<uint8_t> px = grey(0);
  int64_t pts = kStart;
  auto give = [&](const QRegion* changed) {
    const bool kept = w->appendVideo(px.data(), 320, 240, 320 * 4, pts, changed);
    usleep(30000);
    return kept;
  };
  // Still frames, so the writer's pictures go round.
  for (int f = 0; f < 30; ++f, pts += kSecond / 30) ASSERT_TRUE(give(f ? &none : nullptr));
  std::fill(px.begin(), px.end(), uint8_t(40));
  ASSERT_TRUE(give(nullptr));  // everything changed
  pts += kSecond / 30;
  ASSERT_TRUE(give(&none));
  // Left out (the same time), with the top half changed.
  std::fill(px.begin(), px.begin() + 320 * 4 * 120, uint8_t(200));
  EXPECT_FALSE(give(&topHalf));
  pts += kSecond / 30;
  ASSERT_TRUE(give(&none));
  const int64_t last = pts;
  ASSERT_TRUE(finish(*w, last + kSecond).has_value());
  const auto seek = MediaProbe::seek(path, double(last - kStart) / kSecond + 0.01);
  ASSERT_TRUE(seek);
  EXPECT_NEAR(seek->meanLuma, 16 + 219.0 * (40 + 200) / 2 / 255, 4.0);
}

// The encoder is told which macroblocks stand still, and takes them from
// the picture before without looking: a macroblock said to be unchanged
// keeps the old picture even where it did change, one said to have changed
// shows the new one. Decoded by FFmpeg's own H.264 decoder.
TEST(H264EncoderTest, MacroblocksSaidToBeUnchangedAreTakenFromThePictureBefore) {
  auto hold = ffmpeg::open();
  ASSERT_TRUE(hold.ok());
  constexpr int kSize = 64;  // 4 x 4 macroblocks
  auto lumaOfBlock = [](const AVFrame* f, int mx, int my) {
    double sum = 0;
    for (int y = 2; y < 14; ++y)  // the inside, clear of deblocking
      for (int x = 2; x < 14; ++x) sum += f->data[0][size_t((my * 16 + y) * f->linesize[0] + mx * 16 + x)];
    return sum / 144;
  };
  for (const bool told : {true, false}) {
    H264Encoder::Settings settings;
    settings.width = settings.height = kSize;
    settings.preset = "veryfast";
    settings.crf = 27;
    settings.params = "scenecut=0:ref=3:trellis=1:subme=1:me=umh";
    auto made = H264Encoder::open(settings);
    ASSERT_TRUE(made.ok()) << made.error().description.toStdString();
    std::unique_ptr<H264Encoder> enc = made.take();
    ASSERT_EQ(enc->macroblocksWide(), 4);
    ASSERT_EQ(enc->macroblocksHigh(), 4);
    const AVCodec* codec = av().avcodec_find_decoder(AV_CODEC_ID_H264);
    ASSERT_TRUE(codec);
    AVCodecContext* dec = av().avcodec_alloc_context3(codec);
    ASSERT_EQ(av().avcodec_open2(dec, codec, nullptr), 0);
    AVPacket* packet = av().av_packet_alloc();
    AVFrame* in = av().av_frame_alloc();
    in->format = AV_PIX_FMT_YUV420P;
    in->width = in->height = kSize;
    ASSERT_EQ(av().av_frame_get_buffer(in, 0), 0);
    AVFrame* out = av().av_frame_alloc();
    std::vector<double> decoded;  // macroblocks (1,1) and (2,2) of each picture
    QByteArray headers = enc->headers();
    for (int n = 0; n < 4; ++n) {
      // Mid grey; in the fourth picture macroblock (1,1) white and (2,2)
      // black.
      for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
          const int mx = x / 16, my = y / 16;
          uint8_t v = 128;
          if (n >= 3 && mx == 1 && my == 1) v = 235;
          if (n >= 3 && mx == 2 && my == 2) v = 16;
          in->data[0][y * in->linesize[0] + x] = v;
        }
      for (int p = 1; p < 3; ++p)
        for (int y = 0; y < kSize / 2; ++y) memset(in->data[p] + y * in->linesize[p], 128, kSize / 2);
      in->pts = n * 1500;
      std::vector<uint8_t> unchanged;
      if (told && n > 0) {
        unchanged.assign(16, 1);
        if (n == 3) unchanged[2 * 4 + 2] = 0;  // (2,2) changed; (1,1) is said not to have
      }
      const Result<bool> got = enc->encode(in, n == 0, std::move(unchanged), packet);
      ASSERT_TRUE(got.ok());
      ASSERT_TRUE(got.value()) << "nothing is held back";
      EXPECT_EQ((packet->flags & AV_PKT_FLAG_KEY) != 0, n == 0);
      EXPECT_EQ(packet->pts, n * 1500);
      if (!headers.isEmpty()) {  // the parameter sets go before the first picture
        AVPacket* first = av().av_packet_alloc();
        ASSERT_EQ(av().av_new_packet(first, int(headers.size()) + packet->size), 0);
        memcpy(first->data, headers.constData(), size_t(headers.size()));
        memcpy(first->data + headers.size(), packet->data, size_t(packet->size));
        ASSERT_EQ(av().avcodec_send_packet(dec, first), 0);
        av().av_packet_free(&first);
        headers.clear();
      } else {
        ASSERT_EQ(av().avcodec_send_packet(dec, packet), 0);
      }
      av().av_packet_unref(packet);
      while (av().avcodec_receive_frame(dec, out) == 0) {
        decoded.push_back(lumaOfBlock(out, 1, 1));
        decoded.push_back(lumaOfBlock(out, 2, 2));
        av().av_frame_unref(out);
      }
    }
    av().avcodec_send_packet(dec, nullptr);
    while (av().avcodec_receive_frame(dec, out) == 0) {
      decoded.push_back(lumaOfBlock(out, 1, 1));
      decoded.push_back(lumaOfBlock(out, 2, 2));
      av().av_frame_unref(out);
    }
    ASSERT_EQ(decoded.size(), 8u);
    // The last picture: (2,2) is black either way; (1,1) is white only when
    // the encoder looked at it.
    EXPECT_NEAR(decoded[7], 16, 8);
    EXPECT_NEAR(decoded[6], told ? 128 : 235, 8) << (told ? "told" : "not told");
    av().av_frame_free(&out);
    av().av_frame_free(&in);
    av().av_packet_free(&packet);
    av().avcodec_free_context(&dec);
  }
}

// A square jumps across a black screen, the stream saying where each frame
// changed. Each picture the encoder gets is told what stands still since
// the picture before it, frames left out (no later than the last) counted
// too: no picture shows the square anywhere it has left.
TEST(VideoWriterTest, EveryPictureShowsTheSquareOnlyWhereItIs) {
  QTemporaryDir dir;
  const QString path = dir.filePath("square.mp4");
  auto w = VideoWriter::create(path, 320, 240, false).take();
  std::vector<uint8_t> px(320 * 240 * 4, 0);
  auto square = [&](QPoint at, uint8_t v) {
    for (int y = at.y(); y < at.y() + 32; ++y) memset(&px[size_t((y * 320 + at.x()) * 4)], v, 32 * 4);
  };
  QPoint at(0, 0);
  square(at, 255);
  int64_t pts = kStart;
  std::vector<int64_t> shown;
  ASSERT_TRUE(w->appendVideo(px.data(), 320, 240, 320 * 4, pts, nullptr));
  shown.push_back(pts);
  usleep(20000);
  for (int f = 1; f < 40; ++f) {
    const QPoint next((at.x() + 48) % 288, (at.y() + 32 * (at.x() + 48 >= 288)) % 208);
    square(at, 0);
    square(next, 255);
    const QRegion changed = QRegion(QRect(at, QSize(32, 32))) + QRect(next, QSize(32, 32));
    at = next;
    // Every third frame is left out: it has the time of the one before.
    const bool leftOut = f % 3 == 0;
    if (!leftOut) pts += kSecond / 30;
    if (leftOut) {
      EXPECT_FALSE(w->appendVideo(px.data(), 320, 240, 320 * 4, pts, &changed)) << f;
    } else {
      // Given again until the writer has room (a slow machine).
      while (!w->appendVideo(px.data(), 320, 240, 320 * 4, pts, &changed)) usleep(2000);
      shown.push_back(pts);
    }
    usleep(20000);
  }
  ASSERT_TRUE(finish(*w, pts + kSecond / 30).has_value());
  // Black with one 32 x 32 white square.
  const double expected = 16 + 219.0 * 32 * 32 / (320 * 240);
  for (const int64_t t : shown) {
    const auto seek = MediaProbe::seek(path, double(t - kStart) / kSecond + 0.005);
    ASSERT_TRUE(seek);
    EXPECT_EQ(seek->decodeErrors, 0);
    EXPECT_NEAR(seek->meanLuma, expected, 1.2) << "at " << double(t - kStart) / kSecond << " s";
  }
}

TEST(VideoWriterTest, AFinishedRecordingSeeksToAnyTime) {
  QTemporaryDir dir;
  const QString path = dir.filePath("seek.mp4");
  auto w = VideoWriter::create(path, 320, 240, false).take();
  ASSERT_TRUE(feedGreysAndFinish(*w, 450, 15));
  const auto probe = MediaProbe::read(path);
  ASSERT_TRUE(probe);
  EXPECT_NEAR(probe->openedDurationSeconds, 15.0, 0.1);
  EXPECT_NEAR(probe->durationSeconds, 15.0, 0.1);
  // 4.5, 9.5 and 14.5 s: where the encoder would put keyframes of its own if left to.
  for (const double at : {10.0, 2.5, 7.3, 0.4, 4.5, 9.5, 12.1, 14.5}) {
    const auto seek = MediaProbe::seek(path, at);
    ASSERT_TRUE(seek) << at;
    EXPECT_TRUE(seek->landedOnKeyframe) << at;
    EXPECT_NEAR(seek->landedSeconds, at < 10 ? 0.0 : 10.0, 0.001) << at;
    EXPECT_EQ(seek->decodeErrors, 0) << at;
    const int n = int(std::floor(at * 30 + 1e-6));
    EXPECT_NEAR(seek->shownSeconds, n / 30.0, 0.002) << at;
    EXPECT_NEAR(seek->meanLuma, lumaOf(n), 3.0) << at;
  }
  // Keyframes at 0 and 10 s only, not even the last picture repeated at 15 s.
  const auto packets = ffprobe(path, "packet=pts_time,flags");
  if (!packets) GTEST_SKIP() << "no ffprobe to list keyframes with";
  QStringList keys;
  for (const QString& line : *packets)
    if (line.section(',', 1).contains('K')) keys << line.section(',', 0, 0);
  EXPECT_EQ(keys.join(' ').toStdString(), "0.000000 10.000000");
}

// The choice between the thorough and quick encoders on a made-up timeline.
constexpr int64_t kNoKeyframeDue = 3600 * kSecond;
struct Timeline {
  EncoderChoice choice;
  int64_t pts = 0;
  explicit Timeline(EncoderChoice::Encoder start) : choice(start) {}
  // How long until the next keyframe, with one every five seconds (or none at all).
  static int64_t untilKey(int64_t pts, double fps, bool keyframes) {
    if (!keyframes) return kNoKeyframeDue;
    const int64_t into = pts % (5 * kSecond);
    return into < int64_t(kSecond / fps) ? 0 : 5 * kSecond - into;
  }
  // Pictures taking `busyMs`, started `lateMs` late, until the choice changes (its number).
  std::optional<int> run(int count, double busyMs, double lateMs, double fps = 60, bool keyframes = false) {
    for (int n = 0; n < count; ++n, pts += int64_t(kSecond / fps)) {
      if (choice.change(pts, pts + int64_t(lateMs * 1e6) + kStart, untilKey(pts, fps, keyframes))) return n;
      choice.encoded(pts, int64_t(busyMs * 1e6));
    }
    return std::nullopt;
  }
};

TEST(EncoderChoiceTest, TheThoroughEncoderIsLeftAtOnceWhenItFallsBehindOrIsNearlyAlwaysBusy) {
  Timeline light(EncoderChoice::thorough);
  EXPECT_EQ(light.run(600, 10.8, 30), std::nullopt);
  // Each picture starting 13 ms later than the last: over 50 ms behind at the fifth.
  Timeline behind(EncoderChoice::thorough);
  int n = 0;
  for (; n < 60; ++n, behind.pts += kSecond / 60)
    if (behind.choice.change(behind.pts, behind.pts + n * 13300000LL, kNoKeyframeDue)) break;
  EXPECT_EQ(n, 4);
  EXPECT_EQ(behind.choice.current(), EncoderChoice::quick);
  // Keeping up, but 80 % busy: gone after a second.
  Timeline busy(EncoderChoice::thorough);
  const std::optional<int> at = busy.run(600, 13.3, 0);
  ASSERT_TRUE(at);
  EXPECT_GE(*at, 60);
  EXPECT_LE(*at, 62);
  // Other programs holding the cores for a second: each picture takes 15 ms
  // instead of 5, but none falls behind. It stays.
  Timeline crowded(EncoderChoice::thorough);
  EXPECT_EQ(crowded.run(120, 5, 0), std::nullopt);
  EXPECT_EQ(crowded.run(60, 15, 0), std::nullopt);
  EXPECT_EQ(crowded.run(300, 5, 0), std::nullopt);
  // A burst handed over faster than real time (after a stall) is no backlog.
  Timeline burst(EncoderChoice::thorough);
  for (int i = 0; i < 8; ++i, burst.pts += kSecond / 60)
    EXPECT_FALSE(burst.choice.change(burst.pts, kStart + i * 2000000LL, kNoKeyframeDue));
}

TEST(EncoderChoiceTest, TheQuickEncoderHandsBackAfterTwoCalmSecondsAtOnceUnlessAKeyframeIsNear) {
  // Calm from 0 s: at 2 s the next keyframe (5 s) is three seconds off, so at once.
  Timeline calm(EncoderChoice::quick);
  EXPECT_EQ(calm.run(600, 3.3, 0, 60, true), 121);
  EXPECT_EQ(calm.choice.current(), EncoderChoice::thorough);
  // Calm from 1 s: at 3 s the keyframe at 5 s is two seconds off, and is waited for.
  Timeline keyed(EncoderChoice::quick);
  keyed.pts = kSecond;
  EXPECT_EQ(keyed.run(600, 3.3, 0, 60, true), 241);  // the first picture at or after 5 s
  // 30 % busy, or behind the clock: stays quick.
  Timeline busy(EncoderChoice::quick);
  EXPECT_EQ(busy.run(1200, 5, 0, 60, true), std::nullopt);
  Timeline late(EncoderChoice::quick);
  int n = 0;
  for (; n < 1200; ++n, late.pts += kSecond / 60) {
    if (late.choice.change(late.pts, late.pts + (n >= 60 ? 40000000LL : 0), Timeline::untilKey(late.pts, 60, true)))
      break;
    late.choice.encoded(late.pts, 1000000);
  }
  EXPECT_EQ(n, 1200);
}

// Each failed return to the thorough encoder doubles the calm stretch asked for before the next.
TEST(EncoderChoiceTest, ReturnsThatFailAtOnceComeEverLessOften) {
  Timeline t(EncoderChoice::thorough);
  std::vector<double> returns;
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(t.run(300, 40, 0, 30, true));  // the thorough one: 120 % busy
    const int64_t left = t.pts;
    ASSERT_TRUE(t.run(3000, 6, 0, 30, true));  // the quick one: 18 % busy
    returns.push_back(double(t.pts - left) / kSecond);
  }
  // 4, 8, 16, 32 and 32 s of calm (each stint on the thorough one lasts the
  // second its load is judged over). The first ends on the keyframe at 5 s,
  // the second and fifth within two seconds of those at 15 and 100 s and
  // wait for them; the others (at 32 and 65 s) hand back at once.
  const std::vector<double> expected{4.03, 8.93, 16.03, 32.03, 33.83};
  for (size_t i = 0; i < returns.size(); ++i) EXPECT_NEAR(returns[i], expected[i], 0.05) << i;
  // A stint of more than five seconds ends that: two seconds again.
  ASSERT_FALSE(t.run(300, 10, 0, 30, true));
  ASSERT_TRUE(t.run(300, 40, 0, 30, true));
  const int64_t left = t.pts;
  ASSERT_TRUE(t.run(3000, 6, 0, 30, true));
  EXPECT_LE(t.pts - left, 5 * kSecond);
}

// The number of parameter sets an MP4's H.264 header holds.
int parameterSetsIn(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return -1;
  const QByteArray data = f.read(64 * 1024);
  const qsizetype at = data.indexOf("avcC");
  // Version, profile, compatibility, level, length size, then the count.
  return at < 0 || at + 9 >= data.size() ? -1 : uchar(data[at + 9]) & 0x1f;
}

// Switching encoders and back plays through, every picture where it was put.
TEST(VideoWriterTest, GoingFromOneEncoderToTheOtherAndBackKeepsEveryPicture) {
  QTemporaryDir dir;
  const QString path = dir.filePath("both.mp4");
  auto w = VideoWriter::create(path, 320, 240, false).take();
  // Falling behind (1 ms apart, handed over 5 ms apart), then far ahead for fifteen seconds.
  int frames = 0;
  std::vector<int64_t> times;
  for (; frames < 30; ++frames) {
    times.push_back(frames * kSecond / 1000);
    ASSERT_TRUE(w->appendVideo(grey(frames).data(), 320, 240, 320 * 4, kStart + times.back()));
    usleep(5000);
  }
  for (int i = 0; i < 150; ++i, ++frames) {
    times.push_back(kSecond / 10 + i * kSecond / 10);
    while (!w->appendVideo(grey(frames).data(), 320, 240, 320 * 4, kStart + times.back())) usleep(2000);
  }
  ASSERT_TRUE(finish(*w, kStart + 16 * kSecond));
  EXPECT_EQ(w->encoderChanges(), 2);
  EXPECT_EQ(parameterSetsIn(path), 2);
  for (const int n : {3, 29, 30, 60, 128, 129, 170}) {
    const auto seek = MediaProbe::seek(path, double(times[size_t(n)]) / kSecond + 0.0005);
    ASSERT_TRUE(seek) << n;
    EXPECT_EQ(seek->decodeErrors, 0) << n;
    EXPECT_NEAR(seek->shownSeconds, double(times[size_t(n)]) / kSecond, 0.002) << n;
    EXPECT_NEAR(seek->meanLuma, lumaOf(n), 3.0) << n;
  }
  const auto decoded = ffprobe(path, "frame=pts_time");
  if (!decoded) GTEST_SKIP() << "no ffprobe to decode with";
  EXPECT_EQ(decoded->size(), frames + 1);
}

// Above 2560x1600 the quick encoder records alone, its parameter set the only one.
TEST(VideoWriterTest, LargeScreensAreRecordedByTheQuickEncoderAlone) {
  QTemporaryDir dir;
  const QString path = dir.filePath("large.mp4");
  auto w = VideoWriter::create(path, 2576, 1616, false).take();
  ASSERT_TRUE(feedGreysAndFinish(*w, 10, 1));
  EXPECT_EQ(w->encoderChanges(), 0);
  EXPECT_EQ(parameterSetsIn(path), 1);
  const auto seek = MediaProbe::seek(path, 0.2);
  ASSERT_TRUE(seek);
  EXPECT_EQ(seek->decodeErrors, 0);
  EXPECT_NEAR(seek->meanLuma, lumaOf(6), 3.0);
}

// Pictures primed through the encoder never reach the file, even one holding pictures back.
TEST(VideoWriterTest, TheFileStartsWithTheFirstPictureFedWhateverTheEncoderHoldsBack) {
  qputenv("NIMBO_X264_PARAMS", "bframes=2:rc-lookahead=4:sync-lookahead=0");
  QTemporaryDir dir;
  const QString path = dir.filePath("held.mp4");
  auto w = VideoWriter::create(path, 320, 240, false).take();
  qunsetenv("NIMBO_X264_PARAMS");
  av().av_log_set_level(AV_LOG_ERROR);  // as the app has it
  ASSERT_TRUE(feedGreysAndFinish(*w, 60, 2));
  const auto seek = MediaProbe::seek(path, 0.0);
  ASSERT_TRUE(seek);
  EXPECT_NEAR(seek->shownSeconds, 0.0, 0.002);
  EXPECT_NEAR(seek->meanLuma, lumaOf(0), 3.0);
  const auto packets = ffprobe(path, "packet=pts_time");
  if (!packets) GTEST_SKIP() << "no ffprobe to count pictures with";
  EXPECT_EQ(packets->size(), 61);  // the 60 fed and the last again, no others before
}

// Only as the child of the tests below: records NIMBO_DYING_SECONDS and dies unfinished.
TEST(VideoWriterTest, ChildThatDiesWhileWriting) {
  const QString path = qEnvironmentVariable("NIMBO_DYING_WRITER");
  if (path.isEmpty()) GTEST_SKIP() << "run by the killed-writer tests";
  auto w = VideoWriter::create(path, 320, 240, true).take();
  feed(*w, qEnvironmentVariable("NIMBO_DYING_SECONDS").toDouble(), true);
  usleep(500000);  // let the encoder catch up, then die without finishing
  _exit(0);
}

// A writer in a new process of this binary dying `seconds` in; its process id.
qint64 runDyingWriter(const QString& path, double seconds) {
  QProcess child;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("NIMBO_DYING_WRITER", path);
  env.insert("NIMBO_DYING_SECONDS", QString::number(seconds));
  child.setProcessEnvironment(env);
  child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=VideoWriterTest.ChildThatDiesWhileWriting"});
  EXPECT_TRUE(child.waitForStarted());
  const qint64 pid = child.processId();
  EXPECT_TRUE(child.waitForFinished(60000));
  return pid;
}

TEST(VideoWriterTest, AKilledWriterLeavesAPlayableFileUpToItsLastFragment) {
  QTemporaryDir dir;
  const QString path = dir.filePath("killed.mp4");
  runDyingWriter(path, 3.5);
  const auto probe = MediaProbe::read(path);
  ASSERT_TRUE(probe) << "the file of a killed recording must open";
  EXPECT_EQ(probe->videoTracks, 1);
  // At most the last second is lost, though only the first picture is a keyframe.
  EXPECT_GE(probe->durationSeconds, 2.5);
  EXPECT_LE(probe->durationSeconds, 3.6);
  EXPECT_GE(probe->openedDurationSeconds, 2.5);
  EXPECT_EQ(probe->audioTracks, 1);
  EXPECT_TRUE(probe->audioDecodes);
  const auto seek = MediaProbe::seek(path, 2.4);
  ASSERT_TRUE(seek);
  EXPECT_TRUE(seek->landedOnKeyframe);
  EXPECT_EQ(seek->decodeErrors, 0);
  EXPECT_NEAR(seek->shownSeconds, 2.4, 1.0 / 30 + 0.001);
}

// Killed in its first second: no file has its name, and its hidden one goes at the next start.
TEST(VideoWriterTest, AWriterKilledInItsFirstSecondLeavesNothingUnderItsName) {
  QTemporaryDir dir;
  const QString path = dir.filePath("early.mp4");
  const qint64 pid = runDyingWriter(path, 0.5);
  EXPECT_FALSE(QFile::exists(path));
  const QStringList left = QDir(dir.path()).entryList({".early.mp4.part-*"}, QDir::Files | QDir::Hidden);
  ASSERT_EQ(left.size(), 1) << "the unfinished recording is not where it was written";
  EXPECT_TRUE(left[0].endsWith(QStringLiteral("-%1").arg(pid))) << left[0].toStdString();
  // One of a process that still runs (pid 1) stays.
  QFile other(dir.filePath(".other.mp4.part-1"));
  ASSERT_TRUE(other.open(QIODevice::WriteOnly));
  other.close();
  removeAbandonedRecordings(dir.path());
  EXPECT_FALSE(QFile::exists(dir.filePath(left[0])));
  EXPECT_TRUE(other.exists());
}

bool ffmpegMapped() {
  QFile maps(QStringLiteral("/proc/self/maps"));
  if (!maps.open(QIODevice::ReadOnly)) return false;
  return maps.readAll().contains("/libavcodec.so");
}

// FFmpeg is opened when needed and closed a while after the last user, so an idle tray holds none.
TEST(FfmpegLibraryTest, OpensForAWriterAndClosesAfterTheLastOneIsGone) {
  qputenv("NIMBO_FFMPEG_LINGER_MS", "200");
  ASSERT_TRUE(ffmpeg::closeIfUnused());
  EXPECT_FALSE(ffmpeg::isOpen());
  EXPECT_FALSE(ffmpegMapped()) << "the test program itself links FFmpeg";
  QTemporaryDir dir;
  for (int round = 0; round < 2; ++round) {  // and a second time, freshly loaded
    auto made = VideoWriter::create(dir.filePath(QStringLiteral("%1.mp4").arg(round)), 320, 240, false);
    ASSERT_TRUE(made.ok()) << made.error().description.toStdString();
    std::unique_ptr<VideoWriter> w = made.take();
    EXPECT_TRUE(ffmpeg::isOpen());
    EXPECT_TRUE(ffmpegMapped());
    feed(*w, 0.5, false);
    ASSERT_TRUE(finish(*w, kStart + kSecond / 2));
    EXPECT_TRUE(MediaProbe::read(dir.filePath(QStringLiteral("%1.mp4").arg(round))));
    EXPECT_FALSE(ffmpeg::closeIfUnused());
    w.reset();
    EXPECT_TRUE(ffmpeg::isOpen());  // for a moment, for a quick next use
    QElapsedTimer t;
    t.start();
    while (ffmpeg::isOpen() && t.elapsed() < 5000) QTest::qWait(20);
    EXPECT_FALSE(ffmpeg::isOpen());
    EXPECT_FALSE(ffmpegMapped());
  }
  qunsetenv("NIMBO_FFMPEG_LINGER_MS");
}

}  // namespace
}  // namespace nimbo
