#include "shell/welcome_window.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>

#include <memory>

#include "capture/capture_item.h"
#include "shell/app_visibility.h"
#include "util/preferences.h"
#include "ui/design_system.h"

namespace nimbo {
namespace {

std::unique_ptr<WelcomeWindow> g_window;

QLabel* text(const QString& s, qreal size, QFont::Weight weight, const QColor& color, QWidget* parent) {
  auto* l = new QLabel(s, parent);
  l->setFont(nimboFont(FontFamily::interface, size, weight));
  l->setWordWrap(true);
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, color);
  l->setPalette(p);
  return l;
}

QPushButton* linkButton(const QString& label, const QString& page, QWidget* parent) {
  auto* b = new QPushButton(label, parent);
  b->setFlat(true);
  b->setCursor(Qt::PointingHandCursor);
  b->setFont(nimboFont(FontFamily::interface, 12, QFont::Medium));
  b->setStyleSheet(QStringLiteral("QPushButton{color:%1;border:none;text-decoration:underline;padding:0;}")
                       .arg(NimboTokens::accent.name()));
  QObject::connect(b, &QPushButton::clicked, b, [page] {
    const QUrl base(Preferences::stringValue(Preferences::kUploadEndpoint));
    QDesktopServices::openUrl(base.resolved(QUrl(page)));
  });
  return b;
}

}  // namespace

QString WelcomeWindow::bulletAboutStorage(const QString& host) {
  return "Your captures stay on your computer unless you explicitly upload one to get a link on " + host + ".";
}

WelcomeWindow::WelcomeWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint) {
  using namespace NimboTokens;
  setWindowTitle(QStringLiteral("Welcome to Nimbo"));
  setObjectName(QStringLiteral("NimboWelcome"));
  setFixedSize(440, 460);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, bg0);
  setPalette(pal);
  setAutoFillBackground(true);

  auto* col = new QVBoxLayout(this);
  col->setContentsMargins(28, 24, 28, 24);
  col->setSpacing(12);

  auto* header = new QHBoxLayout;
  header->setSpacing(12);
  header->addWidget(new NimboLogo(40, false, this));
  auto* titles = new QVBoxLayout;
  titles->setSpacing(2);
  titles->addWidget(text(QStringLiteral("Welcome to Nimbo"), 20, QFont::DemiBold, ink0, this));
  titles->addWidget(text(QStringLiteral("Keyboard-first screenshots for Linux"), 13, QFont::Normal, ink2, this));
  header->addLayout(titles, 1);
  col->addLayout(header);
  col->addSpacing(6);

  col->addWidget(text(QStringLiteral("A couple quick notes before you start:"), 13, QFont::Medium, ink1, this));
  const QString host = QUrl(Preferences::stringValue(Preferences::kUploadEndpoint)).host();
  for (const QString& bullet :
       {bulletAboutStorage(host.isEmpty() ? QStringLiteral("your share server") : host),
        QStringLiteral("When you upload, Nimbo stores the image on our server so you can share the link."),
        QStringLiteral("Nimbo is free right now. If we ever introduce a paid tier, features you have today stay free.")}) {
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    auto* dot = text(QStringLiteral("•"), 13, QFont::Bold, accent, this);
    dot->setWordWrap(false);
    row->addWidget(dot, 0, Qt::AlignTop);
    row->addWidget(text(bullet, 13, QFont::Normal, ink1, this), 1);
    col->addLayout(row);
  }
  col->addStretch(1);
  col->addWidget(text(QStringLiteral("By continuing, you agree to the Terms of Service and Privacy Policy."), 12,
                      QFont::Normal, ink2, this));
  auto* links = new QHBoxLayout;
  links->addWidget(linkButton(QStringLiteral("View Terms"), QStringLiteral("terms"), this));
  links->addSpacing(12);
  links->addWidget(linkButton(QStringLiteral("View Privacy Policy"), QStringLiteral("privacy"), this));
  links->addStretch(1);
  col->addLayout(links);

  auto* agree = new NimboButton(QString::fromUtf8("I Agree · Continue"), NimboButtonKind::primary,
                                NimboButtonSize::lg, [this] {
                                  WelcomeAgreement::markAgreed();
                                  close();
                                }, this);
  agree->setObjectName(QStringLiteral("agree"));
  col->addWidget(agree);
  agree_ = agree;
}

void WelcomeWindow::keyPressEvent(QKeyEvent* e) {
  // Return agrees, as the window's one primary button.
  if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) agree_->click();
  else QWidget::keyPressEvent(e);
}

namespace WelcomeAgreement {

bool agreed() { return !Preferences::stringValue(Preferences::kWelcomeAgreedAt).isEmpty(); }

void markAgreed() {
  QDateTime now = QDateTime::currentDateTimeUtc();
  Preferences::setValue(Preferences::kWelcomeAgreedAt, isoDate(now));
}

void presentIfNeeded() {
  if (agreed()) return;
  if (!g_window) g_window = std::make_unique<WelcomeWindow>();
  if (QScreen* s = QGuiApplication::primaryScreen())
    g_window->move(s->availableGeometry().center() - g_window->rect().center());
  g_window->show();
  g_window->raise();
  g_window->activateWindow();
  AppVisibility::applyTo(g_window.get());
}

WelcomeWindow* window() { return g_window.get(); }
void resetForTesting() { g_window.reset(); }

}  // namespace WelcomeAgreement
}  // namespace nimbo
