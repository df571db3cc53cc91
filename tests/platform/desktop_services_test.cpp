// The file manager (a stand-in on a private bus), settings programs (stand-ins on PATH) and camera access.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/linux/ffmpeg/ffmpeg_camera.h"
#include "platform/linux/freedesktop/desktop_services.h"
#include "unit/support.h"

namespace nimbo {
namespace {

QByteArray readAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(DesktopServicesTest, RevealingAFileAsksTheFileManagerToSelectIt) {
  QTemporaryDir dir;
  const QString log = dir.filePath("shown.txt");
  QProcess manager;
  manager.setProcessChannelMode(QProcess::ForwardedChannels);
  manager.start(NIMBO_FAKE_FILE_MANAGER, {log});
  ASSERT_TRUE(test::waitUntil([] {
    return QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.FileManager1").value();
  }, 10000));
  const QString file = dir.filePath("Nimbo recording.mp4");
  EXPECT_TRUE(DesktopServices::revealFile(file));
  EXPECT_EQ(readAll(log), QUrl::fromLocalFile(file).toEncoded() + "\n");
  manager.kill();
  manager.waitForFinished();
}

TEST(DesktopServicesTest, SettingsOpenOnTheDesktopsOwnPage) {
  QTemporaryDir bin;
  const QString log = bin.filePath("opened.txt");
  auto program = [&](const QString& name) {
    QFile f(bin.filePath(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    f.write(QStringLiteral("#!/bin/sh\necho \"%1 $*\" >> '%2'\n").arg(name, log).toUtf8());
  };
  const QByteArray path = qgetenv("PATH");
  qputenv("PATH", bin.path().toLocal8Bit());
  program("systemsettings");  // KDE only
  DesktopServices::openSettings("sound", "kcm_pulseaudio");
  DesktopServices::openSettings("camera", {});
  program("gnome-control-center");  // GNOME wins where both are there
  DesktopServices::openSettings("camera", {});
  qputenv("PATH", path);
  ASSERT_TRUE(test::waitUntil([&] { return readAll(log).count('\n') == 3; }, 5000)) << readAll(log).constData();
  const QList<QByteArray> lines = readAll(log).trimmed().split('\n');
  EXPECT_TRUE(lines.contains("systemsettings kcm_pulseaudio"));
  EXPECT_TRUE(lines.contains("systemsettings "));
  EXPECT_TRUE(lines.contains("gnome-control-center camera"));
}

// The camera access an ordinary user is given: ours, or as root (who is never refused) that of a child
// that has become nobody, told through its exit status.
CameraService::Access accessAsAnOrdinaryUser(FfmpegCameraService& cameras) {
  if (::geteuid() != 0) return cameras.access().access;
  const struct passwd* nobody = ::getpwnam("nobody");
  const uid_t uid = nobody ? nobody->pw_uid : 65534;
  const gid_t gid = nobody ? nobody->pw_gid : 65534;
  constexpr int kNotDropped = 100;
  const pid_t child = ::fork();
  if (child == 0) {
    const bool dropped = ::setgroups(0, nullptr) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0 && ::getuid() == uid;
    ::_exit(dropped ? int(cameras.access().access) : kNotDropped);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) == kNotDropped) {
    ADD_FAILURE() << "no child running as nobody (status " << status << ")";
    return CameraService::Access::authorized;
  }
  return CameraService::Access(WEXITSTATUS(status));
}

TEST(DesktopServicesTest, TheCameraIsThereOrItIsNot) {
  // In /tmp, not the tests' own temporary folder, which is closed to other users; others may look into this
  // folder, so a refusal below is the device's own.
  QTemporaryDir dir(QStringLiteral("/tmp/nimbo-camera-XXXXXX"));
  ASSERT_TRUE(dir.isValid());
  ASSERT_TRUE(
      QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeOther));
  const QByteArray before = qgetenv("NIMBO_CAMERA");
  qputenv("NIMBO_CAMERA", ("video4linux2:" + dir.filePath("video9")).toLocal8Bit());
  FfmpegCameraService cameras;
  EXPECT_EQ(cameras.access().access, CameraService::Access::restricted);  // no such device
  ASSERT_TRUE(QFile(dir.filePath("video9")).open(QIODevice::WriteOnly));
  EXPECT_EQ(cameras.access().access, CameraService::Access::authorized);
  ASSERT_TRUE(QFile::setPermissions(dir.filePath("video9"), {}));  // a device the user may not open
  EXPECT_EQ(accessAsAnOrdinaryUser(cameras), CameraService::Access::denied);
  qputenv("NIMBO_CAMERA", "lavfi:testsrc2");
  EXPECT_EQ(cameras.access().access, CameraService::Access::authorized);
  qputenv("NIMBO_CAMERA", before);
}

}  // namespace
}  // namespace nimbo
