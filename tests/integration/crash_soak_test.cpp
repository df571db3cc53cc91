// The real app SIGKILLed at random moments during captures, in-place edits,
// history clears, recordings and start-up; every restart must load the history
// whole, keep what was seen filed, and leave every recording playable.
// NIMBO_SOAK_SEED repeats a run; NIMBO_SOAK_KILLS shortens it.
#include <QApplication>
#include <QCryptographicHash>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <map>
#include <random>
#include <set>

#include "integration/desktop_support.h"

namespace {
using namespace nimbo::desktoptest;
using nimbo::CaptureItem;
using nimbo::MediaType;

constexpr int kHistoryLimit = 30;  // CaptureHistory::maxItems
const QColor kAccent(202, 245, 77);

QStringList xy(QPoint p) { return {QString::number(p.x()), QString::number(p.y())}; }

class CrashSoak : public AppTest {
 protected:
  // Other tiers may share the machine: one slow step must not fail the soak.
  static bool waitFor(const std::function<bool()>& done, int timeoutMs = 30000) {
    return nimbo::desktoptest::waitFor(done, timeoutMs);
  }
  void SetUp() override {
    // Clearing goes through the popover, opened from the tray icon.
    if (qEnvironmentVariable("NIMBO_WITH_TRAY") != QLatin1String("1")) GTEST_SKIP() << "needs the tray host";
    ASSERT_TRUE(home.isValid());
    env = privateAppEnvironment(home, "soundOnCapture=false\n");
  }

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
    app.reset();
    ++kills;
  }
  void killAfterUpTo(int ms) {
    QTest::qWait(random(0, ms));
    killApp();
  }
  int random(int from, int to) { return std::uniform_int_distribution<int>(from, to)(rng); }
  void drag(QPoint from, QPoint to) {
    xdotool(QStringList{"mousemove"} + xy(from) + QStringList{"mousedown", "1", "mousemove"} + xy((from + to) / 2) +
            QStringList{"sleep", "0.03", "mousemove"} + xy(to) + QStringList{"sleep", "0.03", "mouseup", "1"});
  }

  std::vector<CaptureItem> readHistory() {
    QFile f(dataDir + "/history.json");
    if (!f.exists()) return {};
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    const auto items = nimbo::decodeHistory(bytes);
    EXPECT_TRUE(items) << "history.json does not decode:\n" << bytes.toStdString();
    return items.value_or(std::vector<CaptureItem>{});
  }
  QString originalOf(const QString& id) const { return dataDir + "/originals/" + id + ".png"; }
  static QByteArray digestOf(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1) : QByteArray();
  }
  QString newestId() const { return known.empty() ? QString() : known.front().id; }
  // Waits until the history's newest record is a new one (of `type`, if given).
  bool filedNew(const QString& before, std::optional<MediaType> type, int timeoutMs = 30000) {
    return waitFor([&] {
      const auto items = readHistory();
      return !items.empty() && items.front().id != before && (!type || items.front().mediaType == *type);
    }, timeoutMs);
  }

  // ffprobe finds a length and ffmpeg decodes at least one picture; each
  // version of a file is checked once.
  void expectPlays(const QString& path) {
    const QFileInfo info(path);
    const QString version =
        QStringLiteral("%1|%2|%3").arg(path).arg(info.size()).arg(info.lastModified().toMSecsSinceEpoch());
    if (!played.insert(version).second) return;
    const std::string what = path.toStdString() + " (" + std::to_string(info.size()) + " bytes)";
    const ProcResult probe =
        run("ffprobe", {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path});
    bool isNumber = false;
    const double duration = probe.out.trimmed().toDouble(&isNumber);
    EXPECT_TRUE(probe.exitCode == 0 && isNumber && duration > 0)
        << what << ": ffprobe says '" << probe.out.trimmed().toStdString() << "' " << probe.err.toStdString();
    const ProcResult decode =
        run("ffmpeg", {"-nostdin", "-v", "error", "-i", path, "-f", "null", "-progress", "pipe:1", "-"});
    int frames = 0;
    for (const QByteArray& line : decode.out.split('\n'))
      if (line.startsWith("frame=")) frames = line.mid(6).toInt();
    EXPECT_TRUE(decode.exitCode == 0 && frames > 0)
        << what << ": ffmpeg status " << decode.exitCode << ", " << frames << " pictures: " << decode.err.toStdString();
    ++recordingsChecked;
  }

  // Reads the index while the app runs: never half written, and notes each
  // new picture's digest as saved.
  void observe() {
    known = readHistory();
    for (const CaptureItem& item : known)
      if (!digests.count(item.id) && item.mediaType == MediaType::image)
        digests[item.id] = digestOf(originalOf(item.id));
  }

  // After a restart: the history as the app loaded it, against what was seen
  // filed before the kill.
  void verifyAfterRestart() {
    EXPECT_FALSE(log().contains("could not be read")) << log().toStdString();
    EXPECT_TRUE(QDir(dataDir).entryList({"history.json.unreadable-*"}).isEmpty()) << "the index was set aside";
    const std::vector<CaptureItem> items = readHistory();
    if (HasFailure()) return;
    std::vector<QString> ids, before;
    for (const CaptureItem& i : items) ids.push_back(i.id);
    for (const CaptureItem& i : known) before.push_back(i.id);

    if (!(clearInFlight && ids.empty())) {
      // What the interrupted action filed comes first, then everything seen
      // before, in order, but for what that pushed past the limit.
      size_t fresh = 0;
      while (fresh < ids.size() && std::find(before.begin(), before.end(), ids[fresh]) == before.end()) ++fresh;
      EXPECT_LE(int(fresh), inFlight) << "records nobody made";
      const size_t kept = std::min(before.size(), size_t(kHistoryLimit) - std::min(fresh, size_t(kHistoryLimit)));
      for (size_t i = 0; i < kept; ++i)
        EXPECT_TRUE(fresh + i < ids.size() && ids[fresh + i] == before[i])
            << "record " << before[i].toStdString() << " was in the history before the kill and is "
            << (std::find(ids.begin(), ids.end(), before[i]) == ids.end() ? "gone" : "out of place");
      EXPECT_EQ(ids.size(), fresh + kept) << "records that should have gone are back";
    }

    for (const CaptureItem& item : items) {
      if (item.mediaType == MediaType::video) {
        ASSERT_TRUE(item.videoPath) << item.id.toStdString();
        EXPECT_TRUE(QFileInfo(*item.videoPath).isFile()) << "the recording of " << item.id.toStdString() << " is gone";
        if (QFileInfo(*item.videoPath).isFile()) expectPlays(*item.videoPath);
        continue;
      }
      const QString path = originalOf(item.id);
      QFile f(path);
      if (!f.open(QIODevice::ReadOnly)) {
        ADD_FAILURE() << "the picture of " << item.id.toStdString() << " is gone";
        continue;
      }
      const QByteArray bytes = f.readAll();
      const QImage image = QImage::fromData(bytes, "PNG");
      EXPECT_FALSE(image.isNull()) << path.toStdString() << " does not decode (" << bytes.size() << " bytes)";
      EXPECT_EQ(image.size(), QSize(item.width, item.height)) << path.toStdString();
      checkedCaptures.insert(item.id);
      // What was seen saved stays saved, but for a capture whose save was cut
      // off, which may hold either version.
      const QByteArray digest = QCryptographicHash::hash(bytes, QCryptographicHash::Sha1);
      EXPECT_TRUE(editInFlight == item.id || !digests.count(item.id) || digest == digests[item.id])
          << "the picture of " << item.id.toStdString() << " is not the one saved";
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

  void capture(bool kill) {
    requestCapture("capture-to-clipboard", 30000);
    if (HasFatalFailure()) return;
    const QPoint from(random(20, 1400), random(20, 700));
    const QString before = newestId();
    drag(from, from + QPoint(random(160, 420), random(120, 300)));
    ++inFlight;
    if (kill) return killAfterUpTo(250);  // cropping, encoding and filing take about 0.1 s
    ASSERT_TRUE(filedNew(before, std::nullopt)) << "the capture was not filed\n" << log().toStdString();
    observe();
    inFlight = 0;
  }

  // A rectangle drawn on the newest capture in the editor, saved over it.
  void editInPlace(bool kill) {
    const auto target =
        std::find_if(known.begin(), known.end(), [](auto& i) { return i.mediaType == MediaType::image; });
    if (target == known.end()) return capture(kill);
    const QString id = target->id;
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
    // Across the middle of the picture, found on the screen by its pixels
    // (shown 1:1): a press outside it draws nothing.
    const QImage picture = QImage(originalOf(id)).convertToFormat(QImage::Format_RGB32);
    ASSERT_FALSE(picture.isNull());
    const QRect frame = windowRect(window);
    std::optional<QPoint> at;
    ASSERT_TRUE(waitFor([&] { return (at = locate(screenRegion(frame, env), picture)).has_value(); }, 15000))
        << "the capture is not in the editor";
    const QPoint centre = frame.topLeft() + *at + QPoint(picture.width() / 2, picture.height() / 2);
    const int rx = picture.width() / 4, ry = picture.height() / 4;
    drag(centre - QPoint(random(10, rx), random(10, ry)), centre + QPoint(random(10, rx), random(10, ry)));
    QTest::qWait(50);
    const QString saved = "Editor: saved over " + id;
    const int saves = int(log().count(saved));
    xdotool({"key", "--clearmodifiers", "ctrl+s"});
    editInFlight = id;
    if (kill) return killAfterUpTo(300);  // flattening, writing the picture and the index
    ASSERT_TRUE(waitFor([&] { return log().count(saved) > saves; }))
        << "the edit was not saved\n" << log().toStdString();
    const QByteArray digest = digestOf(originalOf(id));
    EXPECT_NE(digest, digests[id]) << "the saved picture has no rectangle on it";
    digests[id] = digest;
    observe();
    editInFlight.clear();
    // Closed, or the next edit would find the picture in its chrome. After a
    // save it at times ignores a close request: asked again, then minimized.
    int asked = 0;
    if (!waitFor([&] {
          if (visibleWindow("Nimbo — Edit").isEmpty()) return true;
          if (asked++ < 4) askWindowToClose(window);
          QTest::qWait(300);
          return false;
        }, 2000)) {
      xdotool({"windowminimize", "--sync", window});
      ASSERT_TRUE(waitFor([&] { return visibleWindow("Nimbo — Edit").isEmpty(); })) << "the editor stayed up";
    }
  }

  // "See all →" in the popover, "Clear all" in the history, "Clear" in its alert.
  void clearHistory(bool kill) {
    if (known.empty()) return capture(kill);
    const QRect popover = openPopoverFromTray(30000);
    ASSERT_FALSE(popover.isEmpty()) << log().toStdString();
    const QImage shot = screenRegion(popover, env);
    // The first accent line from the top at the right, below the header (the
    // logo, in accent too, sits left).
    const auto accent = boxOf(shot, kAccent, QRect(shot.width() / 2, 40, shot.width() / 2, shot.height() - 40));
    ASSERT_TRUE(accent) << "no \"See all\" in the popover";
    const auto link = boxOf(shot, kAccent, QRect(shot.width() / 2, accent->top(), shot.width() / 2, 20));
    const QString shown = QStringLiteral("Screenshot: history shown with %1 captures").arg(known.size());
    const int before = int(log().count(shown));
    clickAt(popover.topLeft() + link->center());
    ASSERT_TRUE(waitFor([&] { return log().count(shown) > before; })) << log().toStdString();
    QString settings;
    ASSERT_TRUE(waitFor([&] { return !(settings = visibleWindow("^Nimbo Settings$")).isEmpty(); }));
    xdotool({"windowactivate", "--sync", settings});
    QTest::qWait(300);
    const QRect window = windowRect(settings);
    const std::optional<QPoint> clear = clearAllButton(screenRegion(window, env));
    ASSERT_TRUE(clear) << "no \"Clear all\" in the history";
    clickAt(window.topLeft() + *clear);
    QString alert;
    ASSERT_TRUE(waitFor([&] { return !(alert = nimboDialog()).isEmpty(); })) << "no alert";
    xdotool({"windowactivate", "--sync", alert});
    xdotool({"key", "Return"});
    clearInFlight = true;
    if (kill) return killAfterUpTo(40);  // removing up to thirty records' files and writing the index
    ASSERT_TRUE(waitFor([&] { return QFile::exists(dataDir + "/history.json") && readHistory().empty(); }));
    observe();
    clearInFlight = false;
    xdotool({"windowactivate", "--sync", settings});
    xdotool({"key", "--clearmodifiers", "ctrl+w"});
    ASSERT_TRUE(waitFor([&] { return visibleWindow("^Nimbo Settings$").isEmpty(); }));
  }

  // The panel, Return, the three-second countdown, a screen recording stopped
  // after a second or two and filed, unless `cut` says when the kill comes.
  enum class Cut { never, inCountdown, whileRecording, whileFiling };
  void record(Cut cut) {
    const QString startedLine = "Nimbo: recording started: ";
    const int started = int(log().count(startedLine));
    ASSERT_EQ(cli({"record-to-file"}).exitCode, 0);
    QString panel;
    ASSERT_TRUE(waitFor([&] { return !(panel = visibleWindow("^New Recording$")).isEmpty(); })) << log().toStdString();
    xdotool({"windowactivate", "--sync", panel});
    xdotool({"key", "Return"});
    if (cut == Cut::inCountdown) {
      ASSERT_TRUE(waitFor([&] { return !visibleWindow("^Nimbo countdown$").isEmpty(); })) << log().toStdString();
      return killAfterUpTo(2990);
    }
    ASSERT_TRUE(waitFor([&] { return log().count(startedLine) > started; }, 10000)) << log().toStdString();
    if (cut == Cut::whileRecording) return killAfterUpTo(2500);  // in the first fragment as often as later
    QTest::qWait(random(1000, 2500));
    const QString before = newestId();
    ASSERT_EQ(cli({"record-to-file"}).exitCode, 0);  // the same command stops it
    ++inFlight;
    if (cut == Cut::whileFiling) return killAfterUpTo(400);  // the end of the file, its poster and its record
    ASSERT_TRUE(filedNew(before, MediaType::video, 20000)) << "the recording was not filed\n" << log().toStdString();
    observe();
    inFlight = 0;
    QTest::qWait(200);  // its toast leaves before the next capture's overlay
  }

  using Steps = std::vector<std::pair<int, std::function<void()>>>;  // weight, step
  void doOneOf(const Steps& steps) {
    std::vector<int> weights;
    for (const auto& step : steps) weights.push_back(step.first);
    steps[std::discrete_distribution<size_t>(weights.begin(), weights.end())(rng)].second();
  }

  std::mt19937_64 rng;
  std::vector<CaptureItem> known;         // what was seen filed, newest first
  std::map<QString, QByteArray> digests;  // each picture's digest when seen saved
  int inFlight = 0;                       // records the interrupted action may have filed
  bool clearInFlight = false;
  QString editInFlight;  // the capture whose in-place save was cut off
  std::set<QString> played, checkedCaptures;
  int kills = 0, starts = 0, recordingsChecked = 0;
};

TEST_F(CrashSoak, TwoHundredKillsLoseNothingFiledAndLeavePlayableRecordings) {
  const quint64 seed = qEnvironmentVariableIsSet("NIMBO_SOAK_SEED") ? qEnvironmentVariable("NIMBO_SOAK_SEED").toULongLong()
                                                                   : std::random_device{}();
  const int target = qEnvironmentVariableIsSet("NIMBO_SOAK_KILLS") ? qEnvironmentVariableIntValue("NIMBO_SOAK_KILLS") : 200;
  std::printf("crash soak: NIMBO_SOAK_SEED=%llu, %d kills\n", (unsigned long long)seed, target);
  std::fflush(stdout);
  rng.seed(seed);
  // Finished work between kills, of the cheap kinds mostly.
  const Steps finished = {{62, [&] { capture(false); }}, {28, [&] { editInPlace(false); }},
                          {5, [&] { clearHistory(false); }}, {5, [&] { record(Cut::never); }}};
  // What the kill cuts off; an edit or a clear with nothing to work on captures instead.
  const Steps cutOff = {{52, [&] { capture(true); }}, {22, [&] { editInPlace(true); }},
                        {6, [&] { clearHistory(true); }}, {2, [&] { record(Cut::inCountdown); }},
                        {3, [&] { record(Cut::whileRecording); }}, {2, [&] { record(Cut::whileFiling); }},
                        {13, [&] { killAfterUpTo(300); }}};  // idle

  launch();
  waitUntilReady();
  verifyAfterRestart();
  ASSERT_FALSE(HasFailure());
  while (kills < target) {
    for (int n = random(0, 2); n > 0 && !HasFatalFailure(); --n) doOneOf(finished);
    ASSERT_FALSE(HasFatalFailure()) << "seed " << seed << ", kill " << kills;
    doOneOf(cutOff);
    ASSERT_FALSE(HasFatalFailure()) << "seed " << seed << ", kill " << kills;
    if (running()) killApp();  // an action that fell back to a finished one
    // Sometimes the start that follows is cut off too, reading the history.
    while (kills < target && std::bernoulli_distribution(0.08)(rng)) {
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
  QTest::qWait(300);
  EXPECT_TRUE(running()) << "the app ended after the last check\n" << log().toStdString();
  std::printf("crash soak: %d kills, %d starts, %d captures and %d recordings checked\n", kills, starts,
              int(checkedCaptures.size()), recordingsChecked);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
