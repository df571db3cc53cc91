#pragma once
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QStringList>
#include <QTest>

#include <functional>

#include "capture/capture_history.h"
#include "capture/screenshotter.h"
#include "platform/fake/fake_platform.h"
#include "shell/preferences.h"
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

// Fresh fakes, an empty data folder, default settings and a clean log for
// every test.
class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakes = fake::installFakes();
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
  fake::FakePlatform fakes{};
};

}  // namespace nimbo::test
