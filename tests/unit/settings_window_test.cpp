#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QStackedWidget>

#include <set>

#include "hot_key.h"
#include "key_combo.h"
#include "sharing/device_token.h"
#include "shell/app_visibility.h"
#include "shell/hotkey_recorder.h"
#include "shell/hotkey_store.h"
#include "shell/hotkeys.h"
#include "shell/settings_panes.h"
#include "shell/settings_window.h"
#include "shell/shortcut_commands_note.h"
#include "support.h"
#include "ui/design_system.h"

namespace nimbo {
namespace {

using namespace hotkey;

// Grabs nothing: remembers what is registered, refuses what it is told is taken, and knows what a few
// hardware keys type without Shift.
class RecordingBackend : public HotKeyBackend {
 public:
  std::set<uintptr_t> live;
  std::set<std::pair<uint32_t, uint32_t>> taken;
  std::map<uint32_t, uint32_t> baseSyms;
  uintptr_t next = 1;
  std::optional<uintptr_t> registerHotKey(uint32_t code, uint32_t mods, EventHotKeyID) override {
    if (taken.count({code, mods})) return std::nullopt;
    live.insert(next);
    return next++;
  }
  void unregisterHotKey(uintptr_t ref) override { live.erase(ref); }
  void installEventHandler() override {}
  uint32_t baseKeysym(uint32_t keycode) const override {
    auto it = baseSyms.find(keycode);
    return it == baseSyms.end() ? 0 : it->second;
  }
};

RecordedKeyPress press(int key, Qt::KeyboardModifiers mods = {}, quint32 keycode = 0, quint32 keysym = 0) {
  return {key, mods, keycode, keysym};
}

constexpr auto kCtrl = Qt::ControlModifier;
constexpr auto kShift = Qt::ShiftModifier;
constexpr auto kAlt = Qt::AltModifier;
constexpr auto kSuper = Qt::MetaModifier;

// Shift alone or no modifier keeps waiting, Escape cancels; what is taken becomes a stored shortcut.
TEST(KeyCaptureTest, PressesNeedAModifierBesideShiftAndBecomeStoredShortcuts) {
  using O = KeyCapture::Outcome;
  const struct {
    RecordedKeyPress press;
    O outcome;
    Shortcut shortcut;
  } cases[] = {
      {press(Qt::Key_K), O::keepWaiting, {}},
      {press(Qt::Key_K, kShift), O::keepWaiting, {}},
      {press(Qt::Key_F5), O::keepWaiting, {}},
      {press(Qt::Key_Control, kCtrl), O::keepWaiting, {}},  // on the way to a combination
      {press(Qt::Key_Escape, kCtrl | kShift), O::cancel, {}},
      {press(Qt::Key_Print, kCtrl), O::unsupported, {}},
      {press(Qt::Key_K, kCtrl | kShift), O::accept, {0x28, 0x60000, "K"}},
      {press(Qt::Key_QuoteLeft, kCtrl), O::accept, defaultShortcut(HotkeyAction::captureToClipboard)},
      {press(Qt::Key_F5, kAlt), O::accept, {0x60, 0x80000, "F5"}},
      {press(Qt::Key_1, kCtrl | Qt::KeypadModifier), O::accept, {0x53, 0x40000, "KP1"}},
      {press(Qt::Key_Space, kSuper), O::accept, {0x31, 0x100000, "Space"}},
  };
  for (const auto& c : cases) {
    const KeyCapture k = captureKeyPress(c.press);
    EXPECT_EQ(k.outcome, c.outcome) << c.press.qtKey;
    EXPECT_EQ(k.shortcut, c.shortcut) << c.press.qtKey;
  }
}

// Shift+1 types "!", which no key is named: with the keyboard map the key is "1", without it unusable.
TEST(KeyCaptureTest, TheKeyIsNamedByWhatItTypesWithoutShift) {
  EXPECT_EQ(captureKeyPress(press(Qt::Key_K, kCtrl | kShift, 45, 0x4b)).shortcut.keyCode, 0x28);
  HotKeysController::setBackend(nullptr);
  EXPECT_EQ(captureKeyPress(press(Qt::Key_Exclam, kCtrl | kShift, 10, 0x21)).outcome,
            KeyCapture::Outcome::unsupported);
  auto b = std::make_unique<RecordingBackend>();
  b->baseSyms[10] = '1';
  HotKeysController::setBackend(std::move(b));
  EXPECT_EQ(captureKeyPress(press(Qt::Key_Exclam, kCtrl | kShift, 10, 0x21)).shortcut, (Shortcut{0x12, 0x60000, "1"}));
  HotKeysController::setBackend(nullptr);
}

class SettingsWindowTest : public test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    SettingsWindow::resetForTesting();
    Hotkeys::unregisterAllForTesting();
    HotkeyStore::resetSharedForTesting();
    auto b = std::make_unique<RecordingBackend>();
    backend = b.get();
    HotKeysController::setBackend(std::move(b));
    for (HotkeyAction a : kAllHotkeyActions) Hotkeys::registerAction(a);
  }
  void TearDown() override {
    SettingsWindow::resetForTesting();
    Hotkeys::unregisterAllForTesting();
    HotKeysController::setBackend(nullptr);
    platform().systemShortcuts.reset();
    PlatformTest::TearDown();
  }
  // No X11 grabs: with `desktop` the desktop keeps shortcuts, else there is no way to bind keys.
  void withoutGrabs(bool desktop) {
    Hotkeys::unregisterAllForTesting();
    HotKeysController::setBackend(nullptr);
    backend = nullptr;
    if (desktop) platform().systemShortcuts = std::make_unique<fake::FakeSystemShortcuts>();
  }
  QWidget* open(SettingsSection section) {
    SettingsWindow::show(section);
    QWidget* w = SettingsWindow::window();
    w->activateWindow();
    (void)QTest::qWaitForWindowActive(w, 1000);
    QCoreApplication::processEvents();
    return w;
  }
  QWidget* currentPage() { return SettingsWindow::window()->findChild<QStackedWidget*>("detail")->currentWidget(); }
  template <class T>
  T* inPage(const QString& name) {
    return currentPage()->findChild<T*>(name);
  }
  HotkeyRecorder* recorder(HotkeyAction a) { return inPage<HotkeyRecorder>("recorder-" + actionId(a)); }
  void key(int k, Qt::KeyboardModifiers mods = {}) {
    QWidget* focus = QApplication::focusWidget() ? QApplication::focusWidget() : SettingsWindow::window();
    QTest::keyClick(focus, Qt::Key(k), mods);
  }
  void storeToken(const QByteArray& token) {
    fakes.secrets->items[{DeviceToken::kService, DeviceToken::kAccount}] = token;
  }
  QString shownToken() { return inPage<QLabel>("tokenPreview")->text(); }
  QByteArray storedToken() {
    return fakes.secrets->read(DeviceToken::kService, DeviceToken::kAccount).value_or("(none)");
  }
  RecordingBackend* backend = nullptr;
};

// Title, size and place are checked on the desktop.
TEST_F(SettingsWindowTest, OpensWhereAskedAndElseOnTheSectionLastShown) {
  QWidget* w = open(SettingsSection::general);
  auto* list = w->findChild<QListWidget*>("sections");
  list->setFocus();
  for (int i = 0; i < 3; ++i) QTest::keyClick(list, Qt::Key_Down);  // arrows walk the sidebar
  EXPECT_TRUE(currentPage()->findChild<QWidget*>("sharingPane"));
  // Closed on Sharing, reopened without a section: Sharing again, in the same window.
  w->close();
  EXPECT_FALSE(SettingsWindow::isVisible());
  SettingsWindow::show();
  EXPECT_EQ(SettingsWindow::currentSection(), SettingsSection::sharing);
  EXPECT_EQ(list->currentRow(), 3);
  EXPECT_EQ(SettingsWindow::window(), w);
}

TEST_F(SettingsWindowTest, GeneralTogglesWriteTheirSettingsAndApplyThemAtOnce) {
  QWidget* w = open(SettingsSection::general);
  auto* launch = inPage<NimboToggle>("launchAtLogin");
  auto* taskbar = inPage<NimboToggle>("showInDock");
  auto* sound = inPage<NimboToggle>("soundOnCapture");
  ASSERT_TRUE(launch && taskbar && sound);
  fakes.workspace->taskbar.clear();
  taskbar->click();
  EXPECT_TRUE(Preferences::boolValue(Preferences::kShowInDock, false));
  EXPECT_EQ(fakes.workspace->taskbar[w->winId()], true);
  taskbar->click();
  EXPECT_EQ(fakes.workspace->taskbar[w->winId()], false);
  launch->click();
  EXPECT_TRUE(QFile::exists(AppVisibility::autostartPath()));
  launch->click();
  EXPECT_FALSE(QFile::exists(AppVisibility::autostartPath()));
  // Space on the focused toggle; a change made elsewhere shows.
  sound->setFocus();
  QTest::keyClick(sound, Qt::Key_Space);
  EXPECT_FALSE(Preferences::boolValue(Preferences::kSoundOnCapture, true));
  Preferences::setValue(Preferences::kSoundOnCapture, true);
  EXPECT_TRUE(sound->isChecked());
}

// What is grabbed, stored and fired while and after a rebind, with Escape and Reset, is checked on the desktop.
TEST_F(SettingsWindowTest, ARebindShowsTheNewKeysAndResetIsOnlyForCustomKeys) {
  QWidget* w = open(SettingsSection::shortcuts);
  HotkeyRecorder* r = recorder(HotkeyAction::captureToClipboard);
  auto* reset = r->findChild<NimboButton*>("reset");
  EXPECT_FALSE(reset->isVisible());  // the default is in use
  r->findChild<NimboButton*>("rebind")->click();
  ASSERT_TRUE(r->isRecording());
  key(Qt::Key_W, kCtrl);  // the window's own Ctrl+W does not take it
  EXPECT_TRUE(w->isVisible());
  EXPECT_FALSE(r->isRecording());
  EXPECT_EQ(r->shownKeycaps(), (QStringList{"Ctrl", "W"}));
  EXPECT_TRUE(reset->isVisible());
  reset->click();
  EXPECT_FALSE(reset->isVisible());
  EXPECT_EQ(r->shownKeycaps(), (QStringList{"Ctrl", "`"}));
}

TEST_F(SettingsWindowTest, CancelAndLeavingTheWindowEndRecordingAndGiveTheShortcutsBack) {
  open(SettingsSection::shortcuts);
  HotkeyRecorder* r = recorder(HotkeyAction::recordAndUpload);
  r->startRecording();
  r->findChild<NimboButton*>("rebind")->click();  // "Cancel"
  EXPECT_FALSE(r->isRecording());
  EXPECT_EQ(backend->live.size(), 4u);
  // One recorder at a time: starting another ends the first.
  r->startRecording();
  HotkeyRecorder* other = recorder(HotkeyAction::recordToFile);
  other->startRecording();
  EXPECT_FALSE(r->isRecording());
  EXPECT_EQ(HotkeyRecorder::active(), other);
  // Hiding the window ends it and gives the shortcuts back.
  SettingsWindow::window()->close();
  EXPECT_FALSE(other->isRecording());
  EXPECT_FALSE(Hotkeys::isSuspended());
  EXPECT_EQ(backend->live.size(), 4u);
}

// The refusal, the old keys still firing and a free combination taken: on the desktop. Here, what the pane says.
TEST_F(SettingsWindowTest, ACombinationAnotherClientHoldsIsReportedAndThePreviousBindingStays) {
  open(SettingsSection::shortcuts);
  backend->taken.insert({0x11, CarbonModifiers::control | CarbonModifiers::option});  // Ctrl+Alt+T
  HotkeyRecorder* r = recorder(HotkeyAction::recordAndUpload);
  r->startRecording();
  key(Qt::Key_T, kCtrl | kAlt);
  EXPECT_FALSE(r->isRecording());
  auto* m = inPage<QLabel>("message-" + actionId(HotkeyAction::recordAndUpload));
  ASSERT_TRUE(m && m->isVisible());
  EXPECT_TRUE(m->text().endsWith("Ctrl+Shift+R stays.")) << m->text().toStdString();
  // The next attempt clears the message, and a free combination brings none.
  r->startRecording();
  EXPECT_FALSE(m->isVisible());
  key(Qt::Key_Y, kCtrl | kAlt);
  EXPECT_FALSE(m->isVisible());
}

TEST_F(SettingsWindowTest, WhereTheDesktopKeepsShortcutsTheRecorderChangesTheOfferedKeys) {
  withoutGrabs(true);
  open(SettingsSection::shortcuts);
  EXPECT_TRUE(inPage<QLabel>("desktopNote"));
  HotkeyRecorder* r = recorder(HotkeyAction::captureAndUpload);
  r->startRecording();
  EXPECT_FALSE(Hotkeys::isSuspended());  // nothing of ours to let go
  key(Qt::Key_P, kCtrl | kSuper);
  EXPECT_EQ(Hotkeys::portalTrigger(HotkeyStore::shared().effective(HotkeyAction::captureAndUpload)), "CTRL+LOGO+p");
}

TEST_F(SettingsWindowTest, WithoutAnyWayToBindKeysThePaneNamesTheCommands) {
  withoutGrabs(false);
  open(SettingsSection::shortcuts);
  EXPECT_TRUE(currentPage()->findChildren<HotkeyRecorder*>().isEmpty());
  QStringList commands;
  for (QLabel* l : currentPage()->findChildren<QLabel*>("command")) commands << l->text();
  EXPECT_EQ(commands, ShortcutCommandsNote::commands());
}

// How a token is masked is checked on DeviceToken (share_client_test.cpp).
TEST_F(SettingsWindowTest, TheTokenIsShownMaskedAndAPastedOneIsSavedTrimmed) {
  storeToken("abcdefghi");
  open(SettingsSection::sharing);
  auto* pane = inPage<SharingPane>("sharingPane");
  auto* change = inPage<NimboButton>("changeToken");
  auto* field = inPage<QLineEdit>("tokenField");
  change->click();
  EXPECT_EQ(field->echoMode(), QLineEdit::Password);
  // Blank input is ignored and the field stays open.
  field->setText("  \t \n");
  inPage<NimboButton>("saveToken")->click();
  EXPECT_TRUE(pane->tokenFieldOpen());
  EXPECT_EQ(storedToken(), "abcdefghi");
  field->setText("  new-device-token-1234\n");
  QTest::keyClick(field, Qt::Key_Return);
  EXPECT_EQ(storedToken(), "new-device-token-1234");
  EXPECT_EQ(shownToken(), QString(8, QChar(0x2022)) + "1234");
  EXPECT_FALSE(pane->tokenFieldOpen());
  // "Cancel" closes the field and forgets what was typed.
  change->click();
  QTest::keyClicks(field, "half-typed");
  change->click();
  EXPECT_FALSE(pane->tokenFieldOpen());
  EXPECT_TRUE(field->text().isEmpty());
  // Shown again, the pane reads the keyring again.
  storeToken("zyxwvutsrq");
  open(SettingsSection::general);
  open(SettingsSection::sharing);
  EXPECT_EQ(shownToken(), QString(8, QChar(0x2022)) + "tsrq");
}

TEST_F(SettingsWindowTest, ServerFieldAndMarkdownToggleWriteTheirSettings) {
  open(SettingsSection::sharing);
  auto* server = inPage<QLineEdit>("serverUrl");
  server->selectAll();
  QTest::keyClicks(server, "https://share.example.org/");
  EXPECT_EQ(Preferences::stringValue(Preferences::kUploadEndpoint), "https://share.example.org/");
  server->selectAll();
  QTest::keyClick(server, Qt::Key_Delete);
  EXPECT_TRUE(Preferences::contains(Preferences::kUploadEndpoint));
  EXPECT_EQ(Preferences::stringValue(Preferences::kUploadEndpoint), "");  // no server
  inPage<NimboToggle>("markdownEmbedOnCopy")->click();
  EXPECT_TRUE(Preferences::boolValue(Preferences::kMarkdownEmbedOnCopy, false));
}

TEST(UserNameTest, FullNameFromThePasswdCommentElseTheLoginElseYou) {
  EXPECT_EQ(userDisplayName("Ada Lovelace,Room 1,555-0100,,", "ada"), "Ada Lovelace");
  EXPECT_EQ(userDisplayName("  Ada Lovelace  ", "ada"), "Ada Lovelace");
  EXPECT_EQ(userDisplayName(",,,", "ada"), "ada");
  EXPECT_EQ(userDisplayName(" , ", "  "), "You");
  EXPECT_EQ(userDisplayName("& Hopper", "grace"), "Grace Hopper");
}

// Every control says what it is to assistive technologies.
TEST_F(SettingsWindowTest, EveryControlHasAnAccessibleName) {
  QWidget* w = nullptr;
  for (SettingsSection s : {SettingsSection::general, SettingsSection::shortcuts, SettingsSection::sharing})
    w = open(s);
  inPage<NimboButton>("changeToken")->click();
  int checked = 0;
  for (QWidget* c : w->findChildren<QWidget*>()) {
    const bool recorder = qobject_cast<HotkeyRecorder*>(c);
    const bool control =
        qobject_cast<QAbstractButton*>(c) || qobject_cast<QLineEdit*>(c) || qobject_cast<QListWidget*>(c);
    if (!recorder && (!control || c->focusPolicy() == Qt::NoFocus)) continue;
    EXPECT_FALSE(QAccessible::queryAccessibleInterface(c)->text(QAccessible::Name).isEmpty())
        << c->metaObject()->className() << " " << c->objectName().toStdString();
    ++checked;
  }
  EXPECT_GE(checked, 20);
}

}  // namespace
}  // namespace nimbo
