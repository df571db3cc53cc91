// The update feed, signatures, the updater's download-verify-unpack path
// against a loopback feed, the controller's notifications and the Updates
// pane's rules.
#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>

#include <openssl/evp.h>

#include <memory>

#include "shell/popover.h"
#include "shell/settings_panes.h"
#include "sharing/update_controller.h"
#include "sharing/update_feed.h"
#include "sharing/update_signature.h"
#include "loopback_files.h"
#include "support.h"

namespace nimbo {
namespace {

// An Ed25519 key pair made for the test.
struct TestKey {
  TestKey() {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_keygen(ctx, &key);
    EVP_PKEY_CTX_free(ctx);
  }
  ~TestKey() { EVP_PKEY_free(key); }
  QByteArray publicKey() const {
    QByteArray raw(32, '\0');
    size_t len = 32;
    EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(raw.data()), &len);
    return raw;
  }
  QByteArray sign(const QByteArray& message) const {
    QByteArray sig(64, '\0');
    size_t len = 64;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key);
    EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &len,
                   reinterpret_cast<const unsigned char*>(message.data()), size_t(message.size()));
    EVP_MD_CTX_free(ctx);
    return sig;
  }
  EVP_PKEY* key = nullptr;
};

QByteArray feedItem(const QString& version, const QString& display, const QString& url, qint64 length,
                    const QByteArray& signature) {
  return QStringLiteral(
             "<item><title>Nimbo %2</title><nimbo:version>%1</nimbo:version>"
             "<nimbo:shortVersionString>%2</nimbo:shortVersionString>"
             "<enclosure url=\"%3\" length=\"%4\" type=\"application/x-xz\" nimbo:edSignature=\"%5\"/></item>")
      .arg(version, display, url)
      .arg(length)
      .arg(QString::fromLatin1(signature.toBase64()))
      .toUtf8();
}

QByteArray feed(const QByteArray& items) {
  return "<?xml version=\"1.0\"?><rss version=\"2.0\" xmlns:nimbo=\"https://nimbo.vantori.com/xml/appcast\">"
         "<channel><title>Nimbo</title>" +
         items + "</channel></rss>";
}

TEST(UpdateFeedTest, ReadsCompleteItemsAndSkipsBrokenOnes) {
  const QByteArray sig(64, 'x');
  const QByteArray attributeStyle =
      "<item><enclosure url=\"https://example.org/b.tar.xz\" length=\"20\" nimbo:version=\"3\" "
      "nimbo:shortVersionString=\"0.3.0\" nimbo:edSignature=\"" +
      sig.toBase64() + "\"/></item>";
  const QByteArray xml = feed(feedItem("2", "0.2.0", "https://example.org/a.tar.xz", 10, sig) + attributeStyle +
                              feedItem("4", "0.4.0", "https://example.org/c.tar.xz", 0, sig) +         // no length
                              feedItem("5", "0.5.0", "https://example.org/d.tar.xz", 9, "short") +    // bad signature
                              feedItem("6", "../../bin", "https://example.org/e.tar.xz", 9, sig) +   // a path
                              feedItem("7", "0.7.0", "not a url", 9, sig));
  const Result<std::vector<UpdateItem>> items = UpdateFeed::parse(xml);
  ASSERT_TRUE(items.ok()) << items.error().description.toStdString();
  ASSERT_EQ(items.value().size(), 2u);
  EXPECT_EQ(items.value()[0].version, "2");
  EXPECT_EQ(items.value()[0].displayVersion, "0.2.0");
  EXPECT_EQ(items.value()[0].url, QUrl("https://example.org/a.tar.xz"));
  EXPECT_EQ(items.value()[0].length, 10);
  EXPECT_EQ(items.value()[0].signature, sig);
  EXPECT_EQ(items.value()[1].displayVersion, "0.3.0");

  EXPECT_FALSE(UpdateFeed::parse("<html><body>404</body></html>").ok());
  EXPECT_FALSE(UpdateFeed::parse("<rss><channel><item>").ok());
  // Entity expansion is refused before it starts.
  EXPECT_FALSE(UpdateFeed::parse("<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaa\">]><rss>&a;</rss>").ok());
  EXPECT_FALSE(UpdateFeed::parse(QByteArray(UpdateFeed::kMaxFeedBytes + 1, ' ')).ok());
}

TEST(UpdateFeedTest, VersionsCompareByNumberAndOnlyNewerOnesCount) {
  EXPECT_GT(UpdateFeed::compareVersions("1.10", "1.9"), 0);
  EXPECT_EQ(UpdateFeed::compareVersions("1.0", "1"), 0);
  EXPECT_LT(UpdateFeed::compareVersions("2", "10"), 0);
  EXPECT_GT(UpdateFeed::compareVersions("1.0b", "1.0a"), 0);
  std::vector<UpdateItem> items;
  for (const char* version : {"3", "12", "1"}) items.push_back({version});
  EXPECT_EQ(UpdateFeed::newest(items, "2")->version, "12");
  EXPECT_FALSE(UpdateFeed::newest(items, "12").has_value());

  EXPECT_TRUE(UpdateFeed::transportAllowed(QUrl("https://example.org/feed.xml")));
  EXPECT_TRUE(UpdateFeed::transportAllowed(QUrl("http://127.0.0.1:9000/feed.xml")));
  EXPECT_TRUE(UpdateFeed::transportAllowed(QUrl("http://[::1]:9000/feed.xml")));
  EXPECT_FALSE(UpdateFeed::transportAllowed(QUrl("http://example.org/feed.xml")));
  EXPECT_FALSE(UpdateFeed::transportAllowed(QUrl("http://127.0.0.1.example.org/feed.xml")));
  EXPECT_FALSE(UpdateFeed::transportAllowed(QUrl("file:///tmp/feed.xml")));
}

TEST(UpdateSignatureTest, OnlyTheRightKeyAndTheExactBytesVerify) {
  TestKey key, other;
  const QByteArray message = "an archive";
  const QByteArray sig = key.sign(message);
  EXPECT_TRUE(UpdateSignature::verify(message, key.publicKey(), sig).ok());
  EXPECT_FALSE(UpdateSignature::verify("an archivE", key.publicKey(), sig).ok());
  EXPECT_FALSE(UpdateSignature::verify(message, other.publicKey(), sig).ok());
  EXPECT_FALSE(UpdateSignature::verify(message, QByteArray(), sig).ok());
  QByteArray flipped = sig;
  flipped[10] = char(flipped[10] ^ 1);
  EXPECT_FALSE(UpdateSignature::verify(message, key.publicKey(), flipped).ok());
}


// A user-local install of 0.1.0 (build 1) under the test's data folder, and
// release archives whose program says which version it is.
class UpdaterTest : public test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    root = Updater::installRoot();
    QDir(root).removeRecursively();
    running = makeTree(root + "/versions/0.1.0", "0.1.0", "1");
    QFile::link("versions/0.1.0", root + "/current");
    config.version = "0.1.0";
    config.build = "1";
    config.publicKey = key.publicKey();
    config.executable = running + "/bin/nimbo";
    config.feedURL = QUrl(server.url("/appcast.xml"));
  }
  QString makeTree(const QString& dir, const QString& version, const QString& build) {
    QDir().mkpath(dir + "/bin");
    QDir().mkpath(dir + "/lib/nimbo");
    QFile program(dir + "/bin/nimbo");
    EXPECT_TRUE(program.open(QIODevice::WriteOnly));
    program.write(QStringLiteral("#!/bin/sh\necho 'nimbo %1 (build %2)'\n").arg(version, build).toUtf8());
    program.close();
    program.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile lib(dir + "/lib/nimbo/libnimbo_app.so");
    EXPECT_TRUE(lib.open(QIODevice::WriteOnly));
    return dir;
  }
  // The release archive: one top folder holding bin/ and lib/.
  QByteArray archive(const QString& version, const QString& build) {
    QTemporaryDir work;
    makeTree(work.path() + "/nimbo-" + version, version, build);
    const QString out = work.path() + "/a.tar.xz";
    QProcess tar;
    tar.start("tar", {"-cJf", out, "-C", work.path(), "nimbo-" + version});
    EXPECT_TRUE(tar.waitForFinished(30000));
    QFile f(out);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
  }
  void offer(const QString& version, const QString& display, const QByteArray& served, qint64 announcedLength,
             const QByteArray& signature) {
    server.put("/nimbo.tar.xz", served);
    server.put("/appcast.xml", feed(feedItem(version, display, server.url("/nimbo.tar.xz"), announcedLength, signature)));
  }
  // Runs one check the user asked for; returns the ready version, if any.
  std::optional<QString> check(Updater& updater, QString* message = nullptr) {
    std::optional<QString> ready;
    bool done = false;
    QObject::connect(&updater, &Updater::readyToInstallOnQuit, &updater, [&](const QString& v, std::function<void()>) {
      ready = v;
      done = true;
    });
    QObject::connect(&updater, &Updater::checkDone, &updater, [&](const QString& m) {
      if (message) *message = m;
      done = true;
    });
    updater.checkForUpdates(true);
    EXPECT_TRUE(test::waitUntil([&] { return done; }, 20000));
    QObject::disconnect(&updater, nullptr, &updater, nullptr);
    return ready;
  }
  QStringList versionsOnDisk() const {
    return QDir(root + "/versions").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
  }
  QString current() const { return QFileInfo(root + "/current").symLinkTarget(); }

  TestKey key;
  test::LoopbackFiles server;
  UpdaterConfig config;
  QString root, running;
};

TEST_F(UpdaterTest, ASignedNewerReleaseIsUnpackedBesideTheRunningOneAndSwitchedTo) {
  Updater updater(config);
  EXPECT_EQ(updater.installKind(), InstallKind::userLocal);
  const QByteArray next = archive("0.2.0", "2");
  offer("2", "0.2.0", next, next.size(), key.sign(next));
  EXPECT_EQ(check(updater), "0.2.0");
  EXPECT_EQ(versionsOnDisk(), QStringList({"0.1.0", "0.2.0"}));  // nothing half-done beside them
  EXPECT_TRUE(current().endsWith("/versions/0.1.0"));             // switched only when asked
  ASSERT_TRUE(updater.switchTo("0.2.0").ok());
  EXPECT_EQ(QFileInfo(root + "/current").symLinkTarget(), QFileInfo(root + "/versions/0.2.0").absoluteFilePath());
  EXPECT_TRUE(updater.lastUpdateCheckDate().has_value());
}

TEST_F(UpdaterTest, EveryBadReleaseIsRefusedWithItsReasonAndChangesNothing) {
  Updater updater(config);
  const QByteArray next = archive("0.2.0", "2");
  QByteArray tampered = next;
  tampered[tampered.size() / 2] = char(tampered[tampered.size() / 2] ^ 0x20);
  TestKey stranger;
  const QByteArray older = archive("0.0.9", "0");
  struct Case {
    const char* name;
    QString version, display;
    QByteArray served;
    qint64 length;
    QByteArray signature;
    const char* reason;  // in the log and the message; empty: not offered at all
  } cases[] = {
      {"tampered", "2", "0.2.0", tampered, next.size(), key.sign(next), "signature does not match"},
      {"wrong key", "2", "0.2.0", next, next.size(), stranger.sign(next), "signature does not match"},
      {"shorter", "2", "0.2.0", next.left(next.size() - 100), next.size(), key.sign(next), "not the"},
      {"longer", "2", "0.2.0", next + "more", next.size(), key.sign(next), "longer than announced"},
      // An old signed archive offered as a new version.
      {"replayed", "2", "0.2.0", older, older.size(), key.sign(older), "not the version announced"},
      {"older", "0", "0.0.9", older, older.size(), key.sign(older), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    offer(c.version, c.display, c.served, c.length, c.signature);
    test::logged().clear();
    QString message;
    EXPECT_FALSE(check(updater, &message).has_value());
    if (*c.reason) {
      EXPECT_TRUE(message.contains(c.reason)) << message.toStdString();
      EXPECT_TRUE(test::logged().filter("refused Nimbo").filter(c.reason).size() == 1) << test::logged().join('\n').toStdString();
    } else {
      EXPECT_EQ(message, "Nimbo is up to date.");
    }
    EXPECT_EQ(versionsOnDisk(), QStringList({"0.1.0"}));
    EXPECT_TRUE(current().endsWith("/versions/0.1.0"));
  }
  // A good release afterwards still goes through.
  offer("2", "0.2.0", next, next.size(), key.sign(next));
  EXPECT_EQ(check(updater), "0.2.0");
}

TEST_F(UpdaterTest, PackagedCopiesOnlyReportAndLeftoversOfAnInterruptedUpdateGo) {
  UpdaterConfig packaged = config;
  packaged.executable = "/usr/bin/nimbo";
  Updater updater(packaged);
  EXPECT_EQ(updater.installKind(), InstallKind::systemPackage);
  const QByteArray next = archive("0.2.0", "2");
  offer("2", "0.2.0", next, next.size(), key.sign(next));
  QString message;
  EXPECT_FALSE(check(updater, &message).has_value());
  EXPECT_EQ(message, "Nimbo 0.2.0 is available from your system's package manager.");
  EXPECT_EQ(versionsOnDisk(), QStringList({"0.1.0"}));

  // What a killed download and unpack leave is cleared at the next start;
  // older versions beyond one to go back to go too.
  QDir().mkpath(root + "/versions/.unpack-0.2.0-4242/bin");
  QFile(root + "/versions/.download-0.2.0.part").open(QIODevice::WriteOnly);
  makeTree(root + "/versions/0.0.8", "0.0.8", "0");
  makeTree(root + "/versions/0.0.9", "0.0.9", "0");
  Updater local(config);
  local.start();
  EXPECT_EQ(versionsOnDisk(), QStringList({"0.0.9", "0.1.0"}));
}

TEST_F(UpdaterTest, LoginStartsWhateverVersionIsCurrent) {
  // One version's own copy goes two updates later; the link stays.
  EXPECT_EQ(Updater::lastingProgramPath(running + "/bin/nimbo"), root + "/current/bin/nimbo");
  EXPECT_EQ(Updater::lastingProgramPath("/usr/bin/nimbo"), "/usr/bin/nimbo");
  EXPECT_EQ(Updater::lastingProgramPath(root + "/versionsX/bin/nimbo"), root + "/versionsX/bin/nimbo");
}

class UpdateControllerTest : public test::PlatformTest {
 protected:
  UpdateController& controller() { return UpdateController::resetForTesting(); }
};

TEST_F(UpdateControllerTest, OneNotificationPerVersionAndOnlyOursRestarts) {
  UpdateController& c = controller();
  int firstCalls = 0, secondCalls = 0;
  c.updateReady("0.2.0", [&] { ++firstCalls; });
  ASSERT_EQ(fakes.notifications->posted.size(), 1u);
  EXPECT_EQ(fakes.notifications->posted[0].identifier, "nimbo-update-ready");

  // The same version again: the newer callback is kept, nothing is posted.
  c.updateReady("0.2.0", [&] { ++secondCalls; });
  EXPECT_EQ(fakes.notifications->posted.size(), 1u);
  fakes.notifications->click("nimbo-update-check");
  fakes.notifications->click("someone-else");
  QCoreApplication::processEvents();
  EXPECT_EQ(firstCalls + secondCalls, 0);
  fakes.notifications->click("nimbo-update-ready");
  EXPECT_TRUE(test::waitUntil([&] { return secondCalls == 1; }));
  EXPECT_EQ(firstCalls, 0);

  // A newer version replaces the remembered one, under the same identifier.
  c.updateReady("0.3.0", [] {});
  EXPECT_EQ(c.readyVersion(), "0.3.0");
  ASSERT_EQ(fakes.notifications->posted.size(), 2u);
  EXPECT_EQ(fakes.notifications->posted[1].identifier, "nimbo-update-ready");
  EXPECT_EQ(fakes.notifications->posted[1].title, "Nimbo 0.3.0 is ready");
}

TEST_F(UpdateControllerTest, WithNotificationsRefusedThePopoverBannerStillRestarts) {
  fakes.notifications->granted = false;
  fakes.notifications->answerAtOnce = false;
  UpdateController& c = controller();
  std::unique_ptr<QWidget> popover(makePopoverContent(nullptr, {}));
  popover->show();
  auto* banner = popover->findChild<QAbstractButton*>("updateBanner");
  ASSERT_TRUE(banner);
  EXPECT_FALSE(banner->isVisible());
  int restarts = 0;
  c.updateReady("0.2.0", [&] { ++restarts; });
  for (auto& answer : fakes.notifications->pendingAnswers) answer(false);
  EXPECT_TRUE(fakes.notifications->posted.empty());
  EXPECT_TRUE(banner->isVisible());
  EXPECT_EQ(banner->text(), "Nimbo 0.2.0 is ready");
  banner->click();
  EXPECT_TRUE(test::waitUntil([&] { return restarts == 1; }));
}

TEST(UpdatesPaneRulesTest, IntervalsSnapAndLabelsReadAsWords) {
  EXPECT_EQ(snapUpdateInterval(12600), 3600);  // halfway keeps the shorter
  EXPECT_EQ(snapUpdateInterval(12601), 21600);
  EXPECT_EQ(snapUpdateInterval(50000), 21600);  // nearer 6 hours than a day
  EXPECT_EQ(snapUpdateInterval(0), 3600);

  // One unit in the singular, whole units rounded down, times to come.
  const QDateTime now = QDateTime::fromString("2026-12-07T12:00:00Z", Qt::ISODate);
  EXPECT_EQ(lastCheckLabel(now.addSecs(-1), now), "Last checked 1 second ago");
  EXPECT_EQ(lastCheckLabel(now.addSecs(-150), now), "Last checked 2 minutes ago");
  EXPECT_EQ(relativeDateDescription(now.addSecs(7200), now), "in 2 hours");
  EXPECT_EQ(versionLabel("", ""), "Nimbo ? (build ?)");
}

TEST_F(UpdateControllerTest, ThePaneSnapsAStoredIntervalAndWritesItBack) {
  controller();
  Preferences::setValue(Updater::kIntervalKey, 70000);
  Preferences::setValue(Updater::kAutomaticDownloadsKey, false);
  UpdatesPane pane;
  pane.show();
  QCoreApplication::processEvents();
  EXPECT_EQ(Preferences::store().value(Updater::kIntervalKey).toInt(), 86400);
  auto* frequency = pane.findChild<QComboBox*>("checkFrequency");
  EXPECT_EQ(frequency->currentText(), "Daily");
  EXPECT_FALSE(pane.findChild<QAbstractButton*>("autoInstall")->isChecked());
  pane.findChild<QAbstractButton*>("autoInstall")->click();
  EXPECT_TRUE(Preferences::boolValue(Updater::kAutomaticDownloadsKey, false));
}

}  // namespace
}  // namespace nimbo
