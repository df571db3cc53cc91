#include "shell/settings_panes.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QComboBox>
#include <QLabel>
#include <QTimer>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <pwd.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <functional>
#include <vector>

#include "sharing/device_token.h"
#include "shell/app_visibility.h"
#include "shell/hotkey_recorder.h"
#include "shell/hotkey_store.h"
#include "shell/hotkeys.h"
#include "shell/shortcut_commands_note.h"
#include "ui/design_system.h"
#include "util/preferences.h"
#include "sharing/update_controller.h"

namespace nimbo {
namespace {

using namespace NimboTokens;

QLabel* text(const QString& s, FontFamily family, qreal size, QFont::Weight weight, const QColor& color,
             QWidget* parent) {
  auto* l = new QLabel(s, parent);
  l->setFont(nimboFont(family, size, weight));
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, color);
  l->setPalette(p);
  return l;
}

QLabel* wrapped(QLabel* l) {
  l->setWordWrap(true);
  return l;
}

// A pane's column: its header first, then whatever the pane adds.
QVBoxLayout* paneColumn(QWidget* pane, const QString& title, const QString& subtitle, QLabel** subtitleLabel = nullptr) {
  auto* col = new QVBoxLayout(pane);
  col->setContentsMargins(32, 28, 32, 28);
  col->setSpacing(0);
  QLabel* t = text(title, FontFamily::display, 22, QFont::DemiBold, ink0, pane);
  t->setObjectName(QStringLiteral("paneTitle"));
  t->setAccessibleName(title);
  col->addWidget(t);
  col->addSpacing(4);
  QLabel* sub = wrapped(text(subtitle, FontFamily::interface, 12, QFont::Normal, ink2, pane));
  sub->setObjectName(QStringLiteral("paneSubtitle"));
  col->addWidget(sub);
  if (subtitleLabel) *subtitleLabel = sub;
  col->addSpacing(20);
  return col;
}

// A label and its description on the left, the control on the right; more
// lines (the token field) can go under both.
struct Row {
  QWidget* widget;
  QVBoxLayout* left;   // under the label and description
  QVBoxLayout* below;  // across the whole row
};

Row settingRow(const QString& label, const QString& description, QWidget* control, QWidget* parent) {
  auto* row = new QWidget(parent);
  auto* below = new QVBoxLayout(row);
  below->setContentsMargins(16, 12, 16, 12);
  below->setSpacing(8);
  auto* h = new QHBoxLayout;
  h->setSpacing(24);
  below->addLayout(h);
  auto* left = new QVBoxLayout;
  left->setSpacing(3);
  left->addWidget(text(label, FontFamily::interface, 13, QFont::Medium, ink0, row));
  if (!description.isEmpty()) left->addWidget(wrapped(text(description, FontFamily::interface, 11, QFont::Normal, ink2, row)));
  h->addLayout(left, 1);
  if (control) {
    control->setParent(row);
    h->addWidget(control, 0, Qt::AlignRight | Qt::AlignVCenter);
    if (control->accessibleName().isEmpty()) control->setAccessibleName(label);
    if (control->accessibleDescription().isEmpty()) control->setAccessibleDescription(description);
  }
  return {row, left, below};
}

// Rows on one card, a quiet line under every row but the last.
NimboCard* card(const std::vector<QWidget*>& rows, QWidget* parent) {
  auto* content = new QWidget;
  auto* v = new QVBoxLayout(content);
  v->setContentsMargins(0, 0, 0, 0);
  v->setSpacing(0);
  for (size_t i = 0; i < rows.size(); ++i) {
    v->addWidget(rows[i]);
    if (i + 1 == rows.size()) break;
    auto* lineRow = new QHBoxLayout;
    lineRow->setContentsMargins(16, 0, 16, 0);
    auto* line = new QFrame(content);
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    QPalette p = line->palette();
    p.setColor(QPalette::Window, lineSoft);
    line->setPalette(p);
    lineRow->addWidget(line);
    v->addLayout(lineRow);
  }
  return new NimboCard(content, 0, parent);
}

// A toggle bound to a stored setting: written at once, and following the
// setting when something else changes it.
NimboToggle* settingToggle(const char* key, bool fallback, std::function<void()> onChange, QWidget* parent) {
  auto* t = new NimboToggle(parent);
  const QString k = QString::fromLatin1(key);
  t->setObjectName(k);
  t->setFocusPolicy(Qt::StrongFocus);
  t->setChecked(Preferences::boolValue(k, fallback));
  QObject::connect(t, &QAbstractButton::toggled, t, [k, onChange](bool on) {
    Preferences::setValue(k, on);
    if (onChange) onChange();
  });
  QObject::connect(&Preferences::notifier(), &PreferencesNotifier::changed, t, [t, k, fallback](const QString& changed) {
    if (changed != k) return;
    const QSignalBlocker quiet(t);
    t->setChecked(Preferences::boolValue(k, fallback));
  });
  return t;
}

QString fieldStyle() {
  return QStringLiteral(
             "QLineEdit{background:%1;color:%2;border:1px solid %3;border-radius:6px;padding:5px 8px;"
             "selection-background-color:%4;selection-color:%5;}"
             "QLineEdit:focus{border-color:%4;}")
      .arg(bg0.name(), ink0.name(), line.name(), accent.name(), accentInk.name());
}

QLineEdit* field(const QString& placeholder, QWidget* parent) {
  auto* f = new QLineEdit(parent);
  f->setFont(nimboFont(FontFamily::mono, 12, QFont::Normal));
  f->setPlaceholderText(placeholder);
  f->setStyleSheet(fieldStyle());
  QPalette p = f->palette();
  p.setColor(QPalette::PlaceholderText, ink3);
  f->setPalette(p);
  return f;
}

QString keysOf(HotkeyAction action) { return displayKeycaps(HotkeyStore::shared().effective(action)).join('+'); }

// Symbols drawn on a 16 × 16 grid, for icon themes without the section's icon.
void drawGlyph(QPainter& p, SettingsSection section) {
  switch (section) {
    case SettingsSection::general: {
      p.drawEllipse(QPointF(8, 8), 2.2, 2.2);
      p.drawEllipse(QPointF(8, 8), 5, 5);
      for (int i = 0; i < 8; ++i) {
        p.save();
        p.translate(8, 8);
        p.rotate(45.0 * i);
        p.drawLine(QPointF(0, -5), QPointF(0, -7.2));
        p.restore();
      }
      break;
    }
    case SettingsSection::shortcuts:
      p.drawRoundedRect(QRectF(1, 3.5, 14, 9), 2, 2);
      for (int i = 0; i < 4; ++i) p.drawPoint(QPointF(4 + 2.7 * i, 6.5));
      p.drawLine(QPointF(5, 9.7), QPointF(11, 9.7));
      break;
    case SettingsSection::history: {
      QPainterPath arc;
      arc.arcMoveTo(QRectF(2, 2, 12, 12), 200);
      arc.arcTo(QRectF(2, 2, 12, 12), 200, -320);
      p.drawPath(arc);
      p.drawLine(QPointF(1.8, 6), QPointF(2.4, 8.4));
      p.drawLine(QPointF(2.4, 8.4), QPointF(4.6, 7.4));
      p.drawLine(QPointF(8, 5), QPointF(8, 8.3));
      p.drawLine(QPointF(8, 8.3), QPointF(10.3, 9.6));
      break;
    }
    case SettingsSection::sharing: {
      QPainterPath plane;
      plane.moveTo(1.5, 7.5);
      plane.lineTo(14.5, 1.5);
      plane.lineTo(9.5, 14.5);
      plane.lineTo(7, 9);
      plane.closeSubpath();
      p.drawPath(plane);
      p.drawLine(QPointF(7, 9), QPointF(14.5, 1.5));
      break;
    }
    case SettingsSection::updates: {
      // Two arcs chasing each other round, each with its arrowhead.
      const QRectF r(2.5, 2.5, 11, 11);
      for (const qreal start : {20.0, 200.0}) {
        QPainterPath arc;
        arc.arcMoveTo(r, start);
        arc.arcTo(r, start, 135);
        p.drawPath(arc);
        const qreal end = qDegreesToRadians(start + 135);
        const QPointF tip = arc.currentPosition();
        const QPointF along(-std::sin(end), -std::cos(end));  // the way the arc runs, on screen
        for (const qreal turn : {0.6, -0.6}) {
          const QPointF back(-(along.x() * std::cos(turn) - along.y() * std::sin(turn)),
                             -(along.x() * std::sin(turn) + along.y() * std::cos(turn)));
          p.drawLine(tip, tip + 2.6 * back);
        }
      }
      break;
    }
    case SettingsSection::editor: {
      QPainterPath pencil;
      pencil.moveTo(2, 14);
      pencil.lineTo(3, 10.5);
      pencil.lineTo(11, 2.5);
      pencil.lineTo(13.5, 5);
      pencil.lineTo(5.5, 13);
      pencil.closeSubpath();
      p.drawPath(pencil);
      p.drawLine(QPointF(9.5, 4), QPointF(12, 6.5));
      break;
    }
    case SettingsSection::storage:
      p.drawRoundedRect(QRectF(1.5, 4.5, 13, 7), 2, 2);
      p.drawPoint(QPointF(11.5, 8));
      p.drawLine(QPointF(4, 8), QPointF(7.5, 8));
      break;
    case SettingsSection::privacy: {
      p.drawRoundedRect(QRectF(3, 7, 10, 7.5), 1.5, 1.5);
      QPainterPath shackle;
      shackle.moveTo(5, 7);
      shackle.lineTo(5, 5);
      shackle.arcTo(QRectF(5, 2, 6, 6), 180, -180);
      shackle.lineTo(11, 7);
      p.drawPath(shackle);
      p.drawLine(QPointF(8, 10), QPointF(8, 11.5));
      break;
    }
    case SettingsSection::about:
      p.drawEllipse(QPointF(8, 8), 6.5, 6.5);
      p.drawPoint(QPointF(8, 4.9));
      p.drawLine(QPointF(8, 7.2), QPointF(8, 11.6));
      break;
  }
}

std::vector<QString> themeNames(SettingsSection section) {
  switch (section) {
    case SettingsSection::general: return {"preferences-system", "emblem-system"};
    case SettingsSection::shortcuts: return {"input-keyboard", "preferences-desktop-keyboard"};
    case SettingsSection::history: return {"document-open-recent"};
    case SettingsSection::sharing: return {"mail-send", "document-send"};
    case SettingsSection::updates: return {"view-refresh", "system-software-update"};
    case SettingsSection::editor: return {"document-edit", "accessories-text-editor"};
    case SettingsSection::storage: return {"drive-harddisk"};
    case SettingsSection::privacy: return {"security-high", "system-lock-screen"};
    case SettingsSection::about: return {"help-about", "dialog-information"};
  }
  return {};
}

// A section's symbol on its own, for the placeholders.
class SectionSymbol : public QWidget {
 public:
  SectionSymbol(SettingsSection section, int size, const QColor& ink, QWidget* parent)
      : QWidget(parent), section_(section), ink_(ink) {
    setFixedSize(size, size);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    SettingsPanes::paintSymbol(p, section_, QRectF(rect()), ink_);
  }

 private:
  SettingsSection section_;
  QColor ink_;
};

}  // namespace

namespace SettingsPanes {

QString title(SettingsSection section) {
  switch (section) {
    case SettingsSection::general: return QStringLiteral("General");
    case SettingsSection::shortcuts: return QStringLiteral("Shortcuts");
    case SettingsSection::history: return QStringLiteral("History");
    case SettingsSection::sharing: return QStringLiteral("Sharing");
    case SettingsSection::updates: return QStringLiteral("Updates");
    case SettingsSection::editor: return QStringLiteral("Editor");
    case SettingsSection::storage: return QStringLiteral("Storage");
    case SettingsSection::privacy: return QStringLiteral("Privacy");
    case SettingsSection::about: return QStringLiteral("About");
  }
  return {};
}

void paintSymbol(QPainter& p, SettingsSection section, const QRectF& rect, const QColor& ink) {
  const qreal dpr = p.device() ? p.device()->devicePixelRatioF() : 1.0;
  const std::vector<QString> names = themeNames(section);
  // Symbolic icons are drawn in one colour, so they take the row's ink.
  for (const QString& name : names) {
    const QString symbolic = name + QStringLiteral("-symbolic");
    if (!QIcon::hasThemeIcon(symbolic)) continue;
    QPixmap pm = QIcon::fromTheme(symbolic).pixmap(rect.size().toSize(), dpr);
    QPainter tint(&pm);
    tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
    tint.fillRect(QRect(QPoint(0, 0), pm.size()), ink);
    tint.end();
    p.drawPixmap(rect.topLeft(), pm);
    return;
  }
  for (const QString& name : names) {
    if (!QIcon::hasThemeIcon(name)) continue;
    QIcon::fromTheme(name).paint(&p, rect.toAlignedRect());
    return;
  }
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  p.translate(rect.topLeft());
  p.scale(rect.width() / 16.0, rect.height() / 16.0);
  QPen pen(ink, 1.35, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  drawGlyph(p, section);
  p.restore();
}

QWidget* general(QWidget* parent) {
  auto* pane = new QWidget(parent);
  pane->setObjectName(QStringLiteral("generalPane"));
  QVBoxLayout* col = paneColumn(pane, QStringLiteral("General"), QStringLiteral("How Nimbo behaves when you capture."));
  std::vector<QWidget*> rows{
      settingRow(QStringLiteral("Launch at login"), QStringLiteral("Nimbo starts automatically when you sign in."),
                 settingToggle(Preferences::kLaunchAtLogin, false, AppVisibility::applyLaunchAtLogin, pane), pane)
          .widget,
      settingRow(QStringLiteral("Show in taskbar"),
                 QStringLiteral("Also show Nimbo's icon in the taskbar when it's running."),
                 settingToggle(Preferences::kShowInDock, false, AppVisibility::applyDockVisibility, pane), pane)
          .widget,
      settingRow(QStringLiteral("Sound on capture"), QStringLiteral("Play the classic shutter click."),
                 settingToggle(Preferences::kSoundOnCapture, true, nullptr, pane), pane)
          .widget,
  };
  col->addWidget(card(rows, pane));
  col->addStretch(1);
  return pane;
}

QWidget* shortcuts(QWidget* parent) {
  auto* pane = new QWidget(parent);
  pane->setObjectName(QStringLiteral("shortcutsPane"));
  const Hotkeys::Keeper keeper = Hotkeys::keeper();
  // Where nothing takes keys for us, the pane says which commands to bind
  // in the desktop's own keyboard settings instead of offering to rebind.
  const bool byCommands = keeper == Hotkeys::Keeper::nobody;
  QVBoxLayout* col = paneColumn(pane, QStringLiteral("Shortcuts"),
                                byCommands ? ShortcutCommandsNote::introText()
                                           : QStringLiteral("Click Rebind and press any combo with at least one modifier."));
  col->addWidget(new MetaLabel(QStringLiteral("Capture"), ink3, pane));
  col->addSpacing(8);
  std::vector<QWidget*> rows;
  const QStringList commands = ShortcutCommandsNote::commands();
  int i = 0;
  for (HotkeyAction action : kAllHotkeyActions) {
    QWidget* control;
    if (byCommands) {
      control = new QWidget;
      auto* h = new QHBoxLayout(control);
      h->setContentsMargins(0, 0, 0, 0);
      h->setSpacing(12);
      QLabel* command = text(commands[i], FontFamily::mono, 12, QFont::Medium, accent, control);
      command->setObjectName(QStringLiteral("command"));
      command->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
      command->setFocusPolicy(Qt::StrongFocus);
      command->setAccessibleName(actionTitle(action) + QStringLiteral(" command"));
      h->addWidget(command);
      for (const QString& cap : displayKeycaps(HotkeyStore::shared().effective(action)))
        h->addWidget(new Keycap(cap, KeycapSize::sm, false, control));
      control->setAccessibleName(actionTitle(action));
    } else {
      control = new HotkeyRecorder(action);
      control->setObjectName(QStringLiteral("recorder-") + actionId(action));
    }
    Row row = settingRow(actionTitle(action), actionDescription(action), control, pane);
    if (auto* recorder = qobject_cast<HotkeyRecorder*>(control)) {
      QLabel* message = wrapped(text(QString(), FontFamily::interface, 11, QFont::Medium, red, row.widget));
      message->setObjectName(QStringLiteral("message-") + actionId(action));
      message->hide();
      row.left->addWidget(message);
      QObject::connect(recorder, &HotkeyRecorder::reported, message, [message](const QString& m) {
        message->setText(m);
        message->setVisible(!m.isEmpty());
        message->setAccessibleName(m);
      });
    }
    rows.push_back(row.widget);
    ++i;
  }
  col->addWidget(card(rows, pane));
  col->addSpacing(12);
  if (keeper == Hotkeys::Keeper::desktop) {
    QLabel* note = wrapped(text(QStringLiteral("This desktop keeps global shortcuts itself: Nimbo offers these keys, "
                                               "and its keyboard settings have the last word."),
                                FontFamily::interface, 12, QFont::Normal, ink2, pane));
    note->setObjectName(QStringLiteral("desktopNote"));
    col->addWidget(note);
    col->addSpacing(6);
  } else if (byCommands) {
    col->addWidget(wrapped(text(ShortcutCommandsNote::suggestionText(), FontFamily::interface, 12, QFont::Normal, ink2, pane)));
    col->addSpacing(6);
  }
  col->addWidget(wrapped(text(QString::fromUtf8("More shortcuts — window capture, scrolling capture, recording, editor "
                                                "tools — land in a later release."),
                              FontFamily::interface, 12, QFont::Normal, ink3, pane)));
  col->addStretch(1);
  return pane;
}

QWidget* placeholder(SettingsSection section, QWidget* parent) {
  auto* pane = new QWidget(parent);
  pane->setObjectName(QStringLiteral("placeholderPane"));
  auto* col = new QVBoxLayout(pane);
  col->addStretch(1);
  col->addWidget(new SectionSymbol(section, 40, ink2, pane), 0, Qt::AlignHCenter);
  col->addSpacing(12);
  QLabel* t = text(title(section), FontFamily::display, 22, QFont::DemiBold, ink0, pane);
  t->setObjectName(QStringLiteral("paneTitle"));
  col->addWidget(t, 0, Qt::AlignHCenter);
  col->addSpacing(6);
  QLabel* line = text(QStringLiteral("This section lands in a later milestone."), FontFamily::interface, 13,
                      QFont::Normal, ink2, pane);
  line->setObjectName(QStringLiteral("placeholderText"));
  col->addWidget(line, 0, Qt::AlignHCenter);
  col->addStretch(1);
  return pane;
}

}  // namespace SettingsPanes

SharingPane::SharingPane(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("sharingPane"));
  QLabel* subtitle = nullptr;
  // The subtitle names the binding in use, not the default one.
  auto subtitleText = [] {
    return "Where Nimbo uploads screenshots when you use " + keysOf(HotkeyAction::captureAndUpload) + ".";
  };
  QVBoxLayout* col = paneColumn(this, QStringLiteral("Sharing"), subtitleText(), &subtitle);
  connect(&HotkeyStore::shared(), &HotkeyStore::shortcutsChanged, subtitle,
          [subtitle, subtitleText] { subtitle->setText(subtitleText()); });

  QLineEdit* server = field(QString::fromLatin1(Preferences::kDefaultUploadEndpoint), this);
  server->setObjectName(QStringLiteral("serverUrl"));
  server->setMinimumWidth(280);
  server->setText(Preferences::stringValue(Preferences::kUploadEndpoint));
  connect(server, &QLineEdit::textEdited, this,
          [](const QString& typed) { Preferences::setValue(Preferences::kUploadEndpoint, typed); });
  connect(&Preferences::notifier(), &PreferencesNotifier::changed, server, [server](const QString& key) {
    if (key == QLatin1String(Preferences::kUploadEndpoint) && !server->hasFocus())
      server->setText(Preferences::stringValue(Preferences::kUploadEndpoint));
  });
  Row serverRow = settingRow(QStringLiteral("Server URL"),
                             QStringLiteral("Where Nimbo sends your screenshots when you share them. Leave blank to "
                                            "keep captures on this computer only."),
                             server, this);

  auto* tokenControl = new QWidget;
  auto* th = new QHBoxLayout(tokenControl);
  th->setContentsMargins(0, 0, 0, 0);
  th->setSpacing(12);
  preview_ = text(QString(), FontFamily::mono, 12, QFont::Normal, ink1, tokenControl);
  preview_->setObjectName(QStringLiteral("tokenPreview"));
  th->addWidget(preview_);
  change_ = new NimboButton(QString::fromUtf8("Change…"), NimboButtonKind::ghost, NimboButtonSize::sm,
                            [this] { toggleTokenField(); }, tokenControl);
  change_->setObjectName(QStringLiteral("changeToken"));
  th->addWidget(change_);
  tokenControl->setAccessibleName(QStringLiteral("Device token"));
  Row tokenRow = settingRow(QStringLiteral("Device token"),
                            QString::fromUtf8("A random identifier Nimbo uses to talk to the server. Auto-generated on "
                                              "first use and stored in your keyring — you don't normally need to "
                                              "touch this."),
                            tokenControl, this);
  tokenLine_ = new QWidget(tokenRow.widget);
  auto* line = new QHBoxLayout(tokenLine_);
  line->setContentsMargins(0, 0, 0, 0);
  line->setSpacing(8);
  tokenField_ = field(QStringLiteral("Paste a device token"), tokenLine_);
  tokenField_->setObjectName(QStringLiteral("tokenField"));
  tokenField_->setEchoMode(QLineEdit::Password);
  tokenField_->setAccessibleName(QStringLiteral("New device token"));
  connect(tokenField_, &QLineEdit::returnPressed, this, &SharingPane::saveToken);
  line->addWidget(tokenField_, 1);
  auto* save = new NimboButton(QStringLiteral("Save"), NimboButtonKind::primary, NimboButtonSize::sm,
                               [this] { saveToken(); }, tokenLine_);
  save->setObjectName(QStringLiteral("saveToken"));
  save->setAccessibleName(QStringLiteral("Save device token"));
  line->addWidget(save);
  tokenRow.below->addWidget(tokenLine_);
  tokenLine_->hide();

  Row markdownRow = settingRow(
      QStringLiteral("Markdown embed on copy"),
      QString::fromUtf8("Wrap copied URLs in ![W×H](url) so GitHub, Notion, Obsidian, etc. render the image when you "
                        "paste."),
      settingToggle(Preferences::kMarkdownEmbedOnCopy, false, nullptr, this), this);

  col->addWidget(card({serverRow.widget, tokenRow.widget, markdownRow.widget}, this));
  col->addStretch(1);
}

bool SharingPane::tokenFieldOpen() const { return !tokenLine_->isHidden(); }

void SharingPane::setTokenFieldOpen(bool open) {
  tokenField_->clear();
  tokenLine_->setVisible(open);
  change_->setText(open ? QStringLiteral("Cancel") : QString::fromUtf8("Change…"));
  change_->setAccessibleName(open ? QStringLiteral("Cancel changing the device token")
                                  : QStringLiteral("Change the device token"));
  change_->updateGeometry();
  if (open) tokenField_->setFocus(Qt::OtherFocusReason);
}

void SharingPane::toggleTokenField() { setTokenFieldOpen(!tokenFieldOpen()); }

void SharingPane::saveToken() {
  const QString token = tokenField_->text().trimmed();
  if (token.isEmpty()) return;
  DeviceToken::set(token);
  preview_->setText(DeviceToken::maskedPreview(token));
  preview_->setAccessibleName(preview_->text());
  setTokenFieldOpen(false);
}

void SharingPane::showEvent(QShowEvent* event) {
  preview_->setText(DeviceToken::maskedPreview(DeviceToken::get()));
  preview_->setAccessibleName(preview_->text());
  setTokenFieldOpen(false);
  QWidget::showEvent(event);
}

int snapUpdateInterval(int seconds) {
  int chosen = 3600;
  for (const int option : {21600, 86400})
    if (std::abs(qint64(seconds) - option) < std::abs(qint64(seconds) - chosen)) chosen = option;
  return chosen;
}

QString relativeDateDescription(const QDateTime& when, const QDateTime& now) {
  const qint64 seconds = when.secsTo(now);  // > 0: in the past
  const qint64 span = std::abs(seconds);
  struct Unit {
    qint64 seconds;
    const char* one;
    const char* many;
  };
  static const Unit units[] = {{365 * 86400, "year", "years"}, {30 * 86400, "month", "months"},
                               {7 * 86400, "week", "weeks"},   {86400, "day", "days"},
                               {3600, "hour", "hours"},        {60, "minute", "minutes"},
                               {1, "second", "seconds"}};
  qint64 count = 0;
  const Unit* unit = &units[6];
  for (const Unit& u : units) {
    if (span >= u.seconds) {
      count = span / u.seconds;
      unit = &u;
      break;
    }
  }
  const QString amount = QString::number(count) + u' ' + QString::fromLatin1(count == 1 ? unit->one : unit->many);
  return seconds >= 0 ? amount + QStringLiteral(" ago") : QStringLiteral("in ") + amount;
}

QString lastCheckLabel(const std::optional<QDateTime>& last, const QDateTime& now) {
  if (!last) return QStringLiteral("Never checked");
  return QStringLiteral("Last checked ") + relativeDateDescription(*last, now);
}

QString versionLabel(const QString& version, const QString& build) {
  auto orUnknown = [](const QString& s) { return s.isEmpty() ? QStringLiteral("?") : s; };
  return QStringLiteral("Nimbo ") + orUnknown(version) + QStringLiteral(" (build ") + orUnknown(build) + u')';
}

UpdatesPane::UpdatesPane(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("updatesPane"));
  QVBoxLayout* col = paneColumn(this, QStringLiteral("Updates"), QStringLiteral("Keep Nimbo current without thinking about it."));
  Updater& updater = UpdateController::shared().updater();

  auto* versionControl = new QWidget;
  auto* vh = new QHBoxLayout(versionControl);
  vh->setContentsMargins(0, 0, 0, 0);
  vh->setSpacing(12);
  lastCheck_ = text(QString(), FontFamily::interface, 11, QFont::Normal, ink2, versionControl);
  lastCheck_->setObjectName(QStringLiteral("lastCheck"));
  vh->addWidget(lastCheck_);
  auto* check = new NimboButton(QStringLiteral("Check for Updates Now"), NimboButtonKind::ghost, NimboButtonSize::sm,
                                [] { UpdateController::shared().checkForUpdates(); }, versionControl);
  check->setObjectName(QStringLiteral("checkNow"));
  vh->addWidget(check);
  versionControl->setAccessibleName(QStringLiteral("Current version"));
  const UpdaterConfig& config = updater.config();
  Row versionRow = settingRow(QStringLiteral("Current version"), versionLabel(config.version, config.build),
                              versionControl, this);
  status_ = wrapped(text(QString(), FontFamily::interface, 11, QFont::Normal, ink1, versionRow.widget));
  status_->setObjectName(QStringLiteral("updateStatus"));
  versionRow.left->addWidget(status_);

  autoInstall_ = new NimboToggle(this);
  autoInstall_->setObjectName(QStringLiteral("autoInstall"));
  autoInstall_->setFocusPolicy(Qt::StrongFocus);
  connect(autoInstall_, &QAbstractButton::toggled, this,
          [](bool on) { UpdateController::shared().updater().setAutomaticallyDownloadsUpdates(on); });
  Row autoRow = settingRow(QStringLiteral("Install updates automatically"),
                           QStringLiteral("Download new versions in the background and notify you when one's ready "
                                          "to install."),
                           autoInstall_, this);

  interval_ = new QComboBox(this);
  interval_->setObjectName(QStringLiteral("checkFrequency"));
  interval_->setFont(nimboFont(FontFamily::interface, 12, QFont::Normal));
  interval_->addItem(QStringLiteral("Hourly"), 3600);
  interval_->addItem(QStringLiteral("Every 6 hours"), 21600);
  interval_->addItem(QStringLiteral("Daily"), 86400);
  interval_->setStyleSheet(
      QStringLiteral("QComboBox{background:%1;color:%2;border:1px solid %3;border-radius:6px;padding:4px 10px;}"
                     "QComboBox:focus{border-color:%4;}"
                     "QComboBox QAbstractItemView{background:%1;color:%2;selection-background-color:%5;}")
          .arg(bg0.name(), ink0.name(), line.name(), accent.name(), bg3.name()));
  connect(interval_, &QComboBox::activated, this, [this](int index) {
    UpdateController::shared().updater().setUpdateCheckInterval(interval_->itemData(index).toInt());
  });
  Row intervalRow = settingRow(QStringLiteral("Check frequency"), QString(), interval_, this);

  col->addWidget(card({versionRow.widget, autoRow.widget, intervalRow.widget}, this));
  col->addStretch(1);

  connect(&updater, &Updater::statusChanged, this, [this] { refresh(); });
  // The label's "… ago" moves on while the pane stays open.
  auto* tick = new QTimer(this);
  tick->setInterval(30000);
  connect(tick, &QTimer::timeout, this, [this] { refresh(); });
  tick->start();
}

void UpdatesPane::refresh() {
  Updater& updater = UpdateController::shared().updater();
  lastCheck_->setText(lastCheckLabel(updater.lastUpdateCheckDate(), QDateTime::currentDateTimeUtc()));
  QString status = updater.statusText();
  if (status.isEmpty() && updater.installKind() == InstallKind::systemPackage)
    status = QStringLiteral("Updates come through your system's package manager.");
  status_->setText(status);
  status_->setVisible(!status.isEmpty());
}

void UpdatesPane::showEvent(QShowEvent* event) {
  Updater& updater = UpdateController::shared().updater();
  {
    const QSignalBlocker quiet(autoInstall_);
    autoInstall_->setChecked(updater.automaticallyDownloadsUpdates());
  }
  const int stored = updater.updateCheckInterval();
  const int snapped = snapUpdateInterval(stored);
  if (snapped != stored) updater.setUpdateCheckInterval(snapped);
  interval_->setCurrentIndex(interval_->findData(snapped));
  refresh();
  QWidget::showEvent(event);
}

QString userDisplayName(const QString& gecos, const QString& loginName) {
  QString full = gecos.section(',', 0, 0);
  // The passwd convention: "&" in the full name stands for the login name,
  // capitalised.
  if (full.contains('&') && !loginName.isEmpty())
    full.replace('&', loginName.left(1).toUpper() + loginName.mid(1));
  full = full.trimmed();
  if (!full.isEmpty()) return full;
  const QString login = loginName.trimmed();
  return login.isEmpty() ? QStringLiteral("You") : login;
}

QString currentUserDisplayName() {
  std::array<char, 4096> buffer{};
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return userDisplayName(QString::fromLocal8Bit(found->pw_gecos ? found->pw_gecos : ""),
                           QString::fromLocal8Bit(found->pw_name ? found->pw_name : ""));
  return userDisplayName(QString(), qEnvironmentVariable("USER", qEnvironmentVariable("LOGNAME")));
}

}  // namespace nimbo
