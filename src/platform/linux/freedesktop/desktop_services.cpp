#include "platform/linux/freedesktop/desktop_services.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>

namespace nimbo::DesktopServices {

void openSettings(const QString& gnomePanel, const QString& kdeModule) {
  if (!QStandardPaths::findExecutable("gnome-control-center").isEmpty())
    QProcess::startDetached("gnome-control-center", {gnomePanel});
  else if (!QStandardPaths::findExecutable("systemsettings").isEmpty())
    QProcess::startDetached("systemsettings", kdeModule.isEmpty() ? QStringList{} : QStringList{kdeModule});
}

bool revealFile(const QString& path) {
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
      QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
  // A real URI: spaces and the like percent-encoded.
  call << QStringList{QString::fromLatin1(QUrl::fromLocalFile(path).toEncoded())} << QString();
  const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 2000);
  if (reply.type() == QDBusMessage::ReplyMessage) return true;
  QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
  return false;
}

}  // namespace nimbo::DesktopServices

namespace nimbo {

void FreedesktopWorkspace::openUrl(const QUrl& url) { QDesktopServices::openUrl(url); }

// The desktop's own pages where it has them: GNOME has one for privacy and
// one for each device; KDE's audio page covers the microphone and it has
// none for cameras.
void FreedesktopWorkspace::openScreenCapturePrivacySettings() { DesktopServices::openSettings("privacy", {}); }

void FreedesktopWorkspace::openDeviceSettings(bool camera) {
  DesktopServices::openSettings(camera ? "camera" : "sound", camera ? QString() : QStringLiteral("kcm_pulseaudio"));
}

void FreedesktopWorkspace::revealFile(const QString& path) { DesktopServices::revealFile(path); }

}  // namespace nimbo
