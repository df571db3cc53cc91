#include "app/tray_app.h"

#include "recording/recording_state.h"

#include <QApplication>
#include <QCursor>
#include <QSettings>
#include <QDesktopServices>
#include <QUrl>
#include <QWidget>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QSystemTrayIcon>
#include <QTimer>

#include "capture/capture_history.h"
#include "core/seams.h"
#include "platform/platform.h"
#include "shell/hotkey_store.h"
#include "shell/hotkeys.h"
#include "shell/popover.h"
#include "shell/settings_window.h"
#include "util/preferences.h"
#include "shell/welcome_window.h"
#include "ui/upload_toast.h"
#include "ui/design_system.h"
#include "util/log.h"

namespace nimbo {
namespace {

// The capture-frame mark, drawn so the tray has an icon without a theme; in
// red while a recording runs.
QIcon drawnIcon(bool recording = false) {
  QIcon icon = QIcon::fromTheme(recording ? QStringLiteral("com.vantori.screenshot-recording")
                                          : QStringLiteral("com.vantori.screenshot"));
  if (!icon.isNull()) return icon;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(recording ? NimboTokens::red : NimboTokens::accent);
    p.drawRoundedRect(QRectF(0, 0, size, size), 0.25 * size, 0.25 * size);
    QPen pen(recording ? NimboTokens::ink0 : NimboTokens::accentInk, NimboLogo::bracketWidth(size) * 1.6);
    pen.setCapStyle(Qt::RoundCap);
    p.setPen(pen);
    const qreal i = 0.2 * size, a = 0.3 * size, w = size;
    QPainterPath path;
    path.moveTo(i, i + a);
    path.lineTo(i, i);
    path.lineTo(i + a, i);
    path.moveTo(w - i, w - i - a);
    path.lineTo(w - i, w - i);
    path.lineTo(w - i - a, w - i);
    p.drawPath(path);
    icon.addPixmap(pm);
  }
  return icon;
}

}  // namespace

TrayApp::TrayApp(QObject* parent) : QObject(parent) { setUpTrayIcon(); }

void TrayApp::setUpTrayIcon() {
  auto* menu = new QMenu;
  for (HotkeyAction action : kAllHotkeyActions) {
    // "&" marks a mnemonic in menu texts ("Record & copy link").
    QString title = actionTitle(action);
    menu->addAction(title.replace('&', QLatin1String("&&")), this, [action] { Hotkeys::handle(action); });
  }
  menu->addSeparator();
  menu->addAction(QStringLiteral("Settings…"), this, [] { SettingsWindow::show(); });
  menu->addAction(QStringLiteral("Quit"), qApp, &QCoreApplication::quit);

  tray_ = new QSystemTrayIcon(drawnIcon(), this);
  // Where there is a tray, its icon shows that a recording runs; elsewhere
  // the pill does.
  QObject::connect(&RecordingState::shared(), &RecordingState::changed, tray_, [this] {
    const bool recording = RecordingState::shared().isRecording();
    if (recording == showsRecording_) return;
    showsRecording_ = recording;
    tray_->setIcon(drawnIcon(recording));
    tray_->setToolTip(recording ? QStringLiteral("Nimbo — recording") : QStringLiteral("Nimbo"));
    logLine(recording ? QStringLiteral("Nimbo: tray icon shows a recording") : QStringLiteral("Nimbo: tray icon back to idle"));
  });
  tray_->setToolTip(QStringLiteral("Nimbo"));
  tray_->setContextMenu(menu);
  // A left click opens the popover at the pointer: StatusNotifierItem hosts
  // tell nobody where the icon is. A right click keeps the menu.
  QObject::connect(tray_, &QSystemTrayIcon::activated, this, [](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) Popover::toggleAt(QCursor::pos());
  });
  // Stock GNOME has no tray host: run on without an icon. A host that turns
  // up later (an extension enabled, a panel restarted) gets the icon then.
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_->show();
    logLine(QStringLiteral("Nimbo: tray icon shown"));
  } else {
    logLine(QStringLiteral("Nimbo: no system tray; running without an icon"));
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this, poll] {
      if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
      tray_->show();
      logLine(QStringLiteral("Nimbo: tray icon shown"));
      poll->deleteLater();
    });
    poll->start(5000);
  }
}

void TrayApp::reopen() {
  // A window of ours on screen comes forward; with none, the settings open
  // (on a desktop without a tray this is the way in).
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->isVisible() && !(w->windowFlags() & Qt::X11BypassWindowManagerHint)) {
      w->raise();
      w->activateWindow();
      return;
    }
  }
  if (!WelcomeAgreement::agreed()) return WelcomeAgreement::presentIfNeeded();
  SettingsWindow::show();
}

QString TrayApp::shortcutCommand(const QStringList& words) {
  // shortcut set ACTION COMBO | shortcut reset ACTION
  const QString verb = words.value(1);
  const std::optional<HotkeyAction> action = actionFromId(words.value(2));
  if (!action) return "unknown action '" + words.value(2) + "' (captureToClipboard, captureAndUpload, recordAndUpload, recordToFile)";
  if (verb == QLatin1String("reset") && words.size() == 3) {
    HotkeyStore::shared().rebind(*action, std::nullopt);
    return {};
  }
  if (verb == QLatin1String("set") && words.size() == 4) {
    const std::optional<Shortcut> s = parseShortcut(words[3]);
    if (!s) return "cannot read the shortcut '" + words[3] + "' (for example Ctrl+Shift+X)";
    if (HotkeyStore::shared().tryRebind(*action, *s)) return {};
    const Shortcut kept = HotkeyStore::shared().effective(*action);
    return "the shortcut " + displayKeycaps(*s).join('+') +
           " could not be registered (another application may hold it); " + displayKeycaps(kept).join('+') +
           " stays";
  }
  return QStringLiteral("usage: shortcut set ACTION COMBINATION | shortcut reset ACTION");
}

QString TrayApp::editCommand(const QStringList& words) {
  if (words.size() > 2) return QStringLiteral("usage: edit [ID|last]");
  const QString which = words.value(1, QStringLiteral("last"));
  const std::vector<CaptureItem>& items = CaptureHistory::shared().items();
  if (which == QLatin1String("last")) {
    for (const CaptureItem& item : items) {
      if (item.mediaType != MediaType::image) continue;
      seams().editorHost->open(item.id);
      return {};
    }
    return QStringLiteral("the history has no screenshots to edit");
  }
  const CaptureItem* item = CaptureHistory::shared().find(which);
  if (item && item->mediaType != MediaType::image) return "capture " + which + " is a recording; only screenshots can be edited";
  // An unknown id gets the editor's own "not in history" toast too.
  seams().editorHost->open(which);
  return item ? QString() : "no capture " + which + " in the history";
}

QString TrayApp::run(const QString& command) {
  const QStringList words = command.split(' ', Qt::SkipEmptyParts);
  const QString first = words.value(0);
  if (first == QLatin1String("activate")) {
    reopen();
    return {};
  }
  if (first == QLatin1String("shortcut")) return shortcutCommand(words);
  if (first == QLatin1String("edit")) return editCommand(words);
  if (const std::optional<HotkeyAction> action = actionFromCommand(first); action && words.size() == 1) {
    Hotkeys::handle(*action);
    return {};
  }
  return "unknown command '" + command + "'";
}

}  // namespace nimbo
