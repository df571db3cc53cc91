// The popover, the history grid and the capture menu, on the fakes and the
// offscreen platform: what they show for a given history and what each entry
// does.
#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QTimer>

#include "capture/pasteboard.h"
#include "capture/png_image.h"
#include "recording/recording_state.h"
#include "shell/capture_menu.h"
#include "shell/capture_tile.h"
#include "shell/history_view.h"
#include "shell/hotkey_store.h"
#include "shell/popover.h"
#include "support.h"
#include "ui/design_system.h"
#include "ui/upload_toast.h"

namespace nimbo {
namespace {

using test::waitUntil;

// A PNG of one colour.
QByteArray png(QSize size) {
  QImage img(size, QImage::Format_RGB32);
  img.fill(QColor(90, 140, 200));
  return encodePng(img);
}

class ViewsTest : public test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    ThumbnailCache::shared().clear();
  }
  void TearDown() override {
    if (RecordingState::shared().isRecording()) RecordingState::shared().end();
    PlatformTest::TearDown();
  }
  CaptureHistory& history() { return CaptureHistory::shared(); }

  CaptureItem addImage(QSize size = {1280, 800}, std::optional<QString> link = std::nullopt) {
    CaptureItem item = CaptureItem::newImage(size.width(), size.height());
    item.shareURL = link;
    EXPECT_TRUE(history().add(item, png(size), png(size.scaled(320, 320, Qt::KeepAspectRatio))));
    return item;
  }
  CaptureItem addVideo(std::optional<QString> link, bool withFile, std::optional<qint64> durationMS = 65000,
                       bool withPath = true) {
    CaptureItem item = CaptureItem::newImage(1920, 1080);
    item.mediaType = MediaType::video;
    item.durationMS = durationMS;
    item.shareURL = link;
    const QString dir = history().appSupportDir() + "/recordings";
    QDir().mkpath(dir);
    if (withPath) item.videoPath = dir + '/' + item.id + ".mp4";
    if (withPath && withFile) {
      QFile f(*item.videoPath);
      EXPECT_TRUE(f.open(QIODevice::WriteOnly));
      f.write("not really an mp4, but a file");
    }
    EXPECT_TRUE(history().add(item, std::nullopt, png({320, 180})));
    return item;
  }

  QString clipboardText() { return fakes.clipboard->data ? fakes.clipboard->data->text() : QString(); }
  QString toast() { return UploadToast::current() ? UploadToast::current()->message() : QString(); }
  bool toastIsFailure() { return UploadToast::current() && !UploadToast::current()->success(); }
};

// ---- Texts and small rules ----

TEST(TileTexts, LinksSplitIntoHostAndPathAndDurationsIntoMinutesAndSeconds) {
  EXPECT_EQ(splitLink("https://share.example.com/a1B2c3"), (LinkSplit{"share.example.com/", "a1B2c3"}));
  // The bundled server's links carry a port; it stays with the host.
  EXPECT_EQ(splitLink("http://127.0.0.1:8787/s/xyz.png"), (LinkSplit{"127.0.0.1:8787/", "s/xyz.png"}));
  EXPECT_EQ(splitLink("https://share.example.com/"), (LinkSplit{"share.example.com", ""}));
  EXPECT_EQ(splitLink("not a link at all"), (LinkSplit{"not a link at all", ""}));
  EXPECT_EQ(splitLink("share.example.com/abc"), (LinkSplit{"share.example.com/abc", ""}));
  EXPECT_EQ(durationLabel(59999), "0:59");
  EXPECT_EQ(durationLabel(3600000 + 5000), "60:05");
  EXPECT_EQ(durationLabel(-20), "0:00");
}

TEST(PopoverPlacement, OpensUnderThePointerOrAboveItAndStaysInTheWorkArea) {
  const QRect area(0, 0, 1920, 1050);
  const QSize size(360, 520);
  // A tray at the top: under the pointer, centred on it.
  EXPECT_EQ(Popover::placement(size, {900, 10}, area), QRect(720, 18, 360, 520));
  // A tray at the bottom right: above, pushed back inside the right edge.
  EXPECT_EQ(Popover::placement(size, {1910, 1040}, area), QRect(1560, 1040 - 8 - 520, 360, 520));
  // A pointer below the work area (on the panel itself): the bottom edge holds.
  EXPECT_EQ(Popover::placement(size, {1910, 1065}, area), QRect(1560, 1050 - 520, 360, 520));
  // A work area that does not start at the origin (the second monitor).
  const QRect right(1920, 0, 960, 540);
  EXPECT_EQ(Popover::placement(size, {1925, 530}, right), QRect(1920, 2, 360, 520));
  // Taller than the work area: its top stays visible.
  EXPECT_EQ(Popover::placement({360, 700}, {2500, 300}, right).top(), 0);
}

// ---- Popover ----

class PopoverTest : public ViewsTest {
 protected:
  std::unique_ptr<QWidget> content() {
    auto w = std::unique_ptr<QWidget>(makePopoverContent(nullptr, {}));
    w->adjustSize();
    return w;
  }
  static QList<QWidget*> cells(QWidget* c, const char* name) {
    QList<QWidget*> out;
    for (QWidget* w : c->findChildren<QWidget*>(QLatin1String(name)))
      if (w->parent() == c) out << w;
    return out;
  }
};

TEST_F(PopoverTest, SixCellsAlwaysCapturesFirstAndTheyFollowTheHistory) {
  auto c = content();
  EXPECT_EQ(cells(c.get(), "recentCapture").size(), 0);
  EXPECT_EQ(cells(c.get(), "recentPlaceholder").size(), 6);

  addImage({800, 500});
  addVideo(std::nullopt, true);
  ASSERT_TRUE(waitUntil([&] { return cells(c.get(), "recentCapture").size() == 2; }));
  EXPECT_EQ(cells(c.get(), "recentPlaceholder").size(), 4);
  // Newest first (where they sit is checked on the desktop).
  const QList<QWidget*> shown = cells(c.get(), "recentCapture");
  EXPECT_TRUE(shown[0]->accessibleName().startsWith("Recording, 1920×1080")) << shown[0]->accessibleName().toStdString();
  EXPECT_TRUE(shown[0]->accessibleName().contains("1:05"));
  EXPECT_TRUE(shown[1]->accessibleName().startsWith("Screenshot, 800×500"));

  for (int i = 0; i < 6; ++i) addImage({640, 400});
  ASSERT_TRUE(waitUntil([&] { return cells(c.get(), "recentPlaceholder").isEmpty(); }));
  EXPECT_EQ(cells(c.get(), "recentCapture").size(), 6);

  history().clearAll();
  ASSERT_TRUE(waitUntil([&] { return cells(c.get(), "recentPlaceholder").size() == 6; }));
}

TEST_F(PopoverTest, QuickActionsShowTheUsersBindingsAndRecordTurnsIntoStop) {
  auto c = content();
  auto* region = c->findChild<QAbstractButton*>("actionRegion");
  auto* window = c->findChild<QAbstractButton*>("actionWindow");
  auto* record = c->findChild<QAbstractButton*>("actionRecord");
  ASSERT_TRUE(region && window && record);
  EXPECT_FALSE(window->isEnabled());
  HotkeyStore::shared().rebind(HotkeyAction::captureToClipboard, parseShortcut("Ctrl+Alt+P"));
  EXPECT_EQ(region->accessibleDescription(), "Ctrl+Alt+P");
  HotkeyStore::shared().rebind(HotkeyAction::captureToClipboard, std::nullopt);
  EXPECT_EQ(region->accessibleDescription(), "Ctrl+`");
  RecordingState::shared().begin();
  EXPECT_EQ(record->text(), "Stop");
  EXPECT_EQ(record->accessibleDescription(), "0:00");
  RecordingState::shared().end();
  EXPECT_EQ(record->text(), "Record");
}

TEST_F(PopoverTest, TheLastLinkShowsSplitAndCopiesThePlainLink) {
  auto c = content();
  EXPECT_FALSE(c->findChild<QWidget*>("lastLink"));
  Preferences::setValue(Preferences::kMarkdownEmbedOnCopy, true);
  Preferences::setValue(Preferences::kLastShareURL, QStringLiteral("https://share.example.com/k3y"));
  QWidget* pill = c->findChild<QWidget*>("lastLink");
  ASSERT_TRUE(pill);
  EXPECT_EQ(pill->accessibleName(), "Last link: https://share.example.com/k3y");
  auto* copy = c->findChild<QAbstractButton*>("copyLastLink");
  ASSERT_TRUE(copy);
  copy->click();
  // The pill copies the link as it is, never as an embed.
  EXPECT_EQ(clipboardText(), "https://share.example.com/k3y");

  Preferences::setValue(Preferences::kLastShareURL, QString());
  EXPECT_FALSE(c->findChild<QWidget*>("lastLink"));
}

TEST_F(PopoverTest, TabVisitsEveryControlInReadingOrder) {
  addImage();
  addImage();
  Preferences::setValue(Preferences::kLastShareURL, QStringLiteral("https://share.example.com/k3y"));
  QWidget window;
  auto* c = makePopoverContent(&window, {});
  window.adjustSize();
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  c->setFocus();
  QStringList order;
  for (int i = 0; i < 12; ++i) {
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : c, Qt::Key_Tab);
    QWidget* f = QApplication::focusWidget();
    order << (f ? (f->objectName().isEmpty() ? f->accessibleName() : f->objectName()) : "none");
  }
  EXPECT_EQ(order, (QStringList{"checkForUpdates", "headerSettings", "actionRegion", "actionUpload", "actionRecord",
                                "seeAll", "recentCapture", "recentCapture", "copyLastLink", "footerSettings", "quit",
                                "checkForUpdates"}))
      << order.join(", ").toStdString();
  // Every control that takes the keyboard has a name.
  for (QWidget* w : c->findChildren<QWidget*>())
    if (w->focusPolicy() != Qt::NoFocus) {
      EXPECT_FALSE(w->accessibleName().isEmpty()) << w->objectName().toStdString();
    }
}

// ---- Opening a capture ----

TEST_F(ViewsTest, AVideoOpensItsWebLinkElseShowsItsFileElseNothing) {
  const CaptureItem linked = addVideo(QStringLiteral("https://share.example.com/v1"), true);
  openCapture(linked);
  ASSERT_EQ(fakes.workspace->opened.size(), 1u);
  EXPECT_EQ(fakes.workspace->opened[0], QUrl("https://share.example.com/v1"));

  // A link that is no web address never reaches the browser: the file shows.
  const CaptureItem odd = addVideo(QStringLiteral("javascript:alert(1)"), true);
  openCapture(odd);
  EXPECT_EQ(fakes.workspace->opened.size(), 1u);
  EXPECT_EQ(fakes.workspace->revealed, QStringList{*odd.videoPath});

  openCapture(addVideo(std::nullopt, false));
  openCapture(addVideo(std::nullopt, true, std::nullopt, false));
  EXPECT_EQ(fakes.workspace->opened.size(), 1u);
  EXPECT_EQ(fakes.workspace->revealed.size(), 1);
  EXPECT_TRUE(fakes.editor->opened.isEmpty());
}

// ---- Capture menu ----

// Which entries a kind and a link give shows in which ones can be chosen.
class CaptureMenuTest : public ViewsTest {
 protected:
  // Chooses one entry; false when the menu has no such enabled entry.
  bool choose(const CaptureItem& item, const QString& entry, int* left = nullptr) {
    std::unique_ptr<QMenu> menu(CaptureMenu::make(item, nullptr, [left] {
      if (left) ++*left;
    }));
    for (QAction* a : menu->actions())
      if (a->text().replace("&&", "&") == entry && a->isEnabled()) {
        a->trigger();
        return true;
      }
    return false;
  }
  QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
};

TEST_F(CaptureMenuTest, EveryEntryOnAScreenshot) {
  Preferences::setValue(Preferences::kMarkdownEmbedOnCopy, true);
  const CaptureItem item = addImage({640, 400});
  int left = 0;

  ASSERT_TRUE(choose(item, "Edit markup…", &left));
  EXPECT_EQ(fakes.editor->opened, QStringList{item.id});
  EXPECT_EQ(left, 1);

  ASSERT_TRUE(choose(item, "Copy Image"));
  EXPECT_EQ(fakes.clipboard->data->data("image/png"), fileBytes(history().originalPath(item.id)));

  ASSERT_TRUE(choose(item, "Show in Folder", &left));
  EXPECT_EQ(fakes.workspace->revealed, QStringList{history().originalPath(item.id)});
  EXPECT_EQ(left, 2);

  // Uploading after the fact: the link (as an embed, the setting being on),
  // and the record keeps it.
  ASSERT_TRUE(choose(item, "Upload & Copy Link"));
  ASSERT_EQ(fakes.uploader->pending.size(), 1u);
  EXPECT_EQ(fakes.uploader->pending.front().png, fileBytes(history().originalPath(item.id)));
  fakes.uploader->answer(QStringLiteral("https://s.example/up"));
  EXPECT_EQ(toast(), "Copied: https://s.example/up");
  EXPECT_EQ(clipboardText(), QString::fromUtf8("![640×400](https://s.example/up.png)"));
  const CaptureItem linked = *history().find(item.id);
  EXPECT_EQ(linked.shareURL, "https://s.example/up");
  EXPECT_EQ(Preferences::stringValue(Preferences::kLastShareURL), "https://s.example/up");

  EXPECT_FALSE(choose(linked, "Upload & Copy Link"));
  ASSERT_TRUE(choose(linked, "Copy URL"));
  EXPECT_EQ(clipboardText(), QString::fromUtf8("![640×400](https://s.example/up.png)"));
  ASSERT_TRUE(choose(linked, "Open URL", &left));
  ASSERT_EQ(fakes.workspace->opened.size(), 1u);
  EXPECT_EQ(fakes.workspace->opened[0], QUrl("https://s.example/up"));

  ASSERT_TRUE(choose(linked, "Delete"));
  EXPECT_EQ(history().find(item.id), nullptr);
  EXPECT_FALSE(QFile::exists(history().originalPath(item.id)));
  EXPECT_FALSE(QFile::exists(history().thumbnailPath(item.id)));

  // The record is gone now, and so is its file.
  const int writes = fakes.clipboard->writes;
  CaptureMenu::copyImage(item);
  EXPECT_EQ(toast(), "Couldn't read capture file");
  EXPECT_TRUE(toastIsFailure());
  EXPECT_EQ(fakes.clipboard->writes, writes);
}

TEST_F(CaptureMenuTest, EveryEntryOnARecording) {
  Preferences::setValue(Preferences::kMarkdownEmbedOnCopy, true);
  const CaptureItem item = addVideo(std::nullopt, true);
  int left = 0;
  EXPECT_FALSE(choose(item, "Edit markup…"));

  EXPECT_FALSE(choose(item, "Copy URL"));
  ASSERT_TRUE(choose(item, "Copy Video"));
  EXPECT_EQ(fakes.clipboard->data->data("text/uri-list").trimmed(), QUrl::fromLocalFile(*item.videoPath).toEncoded());

  ASSERT_TRUE(choose(item, "Show in Folder", &left));
  EXPECT_EQ(fakes.workspace->revealed, QStringList{*item.videoPath});
  EXPECT_EQ(left, 1);

  ASSERT_TRUE(choose(item, "Upload & Copy Link"));
  ASSERT_EQ(fakes.uploader->pending.size(), 1u);
  EXPECT_EQ(fakes.uploader->pending.front().videoPath, *item.videoPath);
  fakes.uploader->answer(QStringLiteral("https://s.example/vid"));
  EXPECT_EQ(toast(), "Copied: https://s.example/vid");
  // File and bare link together, never an embed.
  EXPECT_EQ(clipboardText(), "https://s.example/vid");
  EXPECT_TRUE(fakes.clipboard->data->hasFormat("text/uri-list"));
  const CaptureItem linked = *history().find(item.id);
  EXPECT_EQ(linked.shareURL, "https://s.example/vid");

  ASSERT_TRUE(choose(linked, "Copy URL"));
  EXPECT_EQ(clipboardText(), "https://s.example/vid");
  EXPECT_FALSE(fakes.clipboard->data->hasFormat("text/uri-list"));
}

TEST_F(CaptureMenuTest, ARecordingWhoseFileWasDeleted) {
  const CaptureItem item = addVideo(std::nullopt, true);
  QFile::remove(*item.videoPath);
  Pasteboard::writeString(QStringLiteral("before"));
  const int writes = fakes.clipboard->writes;
  for (const char* entry : {"Copy Video", "Show in Folder", "Upload & Copy Link"}) {
    SCOPED_TRACE(entry);
    UploadToast::show({}, true);
    ASSERT_TRUE(choose(item, entry));
    EXPECT_EQ(toast(), "The video file for this recording is gone.");
    EXPECT_TRUE(toastIsFailure());
  }
  EXPECT_EQ(fakes.clipboard->writes, writes);
  EXPECT_EQ(clipboardText(), "before");
  EXPECT_TRUE(fakes.workspace->revealed.isEmpty());
  EXPECT_TRUE(fakes.uploader->pending.empty());

  // A recording filed without a path shows its only file, the thumbnail.
  const CaptureItem pathless = addVideo(std::nullopt, false, 1000, false);
  ASSERT_TRUE(choose(pathless, "Show in Folder"));
  EXPECT_EQ(fakes.workspace->revealed, QStringList{history().thumbnailPath(pathless.id)});
}

// A link that does not parse is treated like none by the menu.
TEST_F(CaptureMenuTest, AnUnparsableLinkIsCopiedAsItIsWithoutUploading) {
  for (const CaptureItem& item :
       {addVideo(QStringLiteral("not a url"), true), addImage({10, 10}, QStringLiteral("::weird::"))}) {
    ASSERT_TRUE(choose(item, "Upload & Copy Link"));
    EXPECT_TRUE(fakes.uploader->pending.empty());
    EXPECT_EQ(toast(), "Copied: " + *item.shareURL);
    EXPECT_EQ(clipboardText(), *item.shareURL);
  }
}

TEST_F(CaptureMenuTest, OpenURLOpensOnlyWebLinks) {
  for (const char* url : {"https://s.example/a", "http://s.example/b", "HTTPS://S.EXAMPLE/c", "file:///etc/passwd",
                          "ftp://s.example/d", "javascript:alert(1)", "https:nohost"})
    CaptureMenu::openURL(QUrl(url));
  ASSERT_EQ(fakes.workspace->opened.size(), 3u);
  EXPECT_EQ(fakes.workspace->opened[2].host(), "s.example");
  // A link of another kind is listed, but its "Open URL" cannot be chosen.
  const CaptureItem item = addImage({10, 10}, QStringLiteral("file:///etc/passwd"));
  EXPECT_TRUE(choose(item, "Copy URL"));
  EXPECT_FALSE(choose(item, "Open URL"));
  EXPECT_EQ(fakes.workspace->opened.size(), 3u);
}

// ---- History view ----

class HistoryViewTest : public ViewsTest {
 protected:
  std::unique_ptr<QWidget> view() {
    auto v = std::unique_ptr<QWidget>(makeHistoryView());
    v->resize(740, 560);
    v->show();
    QCoreApplication::processEvents();
    return v;
  }
  // In the grid's reading order.
  static QList<QWidget*> tiles(QWidget* v) {
    QCoreApplication::processEvents();
    QList<QWidget*> out;
    for (QWidget* t : v->findChildren<QWidget*>("historyTile"))
      if (t->isVisibleTo(v)) out << t;
    std::sort(out.begin(), out.end(), [](QWidget* a, QWidget* b) {
      return std::make_pair(a->y(), a->x()) < std::make_pair(b->y(), b->x());
    });
    return out;
  }
  QString countLine(QWidget* v) { return v->findChild<QLabel*>("historyCount")->text(); }
  bool clearShown(QWidget* v) { return v->findChild<QWidget*>("clearAll")->isVisibleTo(v); }
  bool emptyShown(QWidget* v) { return v->findChild<QWidget*>("historyEmpty")->isVisibleTo(v); }

  // Presses "Clear all" and answers the alert with `answer`; what it says.
  QString clearAll(QWidget* v, const QString& answer) {
    QString seen;
    QTimer::singleShot(0, [&] {
      QMessageBox* box = nullptr;
      waitUntil([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
          if (w->objectName() == "clearAllAlert" && w->isVisible()) box = qobject_cast<QMessageBox*>(w);
        return box != nullptr;
      });
      if (!box) return;
      seen = box->informativeText();
      for (QAbstractButton* b : box->buttons())
        if (b->text() == answer) b->click();
    });
    v->findChild<QAbstractButton*>("clearAll")->click();
    return seen;
  }
};

TEST_F(HistoryViewTest, CountLineClearAllAndEmptyStateFollowTheHistory) {
  auto v = view();
  EXPECT_TRUE(countLine(v.get()).startsWith("0 captures "));
  EXPECT_FALSE(clearShown(v.get()));
  EXPECT_TRUE(emptyShown(v.get()));

  addImage();
  EXPECT_TRUE(countLine(v.get()).startsWith("1 capture "));
  EXPECT_TRUE(clearShown(v.get()));
  EXPECT_FALSE(emptyShown(v.get()));
  ASSERT_EQ(tiles(v.get()).size(), 1);

  EXPECT_TRUE(clearAll(v.get(), "Cancel").startsWith("1 item will"));
  EXPECT_EQ(history().items().size(), 1u);

  // What "Clear" deletes on disk is checked on the desktop.
  addVideo(std::nullopt, true);
  EXPECT_TRUE(countLine(v.get()).startsWith("2 captures "));
  EXPECT_TRUE(clearAll(v.get(), "Clear").startsWith("2 items will"));
  EXPECT_TRUE(history().items().empty());
  EXPECT_TRUE(countLine(v.get()).startsWith("0 captures "));
  EXPECT_TRUE(emptyShown(v.get()));
  EXPECT_FALSE(clearShown(v.get()));
  EXPECT_TRUE(tiles(v.get()).isEmpty());
}

TEST_F(HistoryViewTest, TilesOpenTheirCaptureAndKeepUpWithChangesElsewhere) {
  const CaptureItem image = addImage({1280, 800});
  auto v = view();
  QWidget* tile = tiles(v.get())[0];
  EXPECT_TRUE(tile->accessibleName().startsWith("Screenshot, 1280×800, just now"));
  // The thumbnail is the button; the size row under it is not.
  QTest::mouseClick(tile, Qt::LeftButton, {}, QPoint(10, tile->height() - 4));
  EXPECT_TRUE(fakes.editor->opened.isEmpty());
  QTest::mouseClick(tile, Qt::LeftButton, {}, QPoint(20, 20));
  EXPECT_EQ(fakes.editor->opened, QStringList{image.id});
  QTest::keyClick(tile, Qt::Key_Return);
  EXPECT_EQ(fakes.editor->opened.size(), 2);

  // A link given elsewhere shows on the same tile.
  history().updateShareURL(image.id, QStringLiteral("https://s.example/l"));
  ASSERT_EQ(tiles(v.get()).size(), 1);
  EXPECT_EQ(tiles(v.get())[0], tile);
  EXPECT_TRUE(tile->accessibleName().endsWith(", has a link"));

  // A new capture goes first; a removed one goes.
  addVideo(std::nullopt, true);
  ASSERT_EQ(tiles(v.get()).size(), 2);
  EXPECT_EQ(tiles(v.get())[1], tile);
  history().remove(image);
  ASSERT_TRUE(waitUntil([&] { return tiles(v.get()).size() == 1; }));
}

TEST_F(HistoryViewTest, AMissingThumbnailStillShowsItsTile) {
  const CaptureItem item = addImage({500, 300});
  QFile::remove(history().thumbnailPath(item.id));
  auto v = view();
  ASSERT_EQ(tiles(v.get()).size(), 1);
  QWidget* tile = tiles(v.get())[0];
  QTest::qWait(50);
  const QImage shot = tile->grab().toImage();
  // The bg2 placeholder where the picture would be.
  EXPECT_EQ(QColor(shot.pixel(shot.width() / 2, shot.width() / 3)), NimboTokens::bg2);
}

}  // namespace
}  // namespace nimbo
