// The ScreenCast portal client against a stand-in portal sharing a real
// PipeWire video node (see screencast_session.sh), and the frames that come out.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <cstring>
#include <mutex>
#include <random>

#include "platform/linux/portal/portal_screencast.h"
#include "platform/linux/wayland/pipewire_stream.h"
#include "platform/linux/wayland/portal_screen_stream.h"
#include "unit/support.h"

namespace nimbo {
namespace {

TEST(PipeWireCrop, ARegionOfTheDisplayInAFrameOfAnotherSize) {
  EXPECT_EQ(cropInFrame(QRect(), QSize(800, 600), QSize(800, 600)), QRect(0, 0, 800, 600));
  // A monitor shared at twice the size: the same part of it; never outside the frame.
  EXPECT_EQ(cropInFrame(QRect(100, 50, 200, 120), QSize(800, 600), QSize(1600, 1200)), QRect(200, 100, 400, 240));
  EXPECT_EQ(cropInFrame(QRect(700, 500, 200, 200), QSize(800, 600), QSize(800, 600)), QRect(700, 500, 100, 100));
}

// Pictures of odd sizes in padded rows, a few pixels changed at random each
// time: the copy must equal the new picture, and the region must hold the
// tiles where a pixel changed and no other.
TEST(PipeWireFrames, OnlyTheTilesWhereAPixelChangedAreReportedAndTheCopyIsWhole) {
  std::mt19937 random(7);
  for (const QSize size : {QSize(37, 23), QSize(64, 48), QSize(1, 1), QSize(333, 17)}) {
    const size_t srcStride = size_t(size.width()) * 4 + 12, dstStride = size_t(size.width()) * 4;
    std::vector<uint8_t> src(srcStride * size.height()), dst(dstStride * size.height(), 0);
    for (uint8_t& b : src) b = uint8_t(random());
    const uint8_t padding = src[srcStride - 1];
    // First, over an empty picture: every tile that is not all zeros.
    QRegion first = copyChangedTiles(src.data(), srcStride, dst.data(), dstStride, size.width(), size.height());
    EXPECT_TRUE(first.xored(QRegion(0, 0, size.width(), size.height())).isEmpty());
    for (int round = 0; round < 20; ++round) {
      QRegion expected;
      const int changes = round % 5;  // none now and then
      for (int c = 0; c < changes; ++c) {
        const int x = int(random() % size.width()), y = int(random() % size.height());
        src[size_t(y) * srcStride + size_t(x) * 4 + random() % 4] ^= uint8_t(1 + random() % 255);
        expected += QRect(x / 16 * 16, y / 16 * 16, 16, 16) & QRect(QPoint(0, 0), size);
      }
      const QRegion got = copyChangedTiles(src.data(), srcStride, dst.data(), dstStride, size.width(), size.height());
      EXPECT_TRUE(got.xored(expected).isEmpty()) << size.width() << "x" << size.height() << " round " << round;
      for (int y = 0; y < size.height(); ++y)
        ASSERT_EQ(std::memcmp(src.data() + size_t(y) * srcStride, dst.data() + size_t(y) * dstStride, dstStride), 0)
            << "row " << y << " of " << size.width() << "x" << size.height() << " round " << round;
    }
    EXPECT_EQ(src[srcStride - 1], padding);
  }
}

class ScreenCastTest : public ::testing::Test {
 protected:
  struct Seen {
    std::mutex mutex;
    QSize size;
    quint32 pixel = 0;  // at (10, 10), B G R X in memory
    std::vector<int64_t> pts;
    std::vector<std::optional<QRegion>> changed;  // as each frame said
  };
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("NIMBO_PIPEWIRE_SOCKET")) GTEST_SKIP() << "run through screencast_session.sh";
    Preferences::setValue("screenCast/restoreToken/" + QGuiApplication::primaryScreen()->name(), QString());
    // A monitor stand-in of its own for each test: a solid colour, 800x600.
    static int count = 0;
    const QString name = QStringLiteral("nimbo-test-source-%1").arg(++count);
    source.setProcessChannelMode(QProcess::ForwardedChannels);
    source.start("gst-launch-1.0",
                 {"-q", "videotestsrc", "pattern=solid-color", "foreground-color=0xff123456", "is-live=true", "!",
                  "video/x-raw,format=BGRx,width=800,height=600,framerate=30/1", "!", "pipewiresink", "mode=provide",
                  "client-name=" + name, "stream-properties=props,media.class=Video/Source,node.name=" + name});
    ASSERT_TRUE(test::waitUntil([&] { return (node = nodeNamed(name)) != 0; }, 10000)) << "no node " << name.toStdString();
  }
  void TearDown() override {
    for (QProcess* p : {&portal, &source}) {
      p->kill();
      p->waitForFinished();
    }
  }
  static quint32 nodeNamed(const QString& name) {
    QProcess dump;
    dump.start("pw-dump", {});
    dump.waitForFinished(5000);
    for (const QJsonValue& o : QJsonDocument::fromJson(dump.readAllStandardOutput()).array())
      if (o["info"]["props"]["node.name"].toString() == name) return quint32(o["id"].toInt());
    return 0;
  }
  void startPortal(const QString& answer = QStringLiteral("ok")) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("NIMBO_PORTAL_LOG", dir.filePath("calls.jsonl"));
    portal.setProcessEnvironment(env);
    portal.setProcessChannelMode(QProcess::ForwardedChannels);
    portal.start(NIMBO_FAKE_SCREENCAST_PORTAL, {QString::number(node), "800", "600", answer});
    ASSERT_TRUE(test::waitUntil([] { return ScreenCastPortal::availableCursorModes() == 3; }, 10000));
  }
  // The stand-in's calls of one name, from its log.
  std::vector<QJsonObject> calls(const QString& name) {
    QFile f(dir.filePath("calls.jsonl"));
    std::vector<QJsonObject> out;
    for (const QByteArray& line : f.open(QIODevice::ReadOnly) ? f.readAll().split('\n') : QList<QByteArray>())
      if (const QJsonObject o = QJsonDocument::fromJson(line).object(); o.value("call").toString() == name) out.push_back(o);
    return out;
  }
  QJsonObject selected(size_t i) { return calls("SelectSources").at(i).value("options").toObject(); }
  std::function<void(const ScreenFrame&)> recordInto(Seen& seen) {
    return [&seen](const ScreenFrame& f) {
      std::lock_guard lock(seen.mutex);
      seen.pts.push_back(f.ptsNs);
      seen.changed.push_back(f.changed ? std::optional(*f.changed) : std::nullopt);
      seen.size = QSize(f.width, f.height);
      seen.pixel = *reinterpret_cast<const quint32*>(f.pixels + 10 * f.stride + 10 * 4) & 0xffffff;
    };
  }
  // A stream into `seen` once `frames` frames have come, or null.
  std::unique_ptr<ScreenStream> startStream(const StreamRequest& request, Seen& seen, size_t frames,
                                            std::unique_ptr<ScreenStreamService::Readied> readied = nullptr) {
    Result<std::unique_ptr<ScreenStream>> s = streams.start(request, recordInto(seen), std::move(readied));
    EXPECT_TRUE(s.ok()) << s.error().description.toStdString();
    const auto enough = [&] {
      std::lock_guard lock(seen.mutex);
      return seen.pts.size() >= frames;
    };
    if (s.ok() && test::waitUntil(enough, 10000)) return s.take();
    ADD_FAILURE() << "fewer than " << frames << " frames";
    return nullptr;
  }
  // Started from `readied` once the source's frames have come and been held:
  // the frames begin at the start, not before, with the source's picture at
  // `size`. Whether the start asked the portal anything is for the caller.
  void startsReadied(const StreamRequest& request, std::unique_ptr<ScreenStreamService::Readied> readied, QSize size) {
    QTest::qWait(500);
    Seen seen;
    const int64_t began = monotonicNs();
    const std::unique_ptr<ScreenStream> s = startStream(request, seen, 3, std::move(readied));
    ASSERT_TRUE(s);
    std::lock_guard lock(seen.mutex);
    EXPECT_GE(seen.pts.front(), began);
    EXPECT_EQ(seen.size, size);
    EXPECT_EQ(seen.pixel, 0x123456u) << std::hex << seen.pixel;
  }
  // The monitor shared ahead, as before a countdown: why not, or nothing.
  std::optional<Error> askAhead(const StreamRequest& r) {
    std::optional<std::optional<Error>> answer;
    streams.chooseAhead(r, [&](std::optional<Error> e) { answer = e; });
    EXPECT_TRUE(test::waitUntil([&] { return answer.has_value(); }, 10000));
    return answer.value_or(std::nullopt);
  }
  // A window chosen in the stand-in's dialog, which answers at once.
  std::optional<ScreenStreamService::ChosenWindow> chooseWindow() {
    std::optional<std::optional<ScreenStreamService::ChosenWindow>> got;
    streams.chooseWindow([&](std::optional<ScreenStreamService::ChosenWindow> w) { got = w; });
    EXPECT_TRUE(test::waitUntil([&] { return got.has_value(); }, 10000));
    return got.value_or(std::nullopt);
  }
  QTemporaryDir dir;
  QProcess source;
  quint32 node = 0;
  QProcess portal;
  static constexpr int kAheadKeptMs = 2000;
  PortalScreenStreams streams{kAheadKeptMs};
};

TEST_F(ScreenCastTest, TheMonitorsFramesArriveAtTheRateAskedAndTheChoiceIsRestoredNextTime) {
  startPortal();
  StreamRequest request;
  request.displayID = 1;
  Seen seen;
  if (const std::unique_ptr<ScreenStream> s = startStream(request, seen, 5)) {
    const std::optional<QRect> display = streams.displayPixels(1);
    ASSERT_TRUE(display);
    size_t from = 0;
    {
      std::lock_guard lock(seen.mutex);
      EXPECT_EQ(seen.size, display->size());  // the 800x600 source fitted to the display
      EXPECT_EQ(seen.pixel, 0x123456u) << std::hex << seen.pixel;
      from = seen.pts.size();
    }
    // An encoder falling behind asks for fewer frames: of the source's 30 a
    // second only those a whole interval apart come through, yet not starved.
    s->setFrameInterval(0.25);
    QTest::qWait(2100);
    std::lock_guard lock(seen.mutex);
    ASSERT_GE(seen.pts.size(), from + 4);
    for (size_t i = from + 2; i < seen.pts.size(); ++i) {  // the frame already on its way may be early
      EXPECT_GE(seen.pts[i] - seen.pts[i - 1], 225'000'000);
      EXPECT_LE(seen.pts[i] - seen.pts[i - 1], 400'000'000);
    }
  }
  // A monitor, the pointer in the picture, a token asked for, none to restore
  // yet. Ending the stream ends the portal's session.
  ASSERT_EQ(calls("SelectSources").size(), 1u);
  EXPECT_EQ(selected(0), (QJsonObject{{"types", 1}, {"multiple", false}, {"cursor_mode", 2}, {"persist_mode", 2}}));
  ASSERT_TRUE(test::waitUntil([&] { return calls("Close").size() == 1; }));
  EXPECT_EQ(calls("Close")[0].value("session"), calls("SelectSources")[0].value("session"));

  // A region without the pointer next: cut from the monitor's frames, with the
  // token the portal gave; the newest token is kept (they are single use).
  request.source = QRect(100, 50, 200, 120);
  request.showsCursor = false;
  Seen region;
  ASSERT_TRUE(startStream(request, region, 3));
  EXPECT_EQ(region.size, QSize(200, 120));
  EXPECT_EQ(region.pixel, 0x123456u);
  ASSERT_EQ(calls("SelectSources").size(), 2u);
  EXPECT_EQ(selected(1), (QJsonObject{{"types", 1}, {"multiple", false}, {"cursor_mode", 1}, {"persist_mode", 2},
                                      {"restore_token", calls("Started")[0].value("restore_token")}}));
  EXPECT_EQ(Preferences::stringValue("screenCast/restoreToken/" + QGuiApplication::primaryScreen()->name()),
            calls("Started")[1].value("restore_token").toString());
}

TEST_F(ScreenCastTest, NoSuchDisplayOrAChooserClosedByTheUserLeavesNoSession) {
  startPortal(QStringLiteral("cancel"));
  StreamRequest request;
  request.displayID = 42;
  Seen seen;
  Result<std::unique_ptr<ScreenStream>> s = streams.start(request, recordInto(seen), nullptr);
  ASSERT_FALSE(s.ok());
  EXPECT_TRUE(isPlatformError(s.error(), PlatformErrorCode::noDisplay));
  EXPECT_TRUE(calls("CreateSession").empty());

  request.displayID = 1;
  s = streams.start(request, recordInto(seen), nullptr);
  ASSERT_FALSE(s.ok());
  EXPECT_TRUE(isPlatformError(s.error(), PlatformErrorCode::permissionDenied)) << s.error().description.toStdString();
  EXPECT_TRUE(test::waitUntil([&] { return calls("Close").size() == 1; }));
  EXPECT_TRUE(calls("OpenPipeWireRemote").empty());
}

TEST_F(ScreenCastTest, AWindowChosenInTheDesktopsDialogIsRecordedAtItsSize) {
  startPortal();
  const std::optional<ScreenStreamService::ChosenWindow> first = chooseWindow();
  ASSERT_TRUE(first);
  // Chosen afresh every time: nothing kept to restore.
  EXPECT_EQ(selected(0), (QJsonObject{{"types", 2}, {"multiple", false}, {"cursor_mode", 2}}));
  EXPECT_EQ(streams.windowPixels(first->id), std::optional<QSize>(QSize(800, 600)));

  // A second choice replaces the first, whose session ends.
  const std::optional<ScreenStreamService::ChosenWindow> second = chooseWindow();
  ASSERT_TRUE(second);
  EXPECT_NE(second->id, first->id);
  EXPECT_FALSE(streams.windowPixels(first->id));
  ASSERT_TRUE(test::waitUntil([&] { return calls("Close").size() == 1; }));

  StreamRequest request;
  request.windowID = second->id;
  Seen seen;
  ASSERT_TRUE(startStream(request, seen, 3));
  {
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.size, QSize(800, 600));
    EXPECT_EQ(seen.pixel, 0x123456u);
    // The source sends the same picture 30 times a second: after the first,
    // whole, only the picture again about once a second, saying that
    // nothing changed.
    EXPECT_FALSE(seen.changed.front());
    for (size_t i = 1; i < seen.pts.size(); ++i) {
      EXPECT_TRUE(seen.changed[i] && seen.changed[i]->isEmpty()) << "frame " << i;
      EXPECT_GE(seen.pts[i] - seen.pts[i - 1], 850'000'000) << "frame " << i;
    }
  }
  // Used once: the next recording asks again.
  EXPECT_FALSE(streams.windowPixels(second->id));
  Result<std::unique_ptr<ScreenStream>> again = streams.start(request, recordInto(seen), nullptr);
  ASSERT_FALSE(again.ok());
  EXPECT_TRUE(isPlatformError(again.error(), PlatformErrorCode::windowGone));
}

TEST_F(ScreenCastTest, AChosenWindowIsConnectedWhileTheCountdownRunsAndStaysChosenWhenItIsCancelled) {
  startPortal();
  std::optional<ScreenStreamService::ChosenWindow> window = chooseWindow();
  ASSERT_TRUE(window);
  StreamRequest request;
  request.windowID = window->id;

  // Connected with the connection the choice brought, and the start takes
  // that connection: nothing more is asked of the portal.
  std::unique_ptr<ScreenStreamService::Readied> readied = streams.ready(request);
  ASSERT_TRUE(readied);
  startsReadied(request, std::move(readied), QSize(800, 600));
  EXPECT_EQ(calls("OpenPipeWireRemote").size(), 1u);
  // Used: the recording ended the session, and the next one asks again.
  ASSERT_TRUE(test::waitUntil([&] { return calls("Close").size() == 1; }));
  EXPECT_FALSE(streams.windowPixels(window->id));

  // A cancelled countdown ends its connection but not the choice; the next
  // countdown connects again through the same session. (No frames are
  // awaited from here on: the test source, gstreamer's pipewiresink, sends
  // next to nothing once a consumer has left it.)
  window = chooseWindow();
  ASSERT_TRUE(window);
  request.windowID = window->id;
  readied = streams.ready(request);
  ASSERT_TRUE(readied);
  QTest::qWait(300);
  readied.reset();
  EXPECT_EQ(streams.windowPixels(window->id), std::optional<QSize>(QSize(800, 600)));
  readied = streams.ready(request);
  ASSERT_TRUE(readied);
  EXPECT_EQ(calls("OpenPipeWireRemote").size(), 3u);
  Seen again;
  Result<std::unique_ptr<ScreenStream>> s = streams.start(request, recordInto(again), std::move(readied));
  ASSERT_TRUE(s.ok()) << s.error().description.toStdString();
  EXPECT_EQ(calls("OpenPipeWireRemote").size(), 3u);
  EXPECT_EQ(calls("Close").size(), 1u);
  s.take().reset();
  ASSERT_TRUE(test::waitUntil([&] { return calls("Close").size() == 2; }));

  // Cancelled, then started with nothing readied: the start connects again.
  window = chooseWindow();
  ASSERT_TRUE(window);
  request.windowID = window->id;
  readied = streams.ready(request);
  ASSERT_TRUE(readied);
  readied.reset();
  s = streams.start(request, recordInto(again), nullptr);
  ASSERT_TRUE(s.ok()) << s.error().description.toStdString();
  EXPECT_EQ(calls("OpenPipeWireRemote").size(), 5u);
  EXPECT_EQ(calls("CreateSession").size(), 3u);
}

TEST_F(ScreenCastTest, AMonitorIsSharedBeforeTheCountdownRestoringTheLastChoiceAndConnectedDuringIt) {
  startPortal();
  StreamRequest request;
  request.displayID = 1;
  const QString key = "screenCast/restoreToken/" + QGuiApplication::primaryScreen()->name();
  const QSize size = streams.displayPixels(1)->size();
  // Never shared: the desktop asks now, and the choice is remembered. The
  // countdown connects the session chosen; the start takes it, asking
  // nothing more, and what the screen shows comes from the start on.
  EXPECT_FALSE(askAhead(request));
  ASSERT_EQ(calls("CreateSession").size(), 1u);
  EXPECT_FALSE(selected(0).contains("restore_token"));
  EXPECT_EQ(Preferences::stringValue(key), calls("Started")[0].value("restore_token").toString());
  startsReadied(request, streams.ready(request), size);
  EXPECT_EQ(calls("CreateSession").size(), 1u);
  EXPECT_EQ(calls("OpenPipeWireRemote").size(), 1u);
  ASSERT_TRUE(test::waitUntil([&] { return calls("Close").size() == 1; }));

  // Shared before: restored before the countdown too (a lapsed token would
  // have the desktop ask then, not over the countdown), the newest token
  // kept, and connected during the countdown.
  EXPECT_FALSE(askAhead(request));
  EXPECT_EQ(selected(1).value("restore_token"), calls("Started")[0].value("restore_token"));
  EXPECT_EQ(Preferences::stringValue(key), calls("Started")[1].value("restore_token").toString());
  startsReadied(request, streams.ready(request), size);
  EXPECT_EQ(calls("CreateSession").size(), 2u);
  EXPECT_EQ(calls("OpenPipeWireRemote").size(), 2u);
  ASSERT_TRUE(test::waitUntil([&] { return calls("Close").size() == 2; }));

  // A countdown cancelled once its stream was connected: the session ends
  // with it. (No frames are awaited from here on: the test source,
  // gstreamer's pipewiresink, sends nothing more to anyone once a consumer
  // has left in the middle of negotiating, as those let go of here may; a
  // fresh source streams to this process again.)
  EXPECT_FALSE(askAhead(request));
  std::unique_ptr<ScreenStreamService::Readied> readied = streams.ready(request);
  ASSERT_TRUE(readied);
  EXPECT_EQ(calls("OpenPipeWireRemote").size(), 3u);
  readied.reset();
  ASSERT_TRUE(test::waitUntil([&] { return calls("Close").size() == 3; }));
  // Cancelled before: nobody takes the session, which ends soon all the same.
  EXPECT_FALSE(askAhead(request));
  QTest::qWait(kAheadKeptMs / 2);
  EXPECT_EQ(calls("Close").size(), 3u);
  ASSERT_TRUE(test::waitUntil([&] { return calls("Close").size() == 4; }, kAheadKeptMs * 2));
  EXPECT_FALSE(streams.ready(request));

  // Readied for the whole monitor, started for a region of it: that one
  // ends, and the start shares afresh.
  EXPECT_FALSE(askAhead(request));
  readied = streams.ready(request);
  StreamRequest region = request;
  region.source = QRect(100, 50, 200, 120);
  Seen part;
  Result<std::unique_ptr<ScreenStream>> s = streams.start(region, recordInto(part), std::move(readied));
  ASSERT_TRUE(s.ok()) << s.error().description.toStdString();
  EXPECT_EQ(calls("CreateSession").size(), 6u);
  EXPECT_EQ(calls("OpenPipeWireRemote").size(), 6u);
  ASSERT_TRUE(test::waitUntil([&] { return calls("Close").size() == 5; }));
  s.take().reset();
  ASSERT_TRUE(test::waitUntil([&] { return calls("Close").size() == 6; }));

  // Shared with the pointer, recorded without it: that session ends and the
  // start shares afresh.
  EXPECT_FALSE(askAhead(request));
  StreamRequest plain = request;
  plain.showsCursor = false;
  s = streams.start(plain, recordInto(part), nullptr);
  ASSERT_TRUE(s.ok()) << s.error().description.toStdString();
  EXPECT_EQ(calls("CreateSession").size(), 8u);
  EXPECT_EQ(selected(7).value("cursor_mode"), 1);
  ASSERT_TRUE(test::waitUntil([&] { return calls("Close").size() == 7; }));
  s.take().reset();

  // A caller that did not ask ahead: nothing is asked during the countdown;
  // the start shares.
  EXPECT_FALSE(streams.ready(request));
  QTest::qWait(200);
  EXPECT_EQ(calls("CreateSession").size(), 8u);
}

TEST_F(ScreenCastTest, AChooserClosedBeforeTheCountdownIsTheAnswer) {
  startPortal(QStringLiteral("cancel"));
  const QString key = "screenCast/restoreToken/" + QGuiApplication::primaryScreen()->name();
  StreamRequest request;
  request.displayID = 1;
  // Asked because the last choice could not be restored, or because there
  // was none: either way the user said no, and nothing is connected.
  int asked = 0;
  for (const QString& token : {QStringLiteral("lapsed"), QString()}) {
    Preferences::setValue(key, token);
    const std::optional<Error> refused = askAhead(request);
    ASSERT_TRUE(refused);
    EXPECT_TRUE(isPlatformError(*refused, PlatformErrorCode::permissionDenied)) << refused->description.toStdString();
    EXPECT_EQ(calls("CreateSession").size(), size_t(++asked));
    EXPECT_EQ(selected(asked - 1).value("restore_token").toString(), token);
    EXPECT_FALSE(streams.ready(request));
  }
  EXPECT_TRUE(calls("OpenPipeWireRemote").empty());

  // A display gone: said before anything is asked.
  request.displayID = 42;
  const std::optional<Error> gone = askAhead(request);
  ASSERT_TRUE(gone);
  EXPECT_TRUE(isPlatformError(*gone, PlatformErrorCode::noDisplay));
  EXPECT_EQ(calls("CreateSession").size(), size_t(asked));
}

}  // namespace
}  // namespace nimbo
