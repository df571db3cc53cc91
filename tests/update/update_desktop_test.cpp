// Updating a user-local install in the virtual desktop. Version N is
// installed with `nimbo install-local` and runs from ~/.local/bin; a feed on
// loopback offers N+1 signed with the test key. The app downloads and checks
// it, posts "Nimbo N+1 is ready" on the notification server and shows the
// popover's banner; a click on the banner restarts into N+1 with the history
// and the settings as they were. Bad offers (a tampered archive, an old
// archive under a new number) are refused with their reason in the log and
// change nothing.
#include <gtest/gtest.h>

#include <QColor>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>

#include <signal.h>

#include <memory>

#include "capture/capture_item.h"
#include "integration/desktop_support.h"
#include "loopback_files.h"

namespace {

using namespace nimbo::desktoptest;

const QString kCurrent = QStringLiteral(NIMBO_CURRENT_VERSION);
const QString kNext = QStringLiteral(NIMBO_NEXT_VERSION);

QByteArray readFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class UpdateDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (qEnvironmentVariable("NIMBO_WITH_TRAY") != QLatin1String("1")) GTEST_SKIP() << "needs the tray host";
    ASSERT_TRUE(home.isValid());
    env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    env.insert("XDG_DATA_HOME", home.filePath(".local/share"));
    env.insert("XDG_CONFIG_HOME", home.filePath(".config"));
    env.insert("TMPDIR", home.filePath("tmp"));
    QDir().mkpath(home.filePath("tmp"));
    root = home.filePath(".local/share/nimbo");
    data = home.filePath(".local/share/com.vantori.screenshot");
    settingsFile = home.filePath(".config/com.vantori.screenshot/settings.ini");

    // Both versions laid out as their release archives are.
    currentTree = stage(NIMBO_UPDATE_TEST_CURRENT, kCurrent);
    nextTree = stage(NIMBO_UPDATE_TEST_NEXT, kNext);
    const ProcResult installed = run(currentTree + "/bin/nimbo", {"install-local"}, env);
    ASSERT_EQ(installed.exitCode, 0) << installed.out.toStdString() << installed.err.toStdString();
    ASSERT_TRUE(QFileInfo(home.filePath(".local/bin/nimbo")).isExecutable());
    nextArchive = archive(kNext);
    currentArchive = archive(kCurrent);

    QDir().mkpath(QFileInfo(settingsFile).path());
    QFile f(settingsFile);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[General]\nnimbo.welcomeAgreedAt=2026-01-01T00:00:00Z\nuploadEndpoint=\nsoundOnCapture=false\n"
            "updates.feedURL=" + server.url("/appcast.xml").toUtf8() + "\n");
    f.close();
    seedHistory();
  }
  void TearDown() override { stopApp(); }

  QString stage(const QString& buildDir, const QString& version) {
    const QString tree = home.filePath("stage/nimbo-" + version);
    QDir().mkpath(tree + "/bin");
    QDir().mkpath(tree + "/lib/nimbo");
    EXPECT_TRUE(QFile::copy(buildDir + "/bin/nimbo", tree + "/bin/nimbo"));
    EXPECT_TRUE(QFile::copy(buildDir + "/lib/nimbo/libnimbo_app.so", tree + "/lib/nimbo/libnimbo_app.so"));
    EXPECT_TRUE(QFile::copy(NIMBO_SHARE_SERVER, tree + "/bin/nimbo-share-server"));
    return tree;
  }
  QString archive(const QString& version) {
    const QString out = home.filePath("www/nimbo-" + version + ".tar.xz");
    QDir().mkpath(home.filePath("www"));
    // Light compression: the test's archives need not be small, only quick.
    QProcessEnvironment quick = QProcessEnvironment::systemEnvironment();
    quick.insert("XZ_OPT", "-0");
    EXPECT_EQ(run("tar", {"-cJf", out, "-C", home.filePath("stage"), "nimbo-" + version}, quick).exitCode, 0);
    return out;
  }
  // The feed entry for `archive`, signed with `key`, served at /release.tar.xz.
  QByteArray signedFeed(const QString& archivePath, const QString& key) {
    const ProcResult r = run(NIMBO_SIGN_UPDATE, {"feed", key, archivePath, server.url("/release.tar.xz")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    return r.out;
  }
  void offer(const QByteArray& feed, const QByteArray& served) {
    server.put("/appcast.xml", feed);
    server.put("/release.tar.xz", served);
  }

  // Two captures of plain colours the popover shows as tiles.
  void seedHistory() {
    QDir().mkpath(data + "/originals");
    QDir().mkpath(data + "/thumbnails");
    std::vector<nimbo::CaptureItem> items;
    for (const QColor& c : {QColor(255, 0, 255), QColor(0, 255, 255)}) {
      nimbo::CaptureItem item = nimbo::CaptureItem::newImage(400, 250);
      QImage img(400, 250, QImage::Format_RGB32);
      img.fill(c);
      EXPECT_TRUE(img.save(data + "/originals/" + item.id + ".png"));
      EXPECT_TRUE(img.scaled(320, 200).save(data + "/thumbnails/" + item.id + ".png"));
      items.push_back(item);
    }
    QFile index(data + "/history.json");
    ASSERT_TRUE(index.open(QIODevice::WriteOnly));
    index.write(nimbo::encodeHistory(items));
  }

  // Starts ~/.local/bin/nimbo; its output (and that of whatever it restarts
  // into, which inherits it) goes to one log file.
  void startApp() {
    app = std::make_unique<QProcess>();
    app->setProcessEnvironment(env);
    app->setStandardOutputFile(logPath(), QIODevice::Append);
    app->setProcessChannelMode(QProcess::MergedChannels);
    app->start(home.filePath(".local/bin/nimbo"), {});
    ASSERT_TRUE(app->waitForStarted());
    ASSERT_TRUE(waitFor([&] { return log().contains("Nimbo: tray icon shown"); }, 20000)) << log().toStdString();
  }
  void stopApp() {
    if (!app) return;
    app->terminate();
    if (!app->waitForFinished(5000)) app->kill(), app->waitForFinished();
    app.reset();
  }
  QString logPath() const { return home.filePath("nimbo.log"); }
  QString log() const { return QString::fromUtf8(readFile(logPath())); }

  QStringList versionsOnDisk() const {
    return QDir(root + "/versions").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
  }
  QString current() const { return QFileInfo(root + "/current").symLinkTarget(); }

  // Any of our processes running the program of `version`.
  std::optional<qint64> runningVersion(const QString& version) const {
    const QString program = QFileInfo(root + "/versions/" + version + "/bin/nimbo").canonicalFilePath();
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
      bool number = false;
      const qint64 id = pid.toLongLong(&number);
      if (number && QFileInfo("/proc/" + pid + "/exe").symLinkTarget() == program) return id;
    }
    return std::nullopt;
  }

  static bool near(QRgb p, QColor c, int tolerance = 8) {
    return std::abs(qRed(p) - c.red()) <= tolerance && std::abs(qGreen(p) - c.green()) <= tolerance &&
           std::abs(qBlue(p) - c.blue()) <= tolerance;
  }
  static bool shows(const QImage& img, QColor c) {
    for (int y = 0; y < img.height(); y += 2)
      for (int x = 0; x < img.width(); x += 2)
        if (near(img.pixel(x, y), c, 2)) return true;
    return false;
  }

  QTemporaryDir home;
  QProcessEnvironment env;
  QString root, data, settingsFile, currentTree, nextTree, nextArchive, currentArchive;
  nimbo::test::LoopbackFiles server;
  std::unique_ptr<QProcess> app;
};

TEST_F(UpdateDesktop, BadOffersAreRefusedAndAGoodOneRestartsIntoTheNewVersion) {
  const QString key = NIMBO_UPDATE_TEST_KEY;
  const QByteArray next = readFile(nextArchive);
  QByteArray tampered = next;
  tampered[tampered.size() / 2] = char(tampered[tampered.size() / 2] ^ 0x10);
  // The current archive signed and announced as the next version: a replay.
  QByteArray replayed = signedFeed(currentArchive, key);
  replayed.replace("<nimbo:version>" NIMBO_CURRENT_BUILD "<", "<nimbo:version>" NIMBO_NEXT_BUILD "<");
  replayed.replace("<nimbo:shortVersionString>" NIMBO_CURRENT_VERSION "<",
                   "<nimbo:shortVersionString>" NIMBO_NEXT_VERSION "<");
  // Two refusals with the real signing tool's feeds and archives; the
  // updater's unit tests go through every other.
  struct Bad {
    const char* name;
    QByteArray feed, served;
    const char* logged;
  } bad[] = {
      {"tampered archive", signedFeed(nextArchive, key), tampered, "the signature does not match the archive"},
      {"replayed archive", replayed, readFile(currentArchive), "not the version announced"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.name);
    offer(b.feed, b.served);
    QFile::remove(logPath());
    startApp();
    EXPECT_TRUE(waitFor([&] { return log().contains(b.logged); }, 30000)) << log().toStdString();
    stopApp();
    EXPECT_FALSE(log().contains("is ready to install")) << log().toStdString();
    EXPECT_EQ(versionsOnDisk(), QStringList({kCurrent}));
    EXPECT_EQ(current(), root + "/versions/" + kCurrent);
  }
  auto historyIds = [&] {
    QStringList ids;
    if (const auto items = nimbo::decodeHistory(readFile(data + "/history.json")))
      for (const nimbo::CaptureItem& item : *items) ids << item.id;
    return ids;
  };
  const QStringList historyBefore = historyIds();
  ASSERT_EQ(historyBefore.size(), 2);

  // The real thing.
  const int notifiedBefore = run("dunstctl", {"count", "history"}).out.trimmed().toInt() +
                             run("dunstctl", {"count", "displayed"}).out.trimmed().toInt();
  offer(signedFeed(nextArchive, key), next);
  QFile::remove(logPath());
  QProcess monitor;  // what reaches the notification server
  monitor.setProcessEnvironment(env);
  monitor.start("dbus-monitor", {"interface='org.freedesktop.Notifications',member='Notify'"});
  ASSERT_TRUE(monitor.waitForStarted());
  startApp();
  ASSERT_TRUE(waitFor([&] { return log().contains("Updates: Nimbo " + kNext + " is ready to install on quit"); }, 60000))
      << log().toStdString();
  EXPECT_EQ(versionsOnDisk(), QStringList({kCurrent, kNext}));
  QByteArray notified;
  EXPECT_TRUE(waitFor([&] {
    notified += monitor.readAllStandardOutput();
    return notified.contains(("Nimbo " + kNext + " is ready").toUtf8()) &&
           notified.contains("Click to restart and update.");
  })) << notified.toStdString();
  monitor.kill();
  monitor.waitForFinished();
  EXPECT_TRUE(waitFor([&] {
    return run("dunstctl", {"count", "displayed"}).out.trimmed().toInt() +
               run("dunstctl", {"count", "history"}).out.trimmed().toInt() >
           notifiedBefore;
  })) << "dunst shows no notification";
  ASSERT_TRUE(runningVersion(kCurrent).has_value());

  // The banner: the accent-tinted band under the header.
  const QRect popover = openPopoverFromTray();
  ASSERT_FALSE(popover.isEmpty()) << log().toStdString();
  const QImage shot = screenRegion(popover, env);
  const QColor bannerFill(57, 65, 45);  // accent at 12 % over the popover's background
  std::optional<int> bannerRow;
  for (int y = 0; y < shot.height() && !bannerRow; ++y)
    if (near(shot.pixel(shot.width() / 2, y), bannerFill, 6) && near(shot.pixel(shot.width() / 3, y), bannerFill, 6))
      bannerRow = y;
  ASSERT_TRUE(bannerRow) << "no update banner in the popover";
  EXPECT_TRUE(shows(shot, QColor(255, 0, 255)) && shows(shot, QColor(0, 255, 255))) << "the history is not shown";
  clickAt(popover.topLeft() + QPoint(popover.width() / 2, *bannerRow + 12));

  // The old process goes, the new version comes up in its place.
  ASSERT_TRUE(waitFor([&] { return app->state() == QProcess::NotRunning; }, 15000)) << log().toStdString();
  std::optional<qint64> restarted;
  ASSERT_TRUE(waitFor([&] { return (restarted = runningVersion(kNext)).has_value(); }, 20000)) << log().toStdString();
  EXPECT_EQ(current(), root + "/versions/" + kNext);
  EXPECT_TRUE(waitFor([&] { return log().count("Nimbo: tray icon shown") == 2; }, 20000)) << log().toStdString();
  // It is the running instance: a second start only brings it forward.
  EXPECT_EQ(run(home.filePath(".local/bin/nimbo"), {}, env).exitCode, 0);
  EXPECT_EQ(runningVersion(kCurrent), std::nullopt);
  const ProcResult version = run(home.filePath(".local/bin/nimbo"), {"--version"}, env);
  EXPECT_EQ(version.out.trimmed(), "nimbo " + kNext.toUtf8() + " (build " NIMBO_NEXT_BUILD ")");

  // History and settings as they were, and the new version shows the captures.
  EXPECT_EQ(historyIds(), historyBefore);
  const QByteArray settingsAfter = readFile(settingsFile);
  EXPECT_TRUE(settingsAfter.contains("soundOnCapture=false")) << settingsAfter.toStdString();
  EXPECT_TRUE(settingsAfter.contains("updates.feedURL=")) << settingsAfter.toStdString();
  const QRect again = openPopoverFromTray();
  ASSERT_FALSE(again.isEmpty()) << log().toStdString();
  const QImage after = screenRegion(again, env);
  EXPECT_TRUE(shows(after, QColor(255, 0, 255)) && shows(after, QColor(0, 255, 255)));
  ::kill(pid_t(*restarted), SIGTERM);
  EXPECT_TRUE(waitFor([&] { return !runningVersion(kNext).has_value(); }, 10000));
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
