#include <QFileInfo>
#include <QLabel>
#include <QSettings>

#include "hot_key.h"
#include "key_combo.h"
#include "shell/app_visibility.h"
#include "shell/hotkey_store.h"
#include "shell/hotkeys.h"
#include "shell/shortcut_commands_note.h"
#include "shell/welcome_window.h"
#include "capture/capture_flow.h"
#include "support.h"

namespace nimbo {
namespace {

using namespace hotkey;
using test::logged;

// Grabs nothing; remembers what is registered.
class FakeBackend : public HotKeyBackend {
 public:
  struct Reg {
    uint32_t code, mods;
    EventHotKeyID id;
  };
  std::map<uintptr_t, Reg> live;
  int handlerInstalls = 0;
  uintptr_t next = 1;
  std::optional<uintptr_t> registerHotKey(uint32_t code, uint32_t mods, EventHotKeyID id) override {
    live[next] = {code, mods, id};
    return next++;
  }
  void unregisterHotKey(uintptr_t ref) override { live.erase(ref); }
  void installEventHandler() override { ++handlerInstalls; }
};

class HotkeyTest : public test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    Hotkeys::unregisterAllForTesting();
    HotkeyStore::resetSharedForTesting();
    auto b = std::make_unique<FakeBackend>();
    backend = b.get();
    HotKeysController::setBackend(std::move(b));
  }
  void TearDown() override {
    Hotkeys::unregisterAllForTesting();
    HotKeysController::setBackend(nullptr);
    PlatformTest::TearDown();
  }
  // The focused window is offered a shortcut's keys first: `press` presses recordToFile while it takes them,
  // then captureAndUpload while it lets them go.
  void expectTheFocusedWindowGetsTheFirstSay(const std::function<void(HotkeyAction)>& press) {
    using Offer = std::pair<int, Qt::KeyboardModifiers>;
    std::vector<Offer> offered;
    bool take = true;
    Hotkeys::setLocalKeyHandler([&](int key, Qt::KeyboardModifiers m) {
      offered.emplace_back(key, m);
      return take;
    });
    press(HotkeyAction::recordToFile);
    take = false;
    press(HotkeyAction::captureAndUpload);
    Hotkeys::setLocalKeyHandler(nullptr);
    EXPECT_EQ(offered, (std::vector<Offer>{{Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier},
                                           {Qt::Key_U, Qt::ShiftModifier | Qt::MetaModifier}}));
    EXPECT_TRUE(logged().contains("Nimbo: recordToFile keys taken by the focused window"));
    EXPECT_FALSE(logged().contains("Nimbo: recordToFile fired"));
    EXPECT_TRUE(logged().contains("Nimbo: captureAndUpload fired"));
    EXPECT_TRUE(test::waitUntil([] { return !CaptureFlow::captureInProgress(); }));
  }
  FakeBackend* backend = nullptr;
};

TEST(KeyTest, AllKeysRoundTripThroughTheirCodesAndUnknownCodesGiveNothing) {
  std::set<uint32_t> codes;
  for (int i = 0; i < kKeyCount; ++i) {
    const Key k = Key(i);
    const uint32_t code = carbonKeyCode(k);
    ASSERT_EQ(keyFromCarbonKeyCode(code), k) << keyName(k);
    codes.insert(code);
  }
  EXPECT_EQ(codes.size(), size_t(kKeyCount));
  // Stored in the settings: these numbers must never change.
  for (auto [key, code] : {std::pair{Key::a, 0u}, {Key::section, 10u}, {Key::grave, 50u}, {Key::f1, 122u},
                           {Key::upArrow, 126u}})
    EXPECT_EQ(carbonKeyCode(key), code) << keyName(key);
  EXPECT_FALSE(keyFromCarbonKeyCode(127));
  EXPECT_FALSE(keyFromCarbonKeyCode(0x5D));  // a Japanese-keyboard key
  EXPECT_EQ(keysym(Key::grave), 0x60u);
  EXPECT_EQ(keysym(Key::u), 0x75u);  // the unshifted symbol is what X grabs
  // What the focused window is offered: the Latin-1 keysym as Qt's key, and nothing beyond it.
  EXPECT_EQ(Hotkeys::qtKeys(Key::grave, ModifierFlags::control).first, Qt::Key_QuoteLeft);
  EXPECT_EQ(Hotkeys::qtKeys(Key::f5, 0).first, 0);
}

TEST(KeyComboTest, ModifierConversionsKeepOnlyTheFourModifiers) {
  const KeyCombo c(Key::u, ModifierFlags::shift | ModifierFlags::command | ModifierFlags::capsLock |
                               ModifierFlags::function | ModifierFlags::numericPad);
  EXPECT_EQ(c.carbonKeyCode, 32u);
  EXPECT_EQ(c.carbonModifiers, CarbonModifiers::shift | CarbonModifiers::command);
  EXPECT_EQ(c.modifiers(), ModifierFlags::shift | ModifierFlags::command);
  EXPECT_EQ(KeyCombo(Key::a, ModifierFlags::control | ModifierFlags::option).carbonModifiers, 0x1800u);
  EXPECT_EQ(KeyCombo::flagsFromCarbonModifiers(0x1B00),
            ModifierFlags::command | ModifierFlags::shift | ModifierFlags::option | ModifierFlags::control);
}

TEST_F(HotkeyTest, ControllerNumbersAreNeverReusedAndForeignEventsAreNotHandled) {
  int down = 0, up = 0;
  const uint32_t before = HotKeysController::hotKeysCount();
  auto a = std::make_unique<HotKey>(KeyCombo(Key::a, ModifierFlags::control), [&] { ++down; }, [&] { ++up; });
  const uint32_t first = HotKeysController::hotKeysCount();
  const EventHotKeyID ours{HotKeysController::eventHotKeySignature, first};
  EXPECT_EQ(first, before + 1);
  EXPECT_TRUE(a->isRegistered());
  EXPECT_EQ(HotKeysController::handleEvent(ours, 5), 0);
  EXPECT_EQ(HotKeysController::handleEvent(ours, 6), 0);
  EXPECT_EQ(down + up, 2);
  EXPECT_EQ(HotKeysController::handleEvent(EventHotKeyID{0x41424344, first}, 5), -9874);
  EXPECT_EQ(HotKeysController::handleEvent(std::nullopt, 5), -9874);
  EXPECT_EQ(HotKeysController::handleEvent(ours, 7), -9874);

  a.reset();
  EXPECT_TRUE(backend->live.empty());
  EXPECT_EQ(HotKeysController::handleEvent(ours, 5), -9874);
  HotKey b(KeyCombo(Key::b, 0));
  EXPECT_EQ(HotKeysController::hotKeysCount(), first + 1);
  EXPECT_EQ(backend->handlerInstalls, 1);  // installed once for the process

  // Registering an action twice leaves one grab for it.
  Hotkeys::registerAction(HotkeyAction::captureToClipboard);
  Hotkeys::registerAction(HotkeyAction::captureToClipboard);
  EXPECT_EQ(backend->live.size(), 2u);  // b's and the action's
}

// An unsupported stored key and a taken combination leaving the action unbound are checked on the desktop.
TEST_F(HotkeyTest, CapsLockInAStoredBindingRegistersTheSameCombinationAsWithout) {
  Preferences::setValue("hotkeyShortcuts",
                        QByteArray(R"({"recordToFile":{"keyCode":1,"modifiers":458752,"character":"s"}})"));
  HotkeyStore::resetSharedForTesting();
  Hotkeys::registerAction(HotkeyAction::recordToFile);
  ASSERT_EQ(backend->live.size(), 1u);
  EXPECT_EQ(backend->live.begin()->second.mods, CarbonModifiers::control | CarbonModifiers::shift);
}

TEST(HotkeyStoreTest, DecodingSkipsUnknownActionsAndFallsBackOnBadData) {
  auto m = HotkeyStore::decode(R"({"captureAndUpload":{"keyCode":7,"modifiers":1179648,"character":"x"},
                                   "paintTheHouse":{"keyCode":1,"modifiers":0,"character":"s"}})");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[HotkeyAction::captureAndUpload], (Shortcut{7, 0x120000, "x"}));
  EXPECT_TRUE(HotkeyStore::decode("not json").empty());
  EXPECT_TRUE(HotkeyStore::decode(R"({"captureAndUpload":{"keyCode":7,"modifiers":0}})").empty());
  EXPECT_TRUE(HotkeyStore::decode(R"({"captureAndUpload":{"keyCode":70000,"modifiers":0,"character":""}})").empty());
  EXPECT_TRUE(HotkeyStore::decode("[]").empty());
  const auto round = HotkeyStore::decode(HotkeyStore::encode({{HotkeyAction::recordToFile, {1, 0x60000, "S"}}}));
  EXPECT_EQ(round.at(HotkeyAction::recordToFile), (Shortcut{1, 0x60000, "S"}));
}

TEST(ShortcutTextTest, KeycapsAndParsing) {
  EXPECT_EQ(displayKeycaps(Shortcut{0, 0x1E0000, ""}), QStringList({"Ctrl", "Alt", "Shift", "Super", "?"}));
  EXPECT_EQ(displayKeycaps(Shortcut{0, 0, "q"}), QStringList({"Q"}));
  EXPECT_EQ(parseShortcut("ctrl+shift+r"), (Shortcut{15, 0x60000, "R"}));
  EXPECT_EQ(parseShortcut("Super+F5")->keyCode, 0x60);
  EXPECT_EQ(parseShortcut("Alt+`")->keyCode, 50);
  EXPECT_FALSE(parseShortcut("Hyper+X"));
  EXPECT_FALSE(parseShortcut("Ctrl+Nope"));
}

class ShellTest : public test::PlatformTest {};

TEST_F(ShellTest, LegacyEndpointMovesToTheDefaultAndOthersStay) {
  Preferences::registerDefaults();
  EXPECT_FALSE(Preferences::contains("uploadEndpoint"));
  for (auto [stored, after] : {std::pair{"  http://localhost:8787/\t", "http://127.0.0.1:8787/"},
                               {" https://share.example.org/ ", " https://share.example.org/ "}}) {
    Preferences::setValue("uploadEndpoint", stored);
    Preferences::registerDefaults();
    EXPECT_EQ(Preferences::store().value("uploadEndpoint").toString(), after);
  }
}

// Writing and removing the entry is checked on the desktop.
TEST_F(ShellTest, LaunchAtLoginReportsAnEntryItCannotWrite) {
  // An autostart "folder" that is a file cannot take the entry.
  const QString folder = QFileInfo(AppVisibility::autostartPath()).path();
  QDir().mkpath(folder + "/..");
  QDir(folder).removeRecursively();
  QFile blocker(folder);
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  Preferences::setValue("launchAtLogin", true);
  AppVisibility::applyLaunchAtLogin();
  blocker.remove();
  ASSERT_FALSE(logged().isEmpty());
  EXPECT_TRUE(logged().last().startsWith("Nimbo: launch-at-login change failed: ")) << logged().last().toStdString();
}

TEST(PortalTriggerTest, StoredShortcutsBecomeTheDesktopsTriggerText) {
  EXPECT_EQ(Hotkeys::portalTrigger(*parseShortcut("Super+Shift+Alt+Ctrl+F12")), "CTRL+ALT+SHIFT+LOGO+F12");
  EXPECT_EQ(Hotkeys::portalTrigger(*parseShortcut("Ctrl+Space")), "CTRL+space");
  EXPECT_EQ(Hotkeys::portalTrigger(*parseShortcut("Ctrl+PageUp")), "CTRL+Page_Up");
  // Keys XKB has no name for offer no trigger; the user picks one.
  EXPECT_EQ(Hotkeys::portalTrigger(Shortcut{quint16(carbonKeyCode(Key::function)), ModifierFlags::control, ""}), "");
  EXPECT_EQ(Hotkeys::portalTrigger(Shortcut{127, ModifierFlags::control, "x"}), "");
}

class DesktopShortcutsTest : public HotkeyTest {
 protected:
  void SetUp() override {
    HotkeyTest::SetUp();
    auto shortcuts = std::make_unique<fake::FakeSystemShortcuts>();
    desktop = shortcuts.get();
    platform().systemShortcuts = std::move(shortcuts);
  }
  void registerAll() {
    const size_t before = desktop->offers.size();
    for (HotkeyAction a : kAllHotkeyActions) Hotkeys::registerAction(a);
    EXPECT_EQ(desktop->offers.size(), before);  // not before the event loop turns
    ASSERT_TRUE(test::waitUntil([&] { return desktop->offers.size() > before; }));
  }
  fake::FakeSystemShortcuts* desktop = nullptr;
};

TEST_F(DesktopShortcutsTest, AllFourAreOfferedOnceAndTheDesktopsAnswerDecidesWhatIsBound) {
  registerAll();
  QCoreApplication::processEvents();
  ASSERT_EQ(desktop->offers.size(), 1u);
  const std::vector<SystemShortcuts::Binding>& offer = desktop->offers[0];
  ASSERT_EQ(offer.size(), 4u);
  const char* ids[] = {"captureToClipboard", "captureAndUpload", "recordAndUpload", "recordToFile"};
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(offer[i].id, ids[i]);
  EXPECT_EQ(offer[0].preferredTrigger, "CTRL+grave");
  EXPECT_TRUE(backend->live.empty());  // nothing grabbed by us
  EXPECT_FALSE(Hotkeys::isBound(HotkeyAction::captureToClipboard));

  desktop->answer(std::vector<QString>{"captureToClipboard", "recordAndUpload", "recordToFile"});
  EXPECT_TRUE(Hotkeys::isBound(HotkeyAction::captureToClipboard));
  EXPECT_FALSE(Hotkeys::isBound(HotkeyAction::captureAndUpload));
  EXPECT_TRUE(Hotkeys::isBound(HotkeyAction::recordToFile));
  EXPECT_TRUE(logged().contains("Nimbo: not bound by the desktop (set them in its shortcut settings): captureAndUpload"));

  // New keys go out as a whole new offer, unbound until answered; an answer to an older offer counts no more.
  HotkeyStore::shared().rebind(HotkeyAction::captureToClipboard, *parseShortcut("Shift+Super+X"));
  ASSERT_TRUE(test::waitUntil([&] { return desktop->offers.size() == 2; }));
  ASSERT_EQ(desktop->offers[1].size(), 4u);
  EXPECT_EQ(desktop->offers[1][0].preferredTrigger, "SHIFT+LOGO+x");
  EXPECT_FALSE(Hotkeys::isBound(HotkeyAction::recordToFile));
  auto stale = std::move(desktop->pending);
  HotkeyStore::shared().rebind(HotkeyAction::captureToClipboard, std::nullopt);
  ASSERT_TRUE(test::waitUntil([&] { return desktop->offers.size() == 3; }));
  stale(std::vector<QString>{"captureToClipboard"});
  EXPECT_FALSE(Hotkeys::isBound(HotkeyAction::captureToClipboard));
  desktop->answer(platformError(PlatformErrorCode::permissionDenied, "the user cancelled"));
  for (HotkeyAction a : kAllHotkeyActions) EXPECT_FALSE(Hotkeys::isBound(a));
  EXPECT_TRUE(logged().contains("Nimbo: the desktop bound no shortcuts: the user cancelled"));

  // The desktop's settings have the last word: a new binding is kept though nothing is bound yet.
  EXPECT_TRUE(HotkeyStore::shared().tryRebind(HotkeyAction::recordToFile, *parseShortcut("Ctrl+Alt+S")));
  EXPECT_EQ(HotkeyStore::shared().effective(HotkeyAction::recordToFile), *parseShortcut("Ctrl+Alt+S"));
}

TEST_F(DesktopShortcutsTest, APressTheDesktopReportsTakesTheSamePathAsAGrabbedOne) {
  registerAll();
  desktop->answer(std::vector<QString>{"captureToClipboard", "captureAndUpload", "recordAndUpload", "recordToFile"});
  ASSERT_TRUE(desktop->activated);
  expectTheFocusedWindowGetsTheFirstSay([&](HotkeyAction a) {
    desktop->activated("paintTheHouse");  // an id of no action: logged, never offered
    desktop->activated(actionId(a));
  });
  EXPECT_TRUE(logged().contains("Nimbo: the desktop pressed an unknown shortcut paintTheHouse"));
}

TEST_F(HotkeyTest, WithoutKeyGrabsOrADesktopThatKeepsShortcutsNothingIsBound) {
  HotKeysController::setBackend(nullptr);
  Hotkeys::registerAction(HotkeyAction::recordToFile);
  EXPECT_FALSE(Hotkeys::isBound(HotkeyAction::recordToFile));
  EXPECT_TRUE(logged().contains("Nimbo: no global shortcut for recordToFile on this session"));
  EXPECT_FALSE(Hotkeys::desktopKeepsShortcuts());
}

// That the welcome stays out of the taskbar and goes for good once agreed is checked on the desktop.
TEST_F(ShellTest, TheWelcomeShowsUntilAgreedAndTheCommandsNoteComesOnceAfterIt) {
  WelcomeAgreement::resetForTesting();
  ShortcutCommandsNote::resetForTesting();
  WelcomeAgreement::presentIfNeeded();
  ShortcutCommandsNote::presentIfNeeded();
  const QString commandsLine =
      "Nimbo: this desktop keeps no global shortcuts for applications; bind these commands in its keyboard settings: "
      "nimbo capture-to-clipboard, nimbo capture-and-upload, nimbo record-and-upload, nimbo record-to-file";
  EXPECT_TRUE(logged().contains(commandsLine));
  EXPECT_FALSE(ShortcutCommandsNote::window());  // not on top of the welcome window

  WelcomeWindow* welcome = WelcomeAgreement::window();
  ASSERT_TRUE(welcome && welcome->isVisible());
  welcome->close();  // closing without agreeing records nothing
  EXPECT_FALSE(WelcomeAgreement::agreed());
  ShortcutCommandsWindow* w = ShortcutCommandsNote::window();
  ASSERT_TRUE(w && w->isVisible());
  QStringList shown;
  for (QLabel* l : w->findChildren<QLabel*>("command")) shown << l->text();
  EXPECT_EQ(shown, ShortcutCommandsNote::commands());
  EXPECT_TRUE(Preferences::boolValue(Preferences::kShortcutCommandsNoteShown, false));
  QTest::keyClick(w, Qt::Key_Return);
  EXPECT_FALSE(w->isVisible());

  // The welcome comes back until agreed; the agreement is its time.
  WelcomeAgreement::presentIfNeeded();
  EXPECT_TRUE(welcome->isVisible());
  QTest::keyClick(welcome, Qt::Key_Return);
  EXPECT_FALSE(welcome->isVisible());
  const std::optional<QDateTime> at = parseIsoDate(Preferences::stringValue("nimbo.welcomeAgreedAt"));
  EXPECT_TRUE(at && std::abs(at->secsTo(QDateTime::currentDateTimeUtc())) <= 5);

  // Later starts only log the commands.
  ShortcutCommandsNote::resetForTesting();
  logged().clear();
  ShortcutCommandsNote::presentIfNeeded();
  EXPECT_FALSE(ShortcutCommandsNote::window());
  EXPECT_TRUE(logged().contains(commandsLine));
  WelcomeAgreement::resetForTesting();
}

}  // namespace
}  // namespace nimbo
