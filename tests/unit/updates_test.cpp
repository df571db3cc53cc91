// The update feed, signatures, the updater against a loopback feed, its notifications and the Updates pane.
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

struct TestKey {  // an Ed25519 key pair made for the test
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
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
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
  const UpdateItem& a = items.value()[0];
  EXPECT_EQ(std::make_tuple(a.version, a.displayVersion, a.url, a.length, a.signature),
            std::make_tuple(QString("2"), QString("0.2.0"), QUrl("https://example.org/a.tar.xz"), qint64(10), sig));
  EXPECT_EQ(items.value()[1].displayVersion, "0.3.0");
  EXPECT_FALSE(UpdateFeed::parse("<html><body>404</body></html>").ok());
  EXPECT_FALSE(UpdateFeed::parse("<rss><channel><item>").ok());
  EXPECT_FALSE(UpdateFeed::parse("<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaa\">]><rss>&a;</rss>").ok());  // no entities
  EXPECT_FALSE(UpdateFeed::parse(QByteArray(UpdateFeed::kMaxFeedBytes + 1, ' ')).ok());
}

TEST(UpdateFeedTest, VersionsCompareByNumberAndOnlyNewerOnesCount) {
  EXPECT_GT(UpdateFeed::compareVersions("1.10", "1.9"), 0);
  EXPECT_EQ(UpdateFeed::compareVersions("1.0", "1"), 0);
  EXPECT_GT(UpdateFeed::compareVersions("1.0b", "1.0a"), 0);
  std::vector<UpdateItem> items;
  for (const char* version : {"3", "12", "1"}) items.push_back({version});
  EXPECT_EQ(UpdateFeed::newest(items, "2")->version, "12");
  EXPECT_FALSE(UpdateFeed::newest(items, "12").has_value());
  for (const auto& [url, allowed] : {std::pair{"https://example.org/f.xml", true}, {"http://127.0.0.1:9000/f.xml", true},
                                     {"http://[::1]:9000/f.xml", true}, {"http://example.org/f.xml", false},
                                     {"http://127.0.0.1.example.org/f.xml", false}, {"file:///tmp/f.xml", false}})
    EXPECT_EQ(UpdateFeed::transportAllowed(QUrl(url)), allowed) << url;
}

// A wrong key and changed bytes are refused through the updater below.
TEST(UpdateSignatureTest, NoKeyOrAFlippedSignatureBitNeverVerifies) {
  TestKey key;
  QByteArray sig = key.sign("an archive");
  EXPECT_FALSE(UpdateSignature::verify("an archive", QByteArray(), sig).ok());
  sig[10] = char(sig[10] ^ 1);
  EXPECT_FALSE(UpdateSignature::verify("an archive", key.publicKey(), sig).ok());
}

// A user-local install of 0.1.0 (build 1), and release archives whose program says its version.
class UpdaterTest : public test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    root = Updater::installRoot();
    QDir(root).removeRecursively();
    running = makeTree(root + "/versions/0.1.0", "0.1.0", "1");
    QFile::link("versions/0.1.0", root + "/current");
    config = {"0.1.0", "1", QUrl(server.url("/appcast.xml")), key.publicKey(), running + "/bin/nimbo"};
  }
  QString makeTree(const QString& dir, const QString& version, const QString& build) {
    QDir().mkpath(dir + "/bin");
    QDir().mkpath(dir + "/lib/nimbo");
    QFile program(dir + "/bin/nimbo");
    EXPECT_TRUE(program.open(QIODevice::WriteOnly));
    program.write(QStringLiteral("#!/bin/sh\necho 'nimbo %1 (build %2)'\n").arg(version, build).toUtf8());
    program.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_TRUE(QFile(dir + "/lib/nimbo/libnimbo_app.so").open(QIODevice::WriteOnly));
    return dir;
  }
  // The release archive: one top folder holding bin/ and lib/.
  QByteArray archive(const QString& version, const QString& build) {
    QTemporaryDir work;
    makeTree(work.path() + "/nimbo-" + version, version, build);
    EXPECT_EQ(QProcess::execute("tar", {"-cJf", work.path() + "/a.tar.xz", "-C", work.path(), "nimbo-" + version}), 0);
    QFile f(work.path() + "/a.tar.xz");
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
    QObject::connect(&updater, &Updater::readyToInstallOnQuit, &updater,
                     [&](const QString& v, std::function<void()>) { ready = v; done = true; });
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

TEST_F(UpdaterTest, EveryBadReleaseIsRefusedAndChangesNothingAndAGoodOneIsUnpackedBeside) {
  Updater updater(config);
  const QByteArray next = archive("0.2.0", "2"), older = archive("0.0.9", "0");
  QByteArray tampered = next;
  tampered[tampered.size() / 2] = char(tampered[tampered.size() / 2] ^ 0x20);
  TestKey stranger;
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
      EXPECT_EQ(test::logged().filter("refused Nimbo").filter(c.reason).size(), 1) << test::logged().join('\n').toStdString();
    } else {
      EXPECT_EQ(message, "Nimbo is up to date.");
    }
    EXPECT_EQ(versionsOnDisk(), QStringList({"0.1.0"}));
    EXPECT_TRUE(current().endsWith("/versions/0.1.0"));
  }
  offer("2", "0.2.0", next, next.size(), key.sign(next));  // a good release afterwards still goes through
  EXPECT_EQ(check(updater), "0.2.0");
  EXPECT_EQ(versionsOnDisk(), QStringList({"0.1.0", "0.2.0"}));  // nothing half-done beside them
  EXPECT_TRUE(current().endsWith("/versions/0.1.0"));             // switched only when asked
  ASSERT_TRUE(updater.switchTo("0.2.0").ok());
  EXPECT_EQ(current(), QFileInfo(root + "/versions/0.2.0").absoluteFilePath());
}

TEST_F(UpdaterTest, PackagedCopiesOnlyReportAndLeftoversOfAnInterruptedUpdateGo) {
  UpdaterConfig packaged = config;
  packaged.executable = "/usr/bin/nimbo";
  Updater updater(packaged);
  const QByteArray next = archive("0.2.0", "2");
  offer("2", "0.2.0", next, next.size(), key.sign(next));
  QString message;
  EXPECT_FALSE(check(updater, &message).has_value());
  EXPECT_EQ(message, "Nimbo 0.2.0 is available from your system's package manager.");
  EXPECT_EQ(versionsOnDisk(), QStringList({"0.1.0"}));

  // A killed download and unpack are cleared at the next start, and all but one older version.
  QDir().mkpath(root + "/versions/.unpack-0.2.0-4242/bin");
  QFile(root + "/versions/.download-0.2.0.part").open(QIODevice::WriteOnly);
  makeTree(root + "/versions/0.0.8", "0.0.8", "0");
  makeTree(root + "/versions/0.0.9", "0.0.9", "0");
  Updater(config).start();
  EXPECT_EQ(versionsOnDisk(), QStringList({"0.0.9", "0.1.0"}));
}

// One version's own copy goes two updates later; login starts the link, which stays.
TEST_F(UpdaterTest, LoginStartsWhateverVersionIsCurrent) {
  EXPECT_EQ(Updater::lastingProgramPath(running + "/bin/nimbo"), root + "/current/bin/nimbo");
  EXPECT_EQ(Updater::lastingProgramPath("/usr/bin/nimbo"), "/usr/bin/nimbo");
  EXPECT_EQ(Updater::lastingProgramPath(root + "/versionsX/bin/nimbo"), root + "/versionsX/bin/nimbo");
}

// The posted notification and a click on the banner are followed on the desktop (tests/update).
class UpdateControllerTest : public test::PlatformTest {
 protected:
  UpdateController& controller() { return UpdateController::resetForTesting(); }
};

TEST_F(UpdateControllerTest, OneNotificationPerVersionAndOnlyOursRestarts) {
  UpdateController& c = controller();
  int firstCalls = 0, secondCalls = 0;
  c.updateReady("0.2.0", [&] { ++firstCalls; });
  c.updateReady("0.2.0", [&] { ++secondCalls; });  // the newer callback is kept, nothing more is posted
  ASSERT_EQ(fakes.notifications->posted.size(), 1u);
  fakes.notifications->click("nimbo-update-check");
  fakes.notifications->click("someone-else");
  QCoreApplication::processEvents();
  EXPECT_EQ(firstCalls + secondCalls, 0);
  fakes.notifications->click("nimbo-update-ready");
  EXPECT_TRUE(test::waitUntil([&] { return secondCalls == 1; }));
  EXPECT_EQ(firstCalls, 0);

  c.updateReady("0.3.0", [] {});  // a newer version replaces it, under the same identifier
  ASSERT_EQ(fakes.notifications->posted.size(), 2u);
  EXPECT_EQ(fakes.notifications->posted[1].identifier, "nimbo-update-ready");
  EXPECT_EQ(fakes.notifications->posted[1].title, "Nimbo 0.3.0 is ready");
  EXPECT_EQ(fakes.notifications->posted[1].body, "Click to restart and update.");
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
  banner->click();
  EXPECT_TRUE(test::waitUntil([&] { return restarts == 1; }));
}

TEST_F(UpdateControllerTest, ThePaneSnapsAStoredIntervalAndWritesItBack) {
  controller();
  EXPECT_EQ(snapUpdateInterval(0), 3600);  // never a check without pause
  Preferences::setValue(Updater::kIntervalKey, 70000);
  Preferences::setValue(Updater::kAutomaticDownloadsKey, false);
  UpdatesPane pane;
  pane.show();
  QCoreApplication::processEvents();
  EXPECT_EQ(Preferences::store().value(Updater::kIntervalKey).toInt(), 86400);
  EXPECT_EQ(pane.findChild<QComboBox*>("checkFrequency")->currentText(), "Daily");
  auto* autoInstall = pane.findChild<QAbstractButton*>("autoInstall");
  EXPECT_FALSE(autoInstall->isChecked());
  autoInstall->click();
  EXPECT_TRUE(Preferences::boolValue(Updater::kAutomaticDownloadsKey, false));
}

}  // namespace
}  // namespace nimbo
