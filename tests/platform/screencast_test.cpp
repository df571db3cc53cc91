// Recording streams on Wayland: the ScreenCast portal client against a
// stand-in portal that shares a real PipeWire video node (see
// screencast_session.sh), and the frames that come out of it.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <mutex>

#include "platform/linux/portal/portal_screencast.h"
#include "platform/linux/wayland/pipewire_stream.h"
#include "platform/linux/wayland/portal_screen_stream.h"
#include "unit/support.h"

namespace nimbo {
namespace {

TEST(PipeWireCrop, ARegionOfTheDisplayInAFrameOfAnotherSize) {
  EXPECT_EQ(cropInFrame(QRect(), QSize(800, 600), QSize(800, 600)), QRect(0, 0, 800, 600));
  EXPECT_EQ(cropInFrame(QRect(100, 50, 200, 120), QSize(800, 600), QSize(800, 600)), QRect(100, 50, 200, 120));
  // The desktop shared a monitor twice the size: the same part of it.
  EXPECT_EQ(cropInFrame(QRect(100, 50, 200, 120), QSize(800, 600), QSize(1600, 1200)), QRect(200, 100, 400, 240));
  // Never outside the frame.
  EXPECT_EQ(cropInFrame(QRect(700, 500, 200, 200), QSize(800, 600), QSize(800, 600)), QRect(700, 500, 100, 100));
}

class ScreenCastTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("NIMBO_PIPEWIRE_SOCKET")) GTEST_SKIP() << "run through screencast_session.sh";
    Preferences::setValue(QStringLiteral("screenCast/restoreToken/") + QGuiApplication::primaryScreen()->name(),
                          QString());
    // A monitor stand-in of its own for each test: a solid colour, 800x600.
    static int count = 0;
    const QString name = QStringLiteral("nimbo-test-source-%1").arg(++count);
    source.setProcessChannelMode(QProcess::ForwardedChannels);
    source.start("gst-launch-1.0",
                 {"-q", "videotestsrc", "pattern=solid-color", "foreground-color=0xff123456", "is-live=true", "!",
                  "video/x-raw,format=BGRx,width=800,height=600,framerate=30/1", "!", "pipewiresink", "mode=provide",
                  "client-name=" + name, "stream-properties=props,media.class=Video/Source,node.name=" + name});
    ASSERT_TRUE(source.waitForStarted());
    ASSERT_TRUE(test::waitUntil([&] { return (node = nodeNamed(name)) != 0; }, 10000)) << "no node " << name.toStdString();
  }
  void TearDown() override {
    portal.kill();
    portal.waitForFinished();
    source.kill();
    source.waitForFinished();
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
    ASSERT_TRUE(portal.waitForStarted());
    ASSERT_TRUE(test::waitUntil([] { return ScreenCastPortal::availableCursorModes() == 3; }, 10000));
  }
  std::vector<QJsonObject> calls(const QString& name) {
    QFile f(dir.filePath("calls.jsonl"));
    std::vector<QJsonObject> out;
    if (!f.open(QIODevice::ReadOnly)) return out;
    for (const QByteArray& line : f.readAll().split('\n'))
      if (!line.isEmpty()) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.value("call").toString() == name) out.push_back(o);
      }
    return out;
  }
  struct Seen {
    std::mutex mutex;
    int frames = 0;
    int width = 0, height = 0;
    quint32 pixel = 0;
    std::vector<int64_t> pts;
  };
  std::function<void(const ScreenFrame&)> recordInto(Seen& seen) {
    return [&seen](const ScreenFrame& f) {
      std::lock_guard lock(seen.mutex);
      ++seen.frames;
      seen.pts.push_back(f.ptsNs);
      seen.width = f.width, seen.height = f.height;
      seen.pixel = *reinterpret_cast<const quint32*>(f.pixels + 10 * f.stride + 10 * 4) & 0xffffff;
    };
  }
  std::unique_ptr<ScreenStream> startStream(const StreamRequest& request, Seen& seen) {
    Result<std::unique_ptr<ScreenStream>> s = streams.start(request, recordInto(seen));
    EXPECT_TRUE(s.ok()) << s.error().description.toStdString();
    return s.ok() ? s.take() : nullptr;
  }
  bool waitForFrames(Seen& seen, int count) {
    const bool ok = test::waitUntil([&] {
      std::lock_guard lock(seen.mutex);
      return seen.frames >= count;
    }, 10000);
    std::lock_guard lock(seen.mutex);
    if (!ok) ADD_FAILURE() << seen.frames << " frames of " << count;
    return ok;
  }
  QTemporaryDir dir;
  QProcess source;
  quint32 node = 0;
  QProcess portal;
  PortalScreenStreams streams;
};

TEST_F(ScreenCastTest, TheSharedMonitorsFramesArriveAndTheChoiceIsRestoredNextTime) {
  startPortal();
  StreamRequest request;
  request.displayID = 1;
  Seen seen;
  {
    const std::unique_ptr<ScreenStream> s = startStream(request, seen);
    ASSERT_TRUE(s);
    ASSERT_TRUE(waitForFrames(seen, 5));
    // The recording's size is the display's; a source of another size
    // (here 800x600) is fitted to it.
    const std::optional<QRect> display = streams.displayPixels(1);
    ASSERT_TRUE(display);
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.width, display->width());
    EXPECT_EQ(seen.height, display->height());
    EXPECT_EQ(seen.pixel, 0x123456u) << std::hex << seen.pixel;  // B G R X in memory
  }
  // A monitor, the pointer in the picture, a token asked for; none to
  // restore the first time. Ending the stream ends the portal's session.
  ASSERT_EQ(calls("SelectSources").size(), 1u);
  const QJsonObject first = calls("SelectSources")[0].value("options").toObject();
  EXPECT_EQ(first.value("types").toInt(), 1);
  EXPECT_EQ(first.value("cursor_mode").toInt(), 2);
  EXPECT_EQ(first.value("persist_mode").toInt(), 2);
  EXPECT_FALSE(first.contains("restore_token"));
  ASSERT_TRUE(test::waitUntil([&] { return calls("Close").size() == 1; }));
  EXPECT_EQ(calls("Close")[0].value("session").toString(), calls("SelectSources")[0].value("session").toString());

  // The next recording hands back the token the portal gave; the newest
  // token is kept (they are single use).
  const QString token = calls("Started")[0].value("restore_token").toString();
  Seen again;
  {
    const std::unique_ptr<ScreenStream> s = startStream(request, again);
    ASSERT_TRUE(s);
    ASSERT_TRUE(waitForFrames(again, 1));
  }
  ASSERT_EQ(calls("SelectSources").size(), 2u);
  EXPECT_EQ(calls("SelectSources")[1].value("options").toObject().value("restore_token").toString(), token);
  EXPECT_EQ(Preferences::stringValue(QStringLiteral("screenCast/restoreToken/") +
                                     QGuiApplication::primaryScreen()->name()),
            calls("Started")[1].value("restore_token").toString());
}

TEST_F(ScreenCastTest, ARegionIsCutFromTheMonitorsFrames) {
  startPortal();
  StreamRequest request;
  request.displayID = 1;
  request.source = QRect(100, 50, 200, 120);
  request.showsCursor = false;
  Seen seen;
  const std::unique_ptr<ScreenStream> s = startStream(request, seen);
  ASSERT_TRUE(s);
  ASSERT_TRUE(waitForFrames(seen, 3));
  std::lock_guard lock(seen.mutex);
  EXPECT_EQ(seen.width, 200);
  EXPECT_EQ(seen.height, 120);
  EXPECT_EQ(seen.pixel, 0x123456u);
  EXPECT_EQ(calls("SelectSources")[0].value("options").toObject().value("cursor_mode").toInt(), 1);
}

// When the encoder falls behind, the recorder asks the stream for fewer
// frames: the compositor keeps sending 30 a second, and only those a whole
// (lowered) interval apart come through.
TEST_F(ScreenCastTest, ALowerRateAskedForMidStreamSpacesTheFramesOut) {
  startPortal();
  StreamRequest request;
  request.displayID = 1;
  Seen seen;
  const std::unique_ptr<ScreenStream> s = startStream(request, seen);
  ASSERT_TRUE(s);
  ASSERT_TRUE(waitForFrames(seen, 10));
  size_t from = 0;
  {
    std::lock_guard lock(seen.mutex);
    from = seen.pts.size();
  }
  s->setFrameInterval(0.25);
  QTest::qWait(2100);
  std::lock_guard lock(seen.mutex);
  // The frame already on its way may still come at the old rate.
  ASSERT_GE(seen.pts.size(), from + 4);
  std::vector<int64_t> gaps;
  for (size_t i = from + 2; i < seen.pts.size(); ++i) gaps.push_back(seen.pts[i] - seen.pts[i - 1]);
  for (int64_t g : gaps) EXPECT_GE(g, 225'000'000) << g;
  // Not starved either: a frame at least every 0.4 s (the source's 1/30 s
  // past the interval, with room for a slow machine).
  for (int64_t g : gaps) EXPECT_LE(g, 400'000'000) << g;
}

TEST_F(ScreenCastTest, AChooserClosedByTheUserIsARefusalAndLeavesNoSession) {
  startPortal(QStringLiteral("cancel"));
  StreamRequest request;
  request.displayID = 1;
  Seen seen;
  Result<std::unique_ptr<ScreenStream>> s = streams.start(request, recordInto(seen));
  ASSERT_FALSE(s.ok());
  EXPECT_TRUE(isPlatformError(s.error(), PlatformErrorCode::permissionDenied)) << s.error().description.toStdString();
  EXPECT_TRUE(test::waitUntil([&] { return calls("Close").size() == 1; }));
  EXPECT_TRUE(calls("OpenPipeWireRemote").empty());
}

TEST_F(ScreenCastTest, AWindowChosenInTheDesktopsDialogIsRecordedAtItsSize) {
  startPortal();
  auto choose = [&] {
    std::optional<std::optional<ScreenStreamService::ChosenWindow>> got;
    streams.chooseWindow([&](std::optional<ScreenStreamService::ChosenWindow> w) { got = w; });
    EXPECT_TRUE(test::waitUntil([&] { return got.has_value(); }, 10000));
    return got.value_or(std::nullopt);
  };
  ASSERT_TRUE(streams.desktopChoosesWindows());
  const std::optional<ScreenStreamService::ChosenWindow> first = choose();
  ASSERT_TRUE(first);
  // Chosen afresh every time: nothing kept to restore.
  const QJsonObject options = calls("SelectSources")[0].value("options").toObject();
  EXPECT_EQ(options.value("types").toInt(), 2);
  EXPECT_FALSE(options.contains("persist_mode"));
  EXPECT_EQ(streams.windowPixels(first->id), std::optional<QSize>(QSize(800, 600)));

  // A second choice replaces the first, whose session ends.
  const std::optional<ScreenStreamService::ChosenWindow> second = choose();
  ASSERT_TRUE(second);
  EXPECT_NE(second->id, first->id);
  EXPECT_FALSE(streams.windowPixels(first->id));
  ASSERT_TRUE(test::waitUntil([&] { return calls("Close").size() == 1; }));

  StreamRequest request;
  request.windowID = second->id;
  Seen seen;
  {
    const std::unique_ptr<ScreenStream> s = startStream(request, seen);
    ASSERT_TRUE(s);
    ASSERT_TRUE(waitForFrames(seen, 3));
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(QSize(seen.width, seen.height), QSize(800, 600));
    EXPECT_EQ(seen.pixel, 0x123456u);
  }
  // Used once: the next recording asks again.
  EXPECT_FALSE(streams.windowPixels(second->id));
  Result<std::unique_ptr<ScreenStream>> again = streams.start(request, recordInto(seen));
  ASSERT_FALSE(again.ok());
  EXPECT_TRUE(isPlatformError(again.error(), PlatformErrorCode::windowGone));
}

TEST_F(ScreenCastTest, NoDisplayNoStream) {
  startPortal();
  StreamRequest request;
  request.displayID = 42;
  Seen seen;
  Result<std::unique_ptr<ScreenStream>> s = streams.start(request, recordInto(seen));
  ASSERT_FALSE(s.ok());
  EXPECT_TRUE(isPlatformError(s.error(), PlatformErrorCode::noDisplay));
  EXPECT_TRUE(calls("CreateSession").empty());
}

}  // namespace
}  // namespace nimbo
