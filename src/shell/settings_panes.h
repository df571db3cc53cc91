#pragma once
// The settings window's panes and the pieces they share: pane headers,
// rows in cards, and each section's title and symbol.
#include <QString>
#include <QWidget>

#include "shell/settings_window.h"

class QLabel;
class QLineEdit;
class QPainter;
class QRectF;

namespace nimbo {

class NimboButton;

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

// The name on the user card: the account's full name (the first field of
// the passwd comment), else the login name, else "You".
QString userDisplayName(const QString& gecos, const QString& loginName);
QString currentUserDisplayName();

}  // namespace nimbo
