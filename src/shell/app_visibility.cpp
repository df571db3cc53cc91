#include "shell/app_visibility.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QWidget>

#include "platform/platform.h"
#include "sharing/updater.h"
#include "util/preferences.h"
#include "util/log.h"
#include "util/paths.h"

namespace nimbo::AppVisibility {
namespace {
bool g_inTaskbar = false;

QString desktopEntry() {
  return QStringLiteral(
             "[Desktop Entry]\n"
             "Type=Application\n"
             "Name=Nimbo\n"
             "Comment=Keyboard-first screenshots\n"
             "Exec=\"%1\"\n"
             "Icon=com.vantori.screenshot\n"
             "Terminal=false\n"
             "X-GNOME-Autostart-enabled=true\n")
      .arg(Updater::lastingProgramPath(QCoreApplication::applicationFilePath()));
}

void failed(const QString& reason) { logLine("Nimbo: launch-at-login change failed: " + reason); }
}  // namespace

bool showsInTaskbar() { return g_inTaskbar; }

void applyDockVisibility() {
  g_inTaskbar = Preferences::boolValue(Preferences::kShowInDock, false);
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible() && w->isWindow() && !(w->windowFlags() & Qt::X11BypassWindowManagerHint)) applyTo(w);
}

void applyTo(QWidget* window) {
  if (window && window->isVisible()) platform().workspace->setTaskbarPresence(window->winId(), g_inTaskbar);
}

QString autostartPath() {
  return paths::configHome() + "/autostart/" + paths::kAppId + ".desktop";
}

void applyLaunchAtLogin() {
  const bool wanted = Preferences::boolValue(Preferences::kLaunchAtLogin, false);
  const QString path = autostartPath();
  const bool enabled = QFileInfo::exists(path);
  // An entry written by an earlier version may name a program that has
  // moved since (an update); it is rewritten when it differs.
  const QByteArray entry = desktopEntry().toUtf8();
  auto current = [&] {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  };
  if (wanted && (!enabled || current() != entry)) {
    const QString dir = QFileInfo(path).path();
    if (!QDir().mkpath(dir)) return failed("cannot create " + dir);
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return failed(f.errorString());
    f.write(entry);
    if (!f.commit()) return failed(f.errorString());
  } else if (!wanted && enabled) {
    QFile f(path);
    if (!f.remove()) return failed(f.errorString());
  }
}

}  // namespace nimbo::AppVisibility
