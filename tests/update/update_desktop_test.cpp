// Updating a user-local install of version N in the virtual desktop from a loopback feed: N+1, signed by the
// release tool, is announced, and a click on the popover's banner restarts into it, history kept.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <signal.h>

#include "integration/desktop_support.h"
#include "loopback_files.h"

namespace {

using namespace nimbo::desktoptest;

const QString kCurrent = QStringLiteral(NIMBO_CURRENT_VERSION), kNext = QStringLiteral(NIMBO_NEXT_VERSION);
// Both versions' trees as their release archives lay them out, and those archives (made by the build).
const QString kStage = QStringLiteral(NIMBO_UPDATE_TEST_STAGE);
QString archive(const QString& version) { return kStage + "/nimbo-" + version + ".tar.xz"; }
const QColor kTiles[] = {QColor(255, 0, 255), QColor(0, 255, 255)};

QByteArray readFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool near(QRgb p, QColor c, int tolerance) {
  return std::abs(qRed(p) - c.red()) <= tolerance && std::abs(qGreen(p) - c.green()) <= tolerance &&
         std::abs(qBlue(p) - c.blue()) <= tolerance;
}

// Both captures' colours show in `img`.
bool showsHistory(const QImage& img) { return boxOf(img, kTiles[0], img.rect()) && boxOf(img, kTiles[1], img.rect()); }

class UpdateDesktop : public AppTest {
 protected:
  void SetUp() override {
    if (qEnvironmentVariable("NIMBO_WITH_TRAY") != QLatin1String("1")) GTEST_SKIP() << "needs the tray host";
    env = privateAppEnvironment(home, "soundOnCapture=false\nupdates.feedURL=" + server.url("/appcast.xml").toUtf8());
    env.insert("HOME", home.path());
    root = home.filePath("data/nimbo");
    const ProcResult installed = run(kStage + "/nimbo-" + kCurrent + "/bin/nimbo", {"install-local"}, env);
    ASSERT_EQ(installed.exitCode, 0) << installed.out.toStdString() << installed.err.toStdString();

    // Two captures of plain colours, shown as tiles in the popover.
    QDir().mkpath(dataDir + "/originals");
    QDir().mkpath(dataDir + "/thumbnails");
    std::vector<nimbo::CaptureItem> items;
    for (const QColor& c : kTiles) {
      items.push_back(nimbo::CaptureItem::newImage(400, 250));
      QImage img(400, 250, QImage::Format_RGB32);
      img.fill(c);
      EXPECT_TRUE(img.save(dataDir + "/originals/" + items.back().id + ".png"));
      EXPECT_TRUE(img.scaled(320, 200).save(dataDir + "/thumbnails/" + items.back().id + ".png"));
    }
    QFile index(dataDir + "/history.json");
    ASSERT_TRUE(index.open(QIODevice::WriteOnly));
    index.write(nimbo::encodeHistory(items));
  }

  // The feed entry for `version`'s archive, signed with the test key by the release tool, served at /release.tar.xz.
  QByteArray signedFeed(const QString& version) {
    const ProcResult r =
        run(NIMBO_SIGN_UPDATE, {"feed", NIMBO_UPDATE_TEST_KEY, archive(version), server.url("/release.tar.xz")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    return r.out;
  }
  void offer(const QByteArray& feed, const QByteArray& served) {
    server.put("/appcast.xml", feed);
    server.put("/release.tar.xz", served);
  }

  // Starts ~/.local/bin/nimbo; its output and that of what it restarts into (which inherits it) go to one file.
  void startApp() {
    QFile::remove(logPath());
    app = std::make_unique<QProcess>();
    app->setProcessEnvironment(env);
    app->setStandardOutputFile(logPath(), QIODevice::Append);
    app->setProcessChannelMode(QProcess::MergedChannels);
    app->start(home.filePath(".local/bin/nimbo"), {});
    ASSERT_TRUE(app->waitForStarted());
    ASSERT_TRUE(waitFor([&] { return log().contains("Nimbo: tray icon shown"); }, 20000)) << log().toStdString();
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

  QString root;
  nimbo::test::LoopbackFiles server;
};

TEST_F(UpdateDesktop, ASignedReleaseIsAnnouncedAndRestartsIntoTheNewVersion) {
  const std::vector<nimbo::CaptureItem> historyBefore = history();
  ASSERT_EQ(historyBefore.size(), 2u);

  // Downloaded, then announced on the notification server (dunst).
  auto notifications = [] {
    return run("dunstctl", {"count", "history"}).out.trimmed().toInt() +
           run("dunstctl", {"count", "displayed"}).out.trimmed().toInt();
  };
  const int notifiedBefore = notifications();
  offer(signedFeed(kNext), readFile(archive(kNext)));
  startApp();
  const QString ready = "Updates: Nimbo " + kNext + " is ready to install on quit";
  ASSERT_TRUE(waitFor([&] { return log().contains(ready); }, 60000)) << log().toStdString();
  EXPECT_EQ(versionsOnDisk(), QStringList({kCurrent, kNext}));
  EXPECT_TRUE(waitFor([&] { return notifications() > notifiedBefore; })) << "dunst shows no notification";
  ASSERT_TRUE(runningVersion(kCurrent).has_value());

  // The banner, the accent-tinted band under the popover's header (accent at 12 % over its background).
  const QRect popover = openPopoverFromTray();
  ASSERT_FALSE(popover.isEmpty()) << log().toStdString();
  const QImage shot = screenRegion(popover, env);
  const QColor bannerFill(57, 65, 45);
  std::optional<int> bannerRow;
  for (int y = 0; y < shot.height() && !bannerRow; ++y)
    if (near(shot.pixel(shot.width() / 2, y), bannerFill, 6) && near(shot.pixel(shot.width() / 3, y), bannerFill, 6))
      bannerRow = y;
  ASSERT_TRUE(bannerRow) << "no update banner in the popover";
  clickAt(popover.topLeft() + QPoint(popover.width() / 2, *bannerRow + 12));

  // The old process goes and N+1 takes its place as the running instance (a second start only brings it forward).
  ASSERT_TRUE(waitFor([&] { return app->state() == QProcess::NotRunning; }, 15000)) << log().toStdString();
  std::optional<qint64> restarted;
  ASSERT_TRUE(waitFor([&] { return (restarted = runningVersion(kNext)).has_value(); }, 20000)) << log().toStdString();
  EXPECT_TRUE(waitFor([&] { return log().count("Nimbo: tray icon shown") == 2; }, 20000)) << log().toStdString();
  EXPECT_EQ(run(home.filePath(".local/bin/nimbo"), {}, env).exitCode, 0);
  EXPECT_EQ(runningVersion(kCurrent), std::nullopt);
  const ProcResult version = run(home.filePath(".local/bin/nimbo"), {"--version"}, env);
  EXPECT_EQ(version.out.trimmed(), "nimbo " + kNext.toUtf8() + " (build " NIMBO_NEXT_BUILD ")");

  // History and settings as they were, and N+1 shows the captures.
  EXPECT_EQ(history(), historyBefore);
  EXPECT_TRUE(settingsText().contains("soundOnCapture=false")) << settingsText().toStdString();
  EXPECT_TRUE(settingsText().contains("updates.feedURL=")) << settingsText().toStdString();
  const QRect again = openPopoverFromTray();
  ASSERT_FALSE(again.isEmpty()) << log().toStdString();
  EXPECT_TRUE(showsHistory(screenRegion(again, env))) << "N+1 does not show the history";
  ::kill(pid_t(*restarted), SIGTERM);
  EXPECT_TRUE(waitFor([&] { return !runningVersion(kNext).has_value(); }, 10000));
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
