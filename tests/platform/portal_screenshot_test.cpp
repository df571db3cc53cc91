// The Screenshot portal client against a stand-in portal on a private session bus.
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "platform/linux/portal/portal_screenshot.h"
#include "unit/support.h"

namespace nimbo {
namespace {

class PortalScreenshotTest : public ::testing::Test {
 protected:
  void TearDown() override { stopPortal(); }
  void startPortal(const QString& answer) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("NIMBO_PORTAL_DIR", dir.filePath("written"));
    env.insert("NIMBO_PORTAL_LOG", dir.filePath("asked.jsonl"));
    portal.setProcessEnvironment(env);
    portal.setProcessChannelMode(QProcess::ForwardedChannels);
    portal.start(NIMBO_FAKE_PORTAL, {dir.filePath("desktop.png"), answer});
    ASSERT_TRUE(test::waitUntil([] { return PortalScreenshot::available(); }, 10000));
  }
  void stopPortal() {
    portal.kill();
    portal.waitForFinished();
  }
  Result<QImage> take(int timeoutMs = 10000) {
    std::optional<Result<QImage>> got;
    PortalScreenshot::take([&](Result<QImage> r) { got = std::move(r); }, timeoutMs);
    EXPECT_TRUE(test::waitUntil([&] { return got.has_value(); }, timeoutMs + 2000));
    return got.value_or(Result<QImage>(Error{"no answer"}));
  }
  QTemporaryDir dir;
  QProcess portal;
};

TEST_F(PortalScreenshotTest, ThePortalsPictureArrivesAndItsFileIsRemovedAndRefusalsAreErrors) {
  QImage picture(64, 48, QImage::Format_RGB32);
  picture.fill(QColor(10, 200, 90));
  picture.setPixelColor(5, 7, Qt::red);
  ASSERT_TRUE(picture.save(dir.filePath("desktop.png")) && QDir().mkpath(dir.filePath("written")));
  EXPECT_FALSE(PortalScreenshot::available());
  startPortal("ok");
  const Result<QImage> r = take();
  ASSERT_TRUE(r.ok()) << r.error().description.toStdString();
  EXPECT_EQ(r.value().convertToFormat(QImage::Format_RGB32), picture);
  EXPECT_TRUE(QDir(dir.filePath("written")).isEmpty());  // the copy made for us is gone
  QFile asked(dir.filePath("asked.jsonl"));
  ASSERT_TRUE(asked.open(QIODevice::ReadOnly));
  EXPECT_EQ(asked.readAll(), "{\"interactive\": false}\n");  // no dialog of the portal's own
  stopPortal();

  // A refusal and a portal that never answers are errors, not hangs.
  for (const auto& [answer, code] : {std::pair{"deny", PlatformErrorCode::permissionDenied},
                                     std::pair{"silent", PlatformErrorCode::failed}}) {
    startPortal(answer);
    const Result<QImage> refused = take(1500);
    ASSERT_FALSE(refused.ok()) << answer;
    EXPECT_TRUE(isPlatformError(refused.error(), code)) << answer;
    stopPortal();
  }
}

}  // namespace
}  // namespace nimbo
