// Runs every test inside a QApplication with private XDG folders, so nothing
// a test writes reaches the user's real history or settings.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

int main(int argc, char** argv) {
  QTemporaryDir home;
  const QByteArray root = home.path().toLocal8Bit();
  setenv("XDG_DATA_HOME", (root + "/data").constData(), 1);
  setenv("XDG_CONFIG_HOME", (root + "/config").constData(), 1);
  setenv("TMPDIR", (root + "/tmp").constData(), 1);
  QDir().mkpath(home.path() + "/tmp");
  setenv("XDG_CACHE_HOME", (root + "/cache").constData(), 1);
  setenv("XDG_RUNTIME_DIR", (root + "/runtime").constData(), 1);
  QDir().mkpath(home.path() + "/runtime");
  QFile::setPermissions(home.path() + "/runtime", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
