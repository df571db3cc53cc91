#include "shell/shortcut_commands_note.h"

#include <QEvent>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

#include <functional>
#include <memory>

#include "shell/app_visibility.h"
#include "shell/hotkey_action.h"
#include "shell/hotkey_store.h"
#include "shell/welcome_window.h"
#include "ui/design_system.h"
#include "util/log.h"
#include "util/preferences.h"

namespace nimbo {
namespace {

std::unique_ptr<ShortcutCommandsWindow> g_window;

QLabel* text(const QString& s, FontFamily family, qreal size, QFont::Weight weight, const QColor& color,
             QWidget* parent) {
  auto* l = new QLabel(s, parent);
  l->setFont(nimboFont(family, size, weight));
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, color);
  l->setPalette(p);
  return l;
}

// Runs `then` once, when `window` is next hidden.
class OnHide : public QObject {
 public:
  OnHide(QWidget* window, std::function<void()> then) : QObject(window), then_(std::move(then)) {
    window->installEventFilter(this);
  }
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() == QEvent::Hide && then_) {
      watched->removeEventFilter(this);
      auto then = std::move(then_);
      then_ = nullptr;
      deleteLater();
      then();
    }
    return false;
  }

 private:
  std::function<void()> then_;
};

void show() {
  if (!g_window) g_window = std::make_unique<ShortcutCommandsWindow>();
  if (QScreen* s = QGuiApplication::primaryScreen())
    g_window->move(s->availableGeometry().center() - g_window->rect().center());
  g_window->show();
  g_window->raise();
  g_window->activateWindow();
  AppVisibility::applyTo(g_window.get());
  Preferences::setValue(Preferences::kShortcutCommandsNoteShown, true);
}

}  // namespace

ShortcutCommandsWindow::ShortcutCommandsWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint) {
  using namespace NimboTokens;
  setWindowTitle(QStringLiteral("Keyboard shortcuts"));
  setObjectName(QStringLiteral("NimboShortcutCommands"));
  QPalette pal = palette();
  pal.setColor(QPalette::Window, bg0);
  setPalette(pal);
  setAutoFillBackground(true);

  auto* col = new QVBoxLayout(this);
  col->setContentsMargins(28, 24, 28, 24);
  col->setSpacing(12);
  col->addWidget(text(QStringLiteral("Set up keyboard shortcuts"), FontFamily::interface, 18, QFont::DemiBold, ink0, this));
  QLabel* intro = text(ShortcutCommandsNote::introText(), FontFamily::interface, 13, QFont::Normal, ink1, this);
  intro->setWordWrap(true);
  col->addWidget(intro);

  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(16);
  grid->setVerticalSpacing(10);
  const QStringList commands = ShortcutCommandsNote::commands();
  int row = 0;
  for (HotkeyAction action : kAllHotkeyActions) {
    grid->addWidget(text(actionTitle(action), FontFamily::interface, 13, QFont::Medium, ink1, this), row, 0);
    QLabel* command = text(commands[row], FontFamily::mono, 12, QFont::Medium, accent, this);
    command->setObjectName(QStringLiteral("command"));
    command->setTextInteractionFlags(Qt::TextSelectableByMouse);
    command->setCursor(Qt::IBeamCursor);
    grid->addWidget(command, row, 1);
    auto* keys = new QHBoxLayout;
    keys->setSpacing(4);
    for (const QString& cap : displayKeycaps(HotkeyStore::shared().effective(action)))
      keys->addWidget(new Keycap(cap, KeycapSize::sm, false, this));
    keys->addStretch(1);
    grid->addLayout(keys, row, 2);
    ++row;
  }
  grid->setColumnStretch(2, 1);
  col->addLayout(grid);
  col->addWidget(text(ShortcutCommandsNote::suggestionText(), FontFamily::interface, 12, QFont::Normal, ink2, this));
  col->addSpacing(4);
  auto* done = new NimboButton(QStringLiteral("Got it"), NimboButtonKind::primary, NimboButtonSize::md,
                               [this] { close(); }, this);
  done->setObjectName(QStringLiteral("done"));
  col->addWidget(done, 0, Qt::AlignRight);
  setFixedWidth(560);
  adjustSize();
}

void ShortcutCommandsWindow::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter || e->key() == Qt::Key_Escape) close();
  else QWidget::keyPressEvent(e);
}

namespace ShortcutCommandsNote {

QString introText() {
  return QStringLiteral("This desktop does not let applications set global shortcuts. Add custom shortcuts in its "
                        "keyboard settings that run these commands:");
}

QString suggestionText() { return QStringLiteral("The keys are suggestions; any free combination works."); }

QStringList commands() {
  QStringList list;
  for (HotkeyAction action : kAllHotkeyActions) list << "nimbo " + actionCommand(action);
  return list;
}

void presentIfNeeded() {
  logLine("Nimbo: this desktop keeps no global shortcuts for applications; bind these commands in its keyboard "
          "settings: " + commands().join(", "));
  if (Preferences::boolValue(Preferences::kShortcutCommandsNoteShown, false)) return;
  // Not on top of the welcome window: after it.
  if (WelcomeWindow* welcome = WelcomeAgreement::window(); welcome && welcome->isVisible()) {
    new OnHide(welcome, [] {
      if (!Preferences::boolValue(Preferences::kShortcutCommandsNoteShown, false)) show();
    });
    return;
  }
  show();
}

ShortcutCommandsWindow* window() { return g_window.get(); }
void resetForTesting() { g_window.reset(); }

}  // namespace ShortcutCommandsNote
}  // namespace nimbo
