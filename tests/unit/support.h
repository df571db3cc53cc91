#pragma once
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QStringList>
#include <QTest>

#include <functional>

#include "capture/capture_history.h"
#include "capture/screenshotter.h"
#include "fake_seams.h"
#include "platform/fake/fake_platform.h"
#include "util/preferences.h"
#include "util/log.h"
#include "util/paths.h"

namespace nimbo::test {

inline QStringList& logged() {
  static QStringList lines;
  return lines;
}

inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QTest::qSleep(1);
  }
  return true;
}

// The platform's fakes and the seams' fakes, installed together.
struct AllFakes : fake::FakePlatform {
  fake::FakeUploader* uploader = nullptr;
  fake::FakeEditorHost* editor = nullptr;
  fake::FakeRegionPresenter* presenter = nullptr;
  fake::FakeDialogs* dialogs = nullptr;
};
inline AllFakes installAllFakes() {
  AllFakes f;
  static_cast<fake::FakePlatform&>(f) = fake::installFakes();
  auto s = std::make_unique<Seams>();
  s->uploader.reset(f.uploader = new fake::FakeUploader);
  s->editorHost.reset(f.editor = new fake::FakeEditorHost);
  s->regionPresenter.reset(f.presenter = new fake::FakeRegionPresenter);
  s->dialogs.reset(f.dialogs = new fake::FakeDialogs);
  installSeams(std::move(s));
  return f;
}

// Fresh fakes, an empty data folder, default settings and a clean log for
// every test.
class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakes = installAllFakes();
    QDir(paths::appSupportDir()).removeRecursively();
    QDir(paths::configDir()).removeRecursively();
    Preferences::resetForTesting();
    CaptureHistory::resetSharedForTesting();
    Screenshotter::resetCacheForTesting();
    logged().clear();
    setLogSink([](const QString& line) { logged() << line; });
  }
  void TearDown() override {
    setLogSink(nullptr);
    // Let queued work of this test finish before the fakes go away.
    QCoreApplication::processEvents();
    CaptureHistory::resetSharedForTesting();
  }
  AllFakes fakes{};
};

// Two displays side by side: a 1000x500 point one at scale 1 ("Left", the
// main one) and, to its right, a 400x300 point one at scale 2 ("Right").
// Each display shows a gradient unique to its pixels.
class TwoDisplayTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    left = {1, "Left", QRectF(0, 0, 1000, 500), 1.0, 11};
    right = {2, "Right", QRectF(1000, 0, 400, 300), 2.0, 22};
    fakes.screens->screens = {left, right};
    fakes.screens->mainKey = 1;
    fakes.screens->cursor = QPointF(10, 10);
    fakes.capture->content.displays = {{11, QRect(0, 0, 1000, 500)}, {22, QRect(1000, 0, 800, 600)}};
    fakes.capture->content.windows = {{7}, {8}};
    fakes.capture->images[11] = gradient(QSize(1000, 500));
    fakes.capture->images[22] = gradient(QSize(800, 600));
  }
  static QImage gradient(QSize s) {
    QImage i(s, QImage::Format_RGB32);
    for (int y = 0; y < s.height(); ++y)
      for (int x = 0; x < s.width(); ++x) i.setPixel(x, y, qRgb(x & 255, y & 255, (x + y) & 255));
    return i;
  }
  ScreenInfo left, right;
};

}  // namespace nimbo::test
