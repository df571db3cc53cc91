// The real app killed with SIGKILL at random moments, 200 times, in the
// virtual desktop of scripts/with-desktop: during captures, edits saved over
// a capture, clears of the history, recordings and start-up itself. After
// every kill it is started again and must load its history whole: the index
// decodes, every record's picture (or video) is there and reads, nothing the
// test saw filed is gone but for what the interrupted action was allowed to
// change, and every recording left in the folder plays.
//
// NIMBO_SOAK_SEED repeats a run; NIMBO_SOAK_KILLS shortens it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTest>

#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <utility>

#include "capture/capture_item.h"
#include "integration/desktop_support.h"

namespace {
using namespace nimbo::desktoptest;

constexpr int kHistoryLimit = 30;  // CaptureHistory::maxItems
const QColor kAccent(202, 245, 77);

bool visible(const QString& title) { return !visibleWindow(title).isEmpty(); }

class CrashSoak : public AppTest {
 protected:
  // Two hundred rounds on a machine that may run other tiers at the same
  // time: a window may take a while to map, and one slow step must not
  // fail the whole soak. Where a wait gives its own bound, that holds.
  static bool waitFor(const std::function<bool()>& done, int timeoutMs = 30000) {
    return nimbo::desktoptest::waitFor(done, timeoutMs);
  }
  void SetUp() override {
    // Clearing goes through the popover, opened from the tray icon.
    if (qEnvironmentVariable("NIMBO_WITH_TRAY") != QLatin1String("1")) GTEST_SKIP() << "needs the tray host";
    ASSERT_TRUE(home.isValid());
    // No share server, no welcome window, no capture sound.
    env = privateAppEnvironment(home, "soundOnCapture=false\n");
  }
  void TearDown() override {
    if (!app) return;
    app->kill();
    app->waitForFinished();
  }

  // --- the app -------------------------------------------------------------

  void launch() {
    app = std::make_unique<QProcess>();
    app->setProcessEnvironment(env);
    app->setProcessChannelMode(QProcess::MergedChannels);
    logText.clear();
    app->start(NIMBO_BINARY, {});
    ASSERT_TRUE(app->waitForStarted());
    ++starts;
  }
  void waitUntilReady() {
    ASSERT_TRUE(waitFor([&] { return log().contains("Nimbo: Hotkeys registered") || !running(); }, 20000))
        << "the app did not finish starting\n" << log().toStdString();
    ASSERT_TRUE(running()) << "the app ended while starting\n" << log().toStdString();
  }
  bool running() { return app && app->state() == QProcess::Running; }
  void killApp() {
    ASSERT_TRUE(running()) << "the app was gone before it was killed\n" << log().toStdString();
    ::kill(pid_t(app->processId()), SIGKILL);
    ASSERT_TRUE(app->waitForFinished(10000));
    log();
    app.reset();
    ++kills;
    ++mix[doing];
  }
  int random(int from, int to) { return std::uniform_int_distribution<int>(from, to)(rng); }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng); }

  // --- what is on disk -------------------------------------------------------

  std::vector<nimbo::CaptureItem> readHistory() {
    QFile f(dataDir + "/history.json");
    if (!f.exists()) return {};
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    auto items = nimbo::decodeHistory(bytes);
    EXPECT_TRUE(items) << "history.json does not decode:\n" << bytes.toStdString();
    return items ? *items : std::vector<nimbo::CaptureItem>{};
  }
  QString originalOf(const QString& id) const { return dataDir + "/originals/" + id + ".png"; }
  static QByteArray digestOf(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1);
  }
  std::optional<nimbo::CaptureItem> newestImage() const {
    for (const nimbo::CaptureItem& item : known)
      if (item.mediaType == nimbo::MediaType::image) return item;
    return std::nullopt;
  }

  // ffprobe finds a length and ffmpeg decodes at least one picture, with no
  // error status. Each version of a file is checked once.
  void expectPlays(const QString& path) {
    const QFileInfo info(path);
    const QString version = path + '|' + QString::number(info.size()) + '|' +
                            QString::number(info.lastModified().toMSecsSinceEpoch());
    if (played.count(version)) return;
    const ProcResult probe = run("ffprobe", {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path});
    bool isNumber = false;
    const double duration = probe.out.trimmed().toDouble(&isNumber);
    EXPECT_TRUE(probe.exitCode == 0 && isNumber && duration > 0)
        << path.toStdString() << " (" << info.size() << " bytes): ffprobe says '" << probe.out.trimmed().toStdString()
        << "' " << probe.err.toStdString();
    const ProcResult decode =
        run("ffmpeg", {"-nostdin", "-v", "error", "-i", path, "-f", "null", "-progress", "pipe:1", "-"});
    const QList<QByteArray> lines = decode.out.split('\n');
    int frames = 0;
    for (const QByteArray& line : lines)
      if (line.startsWith("frame=")) frames = line.mid(6).toInt();
    EXPECT_TRUE(decode.exitCode == 0 && frames > 0)
        << path.toStdString() << " (" << info.size() << " bytes): ffmpeg status " << decode.exitCode << ", "
        << frames << " pictures: " << decode.err.toStdString();
    played.insert(version);
    ++recordingsChecked;
  }

  // Reads the index while the app runs: it is never half written, and what
  // it lists has been filed.
  void observe() {
    const std::vector<nimbo::CaptureItem> now = readHistory();
    for (const nimbo::CaptureItem& item : now)
      if (!digests.count(item.id) && item.mediaType == nimbo::MediaType::image)
        digests[item.id] = digestOf(originalOf(item.id));
    known = now;
  }

  // After a restart: the history as the app loaded it, against what was
  // seen filed before the kill.
  void verifyAfterRestart() {
    EXPECT_FALSE(log().contains("could not be read")) << log().toStdString();
    EXPECT_TRUE(QDir(dataDir).entryList({"history.json.unreadable-*"}).isEmpty()) << "the index was set aside";
    const std::vector<nimbo::CaptureItem> items = readHistory();
    if (HasFailure()) return;
    std::vector<QString> ids, before;
    for (const nimbo::CaptureItem& i : items) ids.push_back(i.id);
    for (const nimbo::CaptureItem& i : known) before.push_back(i.id);

    const bool cleared = clearInFlight && ids.empty();
    if (!cleared) {
      // Records the interrupted action filed come first; then everything
      // seen before, in order, but for what they pushed past the limit.
      size_t fresh = 0;
      while (fresh < ids.size() && std::find(before.begin(), before.end(), ids[fresh]) == before.end()) ++fresh;
      EXPECT_LE(int(fresh), inFlight) << "records nobody made";
      const size_t kept = std::min(before.size(), size_t(kHistoryLimit) - std::min(fresh, size_t(kHistoryLimit)));
      for (size_t i = 0; i < kept; ++i) {
        const bool there = fresh + i < ids.size() && ids[fresh + i] == before[i];
        if (!there) {
          ++lost;
          ADD_FAILURE() << "record " << before[i].toStdString() << " was in the history before the kill and is "
                        << (std::find(ids.begin(), ids.end(), before[i]) == ids.end() ? "gone" : "out of place");
        }
      }
      EXPECT_EQ(ids.size(), fresh + kept) << "records that should have gone are back";
    }

    for (const nimbo::CaptureItem& item : items) {
      if (item.mediaType == nimbo::MediaType::video) {
        ASSERT_TRUE(item.videoPath) << item.id.toStdString();
        EXPECT_TRUE(QFileInfo(*item.videoPath).isFile()) << "the recording of " << item.id.toStdString() << " is gone";
        if (QFileInfo(*item.videoPath).isFile()) expectPlays(*item.videoPath);
        continue;
      }
      const QString path = originalOf(item.id);
      QFile f(path);
      if (!f.open(QIODevice::ReadOnly)) {
        ++lost;
        ADD_FAILURE() << "the picture of " << item.id.toStdString() << " is gone";
        continue;
      }
      const QByteArray bytes = f.readAll();
      const QImage image = QImage::fromData(bytes, "PNG");
      EXPECT_FALSE(image.isNull()) << path.toStdString() << " does not decode (" << bytes.size() << " bytes)";
      EXPECT_EQ(image.size(), QSize(item.width, item.height)) << path.toStdString();
      checkedCaptures.insert(item.id);
      // What was seen saved stays saved, but for the capture whose save
      // was cut off, which may hold either version.
      const QByteArray digest = QCryptographicHash::hash(bytes, QCryptographicHash::Sha1);
      if (editInFlight != item.id && digests.count(item.id)) {
        EXPECT_EQ(digest, digests[item.id]) << "the picture of " << item.id.toStdString() << " is not the one saved";
      }
      digests[item.id] = digest;
    }
    // Every recording in the folder plays, those the kill cut off too.
    const QDir recordings(dataDir + "/recordings");
    for (const QString& name : recordings.entryList({"*.mp4"}, QDir::Files)) expectPlays(recordings.filePath(name));
    // Unfinished recordings of processes that are gone do not stay.
    for (const QString& name : recordings.entryList({".*.part-*"}, QDir::Files | QDir::Hidden)) {
      const long owner = name.mid(name.lastIndexOf('-') + 1).toLong();
      EXPECT_FALSE(owner > 0 && ::kill(pid_t(owner), 0) != 0 && errno == ESRCH)
          << "left over after the start: " << name.toStdString();
    }
    known = items;
    inFlight = 0;
    clearInFlight = false;
    editInFlight.clear();
  }

  // --- what a person does ----------------------------------------------------

  void capture(bool kill) {
    doing = "capture";
    requestCapture("capture-to-clipboard", 30000);
    if (HasFatalFailure()) return;
    const int w = random(160, 420), h = random(120, 300);
    const QPoint from(random(20, 1400), random(20, 700));
    const QPoint to = from + QPoint(w, h);
    const QString before = known.empty() ? QString() : known.front().id;
    xdotool({"mousemove", QString::number(from.x()), QString::number(from.y()), "mousedown", "1", "mousemove",
             QString::number(from.x() + w / 2), QString::number(from.y() + h / 2), "mousemove",
             QString::number(to.x()), QString::number(to.y()), "mouseup", "1"});
    ++inFlight;
    if (kill) {
      // Cropping, encoding and filing take about a tenth of a second.
      QTest::qWait(random(0, 250));
      return killApp();
    }
    ASSERT_TRUE(waitFor([&] {
      const auto items = readHistory();
      return !items.empty() && items.front().id != before;
    })) << "the capture was not filed\n" << log().toStdString();
    observe();
    inFlight = 0;
  }

  void editInPlace(bool kill) {
    const std::optional<nimbo::CaptureItem> target = newestImage();
    if (!target) return capture(kill);
    doing = "edit saved in place";
    const ProcResult opened = cli({"edit", "last"});
    ASSERT_EQ(opened.exitCode, 0) << "the app does not know the newest capture: " << opened.err.toStdString();
    QString window;
    const QString title = QStringLiteral("Nimbo — Edit · %1×%2").arg(target->width).arg(target->height);
    ASSERT_TRUE(waitFor([&] { return !(window = visibleWindow(title)).isEmpty(); })) << log().toStdString();
    // The window manager may place it partly off the screen.
    if (!QRect(0, 0, 1920, 1080).contains(windowRect(window))) xdotool({"windowmove", "--sync", window, "200", "60"});
    xdotool({"windowactivate", "--sync", window});
    QTest::qWait(150);
    xdotool({"key", "--clearmodifiers", "r"});
    // A rectangle across the middle of the picture, found on the screen by
    // its pixels (shown 1:1); a press outside the picture draws nothing.
    const QImage picture = QImage(originalOf(target->id)).convertToFormat(QImage::Format_RGB32);
    ASSERT_FALSE(picture.isNull());
    const QRect frame = windowRect(window);
    std::optional<QPoint> at;
    ASSERT_TRUE(waitFor([&] { return (at = locate(screen(frame), picture)).has_value(); }, 15000))
        << "the capture is not in the editor";
    const QPoint centre = frame.topLeft() + *at + QPoint(picture.width() / 2, picture.height() / 2);
    const QPoint reach(picture.width() / 4, picture.height() / 4);
    const QPoint from = centre - QPoint(random(10, reach.x()), random(10, reach.y())),
                 to = centre + QPoint(random(10, reach.x()), random(10, reach.y()));
    xdotool({"mousemove", QString::number(from.x()), QString::number(from.y()), "mousedown", "1", "mousemove",
             QString::number((from.x() + to.x()) / 2), QString::number((from.y() + to.y()) / 2), "sleep", "0.03",
             "mousemove", QString::number(to.x()), QString::number(to.y()), "sleep", "0.03", "mouseup", "1"});
    QTest::qWait(50);
    const int saves = int(log().count("Editor: saved over " + target->id));
    xdotool({"key", "--clearmodifiers", "ctrl+s"});
    editInFlight = target->id;
    if (kill) {
      // Flattening and writing the picture and the index.
      QTest::qWait(random(0, 300));
      return killApp();
    }
    ASSERT_TRUE(waitFor([&] { return log().count("Editor: saved over " + target->id) > saves; }))
        << "the edit was not saved\n" << log().toStdString();
    const QByteArray digest = digestOf(originalOf(target->id));
    EXPECT_NE(digest, digests[target->id]) << "the saved picture has no rectangle on it";
    digests[target->id] = digest;
    observe();
    editInFlight.clear();
    // Closed, so that later captures are not of its own window: the next
    // edit would find the picture in its chrome. After a save the window at
    // times does not take up a close request; it is asked again, then
    // minimized through the window manager.
    int asked = 0;
    const bool closed = waitFor([&] {
      if (visibleWindow("Nimbo — Edit").isEmpty()) return true;
      if (asked < 4) askWindowToClose(window), ++asked;
      QTest::qWait(300);
      return false;
    }, 2000);
    if (!closed) {
      xdotool({"windowminimize", "--sync", window});
      ASSERT_TRUE(waitFor([&] { return visibleWindow("Nimbo — Edit").isEmpty(); })) << "the editor stayed up";
    }
  }

  QImage screen(const QRect& r) { return screenRegion(r, env); }

  // "See all →" in the popover, then "Clear all" in the history and "Clear"
  // in its alert.
  void clearHistory(bool kill) {
    if (known.empty()) return capture(kill);
    doing = "clear";
    const QRect popover = openPopoverFromTray(30000);
    ASSERT_FALSE(popover.isEmpty()) << log().toStdString();
    const QImage shot = screen(popover);
    // The accent text at the right, below the header (the logo, in accent
    // too, sits left); the first such line from the top.
    const std::optional<QRect> accent =
        boxOf(shot, kAccent, QRect(shot.width() / 2, 40, shot.width() / 2, shot.height() - 40));
    ASSERT_TRUE(accent) << "no \"See all\" in the popover";
    const std::optional<QRect> link = boxOf(shot, kAccent, QRect(shot.width() / 2, accent->top(), shot.width() / 2, 20));
    const QString shown = QStringLiteral("Screenshot: history shown with %1 captures").arg(known.size());
    const int before = int(log().count(shown));
    clickAt(popover.topLeft() + link->center());
    ASSERT_TRUE(waitFor([&] { return log().count(shown) > before; })) << log().toStdString();
    QString settings;
    ASSERT_TRUE(waitFor([&] { return !(settings = visibleWindow("^Nimbo Settings$")).isEmpty(); }));
    xdotool({"windowactivate", "--sync", settings});
    QTest::qWait(300);
    const QRect window = windowRect(settings);
    const std::optional<QPoint> clear = clearAllButton(screen(window));
    ASSERT_TRUE(clear) << "no \"Clear all\" in the history";
    clickAt(window.topLeft() + *clear);
    QString alert;
    ASSERT_TRUE(waitFor([&] { return !(alert = nimboDialog()).isEmpty(); })) << "no alert";
    xdotool({"windowactivate", "--sync", alert});
    xdotool({"key", "Return"});
    clearInFlight = true;
    if (kill) {
      // Removing up to thirty records' files and writing the index.
      QTest::qWait(random(0, 40));
      return killApp();
    }
    ASSERT_TRUE(waitFor([&] { return QFile::exists(dataDir + "/history.json") && readHistory().empty(); }));
    observe();
    clearInFlight = false;
    xdotool({"windowactivate", "--sync", settings});
    xdotool({"key", "--clearmodifiers", "ctrl+w"});
    ASSERT_TRUE(waitFor([&] { return !visible("^Nimbo Settings$"); }));
  }

  // The panel, Return, the three-second countdown, then a recording of the
  // screen, stopped after a second or two and filed unless `cut` says when
  // the kill comes.
  enum class Cut { never, inCountdown, whileRecording, whileFiling };
  void record(Cut cut) {
    doing = "recording";
    const int started = int(log().count("Nimbo: recording started: "));
    ASSERT_EQ(cli({"record-to-file"}).exitCode, 0);
    QString panel;
    ASSERT_TRUE(waitFor([&] { return !(panel = visibleWindow("^New Recording$")).isEmpty(); })) << log().toStdString();
    xdotool({"windowactivate", "--sync", panel});
    xdotool({"key", "Return"});
    if (cut == Cut::inCountdown) {
      doing = "recording, in its countdown";
      ASSERT_TRUE(waitFor([&] { return visible("^Nimbo countdown$"); })) << log().toStdString();
      QTest::qWait(random(0, 2990));
      return killApp();
    }
    ASSERT_TRUE(waitFor([&] { return log().count("Nimbo: recording started: ") > started; }, 10000))
        << log().toStdString();
    if (cut == Cut::whileRecording) {
      // From the first picture on: inside the first fragment as often as later.
      QTest::qWait(random(0, 2500));
      return killApp();
    }
    QTest::qWait(random(1000, 2500));
    const QString newest = known.empty() ? QString() : known.front().id;
    ASSERT_EQ(cli({"record-to-file"}).exitCode, 0);  // the same command stops it
    ++inFlight;
    if (cut == Cut::whileFiling) {
      // The end of the file, its poster and its record.
      doing = "recording, being filed";
      QTest::qWait(random(0, 400));
      return killApp();
    }
    ASSERT_TRUE(waitFor([&] {
      const auto items = readHistory();
      return !items.empty() && items.front().id != newest && items.front().mediaType == nimbo::MediaType::video;
    }, 20000)) << "the recording was not filed\n" << log().toStdString();
    observe();
    inFlight = 0;
    // Its toast leaves; the next capture's overlay should not find it half-gone.
    QTest::qWait(200);
  }

  // One of `steps`, by their weights.
  using Steps = std::vector<std::pair<int, std::function<void()>>>;
  void doOneOf(const Steps& steps) {
    std::vector<int> weights;
    for (const auto& step : steps) weights.push_back(step.first);
    steps[std::discrete_distribution<size_t>(weights.begin(), weights.end())(rng)].second();
  }

  std::mt19937_64 rng;

  // What was seen filed, newest first, and each picture's digest then.
  std::vector<nimbo::CaptureItem> known;
  std::map<QString, QByteArray> digests;
  int inFlight = 0;  // records the interrupted action may have filed
  bool clearInFlight = false;
  QString editInFlight;  // the capture whose in-place save was cut off

  std::set<QString> played, checkedCaptures;
  int kills = 0, starts = 0, recordingsChecked = 0, lost = 0;
  QString doing;  // what the next kill cuts off
  std::map<QString, int> mix;  // kills by what they cut off
};

TEST_F(CrashSoak, TwoHundredKillsLoseNothingFiledAndLeavePlayableRecordings) {
  const quint64 seed = qEnvironmentVariableIsSet("NIMBO_SOAK_SEED") ? qEnvironmentVariable("NIMBO_SOAK_SEED").toULongLong()
                                                                   : std::random_device{}();
  const int target = qEnvironmentVariableIsSet("NIMBO_SOAK_KILLS") ? qEnvironmentVariableIntValue("NIMBO_SOAK_KILLS") : 200;
  std::printf("crash soak: seed %llu (NIMBO_SOAK_SEED=%llu repeats this run), %d kills\n", (unsigned long long)seed,
              (unsigned long long)seed, target);
  std::fflush(stdout);
  rng.seed(seed);
  QElapsedTimer clock;
  clock.start();

  // Finished work between kills, of the cheap kinds mostly.
  const Steps finished = {{62, [&] { capture(false); }},
                          {28, [&] { editInPlace(false); }},
                          {5, [&] { clearHistory(false); }},
                          {5, [&] { record(Cut::never); }}};
  // What the kill cuts off; an edit or a clear with nothing to work on
  // makes a capture instead.
  const Steps cutOff = {{52, [&] { capture(true); }},
                        {22, [&] { editInPlace(true); }},
                        {6, [&] { clearHistory(true); }},
                        {2, [&] { record(Cut::inCountdown); }},
                        {3, [&] { record(Cut::whileRecording); }},
                        {2, [&] { record(Cut::whileFiling); }},
                        {13, [&] {
                           doing = "idle";
                           QTest::qWait(random(0, 300));
                           killApp();
                         }}};

  launch();
  waitUntilReady();
  verifyAfterRestart();
  ASSERT_FALSE(HasFailure());

  while (kills < target) {
    // A little finished work first, then one more action cut off by the kill.
    for (int n = random(0, 2); n > 0 && !HasFatalFailure(); --n) doOneOf(finished);
    ASSERT_FALSE(HasFatalFailure()) << "seed " << seed << ", kill " << kills;
    doOneOf(cutOff);
    ASSERT_FALSE(HasFatalFailure()) << "seed " << seed << ", kill " << kills;
    if (running()) killApp();  // an action that fell back to a finished one

    // Sometimes the start that follows is cut off too, reading the history.
    doing = "start-up";
    while (kills < target && chance(0.08)) {
      launch();
      QTest::qWait(random(0, 250));
      if (!running()) break;
      killApp();
    }
    ASSERT_FALSE(HasFatalFailure());
    launch();
    waitUntilReady();
    ASSERT_FALSE(HasFatalFailure()) << "seed " << seed << ", after kill " << kills;
    verifyAfterRestart();
    ASSERT_FALSE(HasFailure()) << "seed " << seed << ", after kill " << kills;
  }
  // It still runs after the last check.
  QTest::qWait(300);
  EXPECT_TRUE(running()) << log().toStdString();

  QStringList parts;
  for (const auto& [what, n] : mix) parts << QStringLiteral("%1 %2").arg(what).arg(n);
  std::printf("crash soak: %d kills (during: %s), %d starts, %d captures and %d recordings checked, %d lost, %.0f s\n",
              kills, qPrintable(parts.join(", ")), starts, int(checkedCaptures.size()), recordingsChecked, lost,
              clock.elapsed() / 1000.0);
  EXPECT_EQ(lost, 0);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
