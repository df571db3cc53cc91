#include "app/tray_app.h"

#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QSystemTrayIcon>
#include <QTimer>

#include "capture/capture_flow.h"
#include "ui/design_system.h"
#include "util/log.h"

namespace nimbo {
namespace {

// The capture-frame mark, drawn so the tray has an icon without a theme.
QIcon drawnIcon() {
  QIcon icon = QIcon::fromTheme(QStringLiteral("com.vantori.screenshot"));
  if (!icon.isNull()) return icon;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(NimboTokens::accent);
    p.drawRoundedRect(QRectF(0, 0, size, size), 0.25 * size, 0.25 * size);
    QPen pen(NimboTokens::accentInk, NimboLogo::bracketWidth(size) * 1.6);
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

bool isKnownAction(const QString& action) {
  return action == QLatin1String("capture-to-clipboard") ||
         action == QLatin1String("capture-and-upload");
}

TrayApp::TrayApp(QObject* parent) : QObject(parent) {
  setUpTrayIcon();
}

void TrayApp::setUpTrayIcon() {
  auto* menu = new QMenu;
  menu->addAction(QStringLiteral("Capture to clipboard"), this,
                  [] { CaptureFlow::run(CaptureMode::clipboardOnly); });
  menu->addAction(QStringLiteral("Capture and upload"), this,
                  [] { CaptureFlow::run(CaptureMode::uploadAndCopyURL); });
  menu->addSeparator();
  menu->addAction(QStringLiteral("Quit"), qApp, &QCoreApplication::quit);

  tray_ = new QSystemTrayIcon(drawnIcon(), this);
  tray_->setToolTip(QStringLiteral("Nimbo"));
  tray_->setContextMenu(menu);
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

bool TrayApp::dispatch(const QString& action) {
  if (action == QLatin1String("capture-to-clipboard")) {
    CaptureFlow::run(CaptureMode::clipboardOnly);
    return true;
  }
  if (action == QLatin1String("capture-and-upload")) {
    CaptureFlow::run(CaptureMode::uploadAndCopyURL);
    return true;
  }
  return false;
}

}  // namespace nimbo
