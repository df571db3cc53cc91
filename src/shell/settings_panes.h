#pragma once
// The settings window's panes and the pieces they share: pane headers,
// rows in cards, and each section's title and symbol.
#include <QDateTime>
#include <QString>

#include <optional>
#include <QWidget>

#include "shell/settings_window.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPainter;
class QRectF;

namespace nimbo {

class NimboButton;
class NimboToggle;

namespace SettingsPanes {

QString title(SettingsSection section);
// Draws the section's symbol in `rect`: the icon theme's symbolic icon in
// `ink`, else its plain icon, else our own line drawing in `ink`.
void paintSymbol(QPainter& p, SettingsSection section, const QRectF& rect, const QColor& ink);

QWidget* general(QWidget* parent);
QWidget* shortcuts(QWidget* parent);
QWidget* placeholder(SettingsSection section, QWidget* parent);

}  // namespace SettingsPanes

// The Sharing pane: where uploads go, the device token, the Markdown embed.
// What it shows of the token is read again each time it is shown.
class SharingPane : public QWidget {
  Q_OBJECT
 public:
  explicit SharingPane(QWidget* parent = nullptr);
  // "Change…" / "Cancel": opens or closes the token field, emptied.
  void toggleTokenField();
  // Stores the typed token, trimmed, and shows it masked; blank input is
  // ignored and the field stays open.
  void saveToken();
  bool tokenFieldOpen() const;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void setTokenFieldOpen(bool open);
  QLabel* preview_ = nullptr;
  NimboButton* change_ = nullptr;
  QWidget* tokenLine_ = nullptr;
  QLineEdit* tokenField_ = nullptr;
};

// The Updates pane: the running version and the last check, automatic
// downloads and how often to check, all read again each time it is shown.
class UpdatesPane : public QWidget {
  Q_OBJECT
 public:
  explicit UpdatesPane(QWidget* parent = nullptr);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void refresh();
  QLabel* lastCheck_ = nullptr;
  QLabel* status_ = nullptr;
  NimboToggle* autoInstall_ = nullptr;
  QComboBox* interval_ = nullptr;
};

// The three check intervals offered, in seconds; any other value snaps to
// the nearest of them (a tie keeps the shorter).
int snapUpdateInterval(int seconds);
// "Never checked", or "Last checked " and how long ago, in words.
QString lastCheckLabel(const std::optional<QDateTime>& last, const QDateTime& now);
// "2 minutes ago", "in 3 hours", "yesterday"…: the whole words, no abbreviations.
QString relativeDateDescription(const QDateTime& when, const QDateTime& now);
// "Nimbo 0.1.0 (build 1)"; a missing part shows as "?".
QString versionLabel(const QString& version, const QString& build);

// The name on the user card: the account's full name (the first field of
// the passwd comment), else the login name, else "You".
QString userDisplayName(const QString& gecos, const QString& loginName);
QString currentUserDisplayName();

}  // namespace nimbo
