// The Screenshot portal client against a stand-in portal on a private
// session bus (run under dbus-run-session).
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include "platform/linux/portal/portal_screenshot.h"
#include "unit/support.h"

namespace nimbo {
namespace {

class PortalScreenshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) << "run under dbus-run-session";
    picture = QImage(64, 48, QImage::Format_RGB32);
    picture.fill(QColor(10, 200, 90));
    picture.setPixelColor(5, 7, Qt::red);
    ASSERT_TRUE(picture.save(dir.filePath("desktop.png")));
    QDir().mkpath(dir.filePath("written"));
  }
  void TearDown() override {
    portal.kill();
    portal.waitForFinished();
  }
  void startPortal(const QString& answer) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("NIMBO_PORTAL_DIR", dir.filePath("written"));
    env.insert("NIMBO_PORTAL_LOG", dir.filePath("asked.txt"));
    portal.setProcessEnvironment(env);
    portal.setProcessChannelMode(QProcess::ForwardedChannels);
    portal.start(NIMBO_FAKE_PORTAL, {dir.filePath("desktop.png"), answer});
    ASSERT_TRUE(portal.waitForStarted());
    ASSERT_TRUE(test::waitUntil([] { return PortalScreenshot::available(); }, 10000));
  }
  Result<QImage> take(int timeoutMs = 10000) {
    std::optional<Result<QImage>> got;
    PortalScreenshot::take([&](Result<QImage> r) { got = std::move(r); }, timeoutMs);
    EXPECT_TRUE(test::waitUntil([&] { return got.has_value(); }, timeoutMs + 2000));
    return got.value_or(Result<QImage>(Error{"no answer"}));
  }
  QTemporaryDir dir;
  QImage picture;
  QProcess portal;
};

TEST_F(PortalScreenshotTest, ThePortalsPictureArrivesAndItsFileIsRemoved) {
  EXPECT_FALSE(PortalScreenshot::available());
  startPortal("ok");
  const Result<QImage> r = take();
  ASSERT_TRUE(r.ok()) << r.error().description.toStdString();
  EXPECT_EQ(r.value().convertToFormat(QImage::Format_RGB32), picture);
  EXPECT_TRUE(QDir(dir.filePath("written")).isEmpty());  // the copy made for us is gone
  QFile asked(dir.filePath("asked.txt"));
  ASSERT_TRUE(asked.open(QIODevice::ReadOnly));
  EXPECT_EQ(asked.readAll(), "interactive=False\n");  // no dialog of the portal's own
}

TEST_F(PortalScreenshotTest, ARefusalAndASilentPortalAreErrorsNotHangs) {
  startPortal("deny");
  Result<QImage> r = take();
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(isPlatformError(r.error(), PlatformErrorCode::permissionDenied));
  portal.kill();
  portal.waitForFinished();
  startPortal("silent");
  r = take(1500);
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(isPlatformError(r.error(), PlatformErrorCode::failed));
}

}  // namespace
}  // namespace nimbo
