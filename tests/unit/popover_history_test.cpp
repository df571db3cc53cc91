// The popover, the history grid and the capture menu on the fakes: what each shows and does.
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
#include "shell/capture_menu.h"
#include "shell/capture_tile.h"
#include "shell/history_view.h"
#include "shell/popover.h"
#include "support.h"
#include "ui/design_system.h"
#include "ui/upload_toast.h"

namespace nimbo {
namespace {

using test::waitUntil;

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
  CaptureHistory& history() { return CaptureHistory::shared(); }

  CaptureItem addImage(QSize size = {1280, 800}, std::optional<QString> link = std::nullopt) {
    CaptureItem item = CaptureItem::newImage(size.width(), size.height());
    item.shareURL = link;
    EXPECT_TRUE(history().add(item, png(size), png(size.scaled(320, 320, Qt::KeepAspectRatio))));
    return item;
  }
  // A recording; with `withFile` its video exists, without `withPath` it has none filed.
  CaptureItem addVideo(std::optional<QString> link, bool withFile, bool withPath = true) {
    CaptureItem item = CaptureItem::newImage(1920, 1080);
    item.mediaType = MediaType::video;
    item.durationMS = 65000;
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
  bool toastIsFailure() { return UploadToast::current() && !UploadToast::current()->success(); }
};

TEST(TileTexts, LinksSplitIntoHostAndPathAndDurationsIntoMinutesAndSeconds) {
  EXPECT_EQ(splitLink("https://share.example.com/a1B2c3"), (LinkSplit{"share.example.com/", "a1B2c3"}));
  EXPECT_EQ(splitLink("http://127.0.0.1:8787/s/xyz.png"), (LinkSplit{"127.0.0.1:8787/", "s/xyz.png"}));  // port kept
  EXPECT_EQ(splitLink("https://share.example.com/"), (LinkSplit{"share.example.com", ""}));
  EXPECT_EQ(splitLink("not a link at all"), (LinkSplit{"not a link at all", ""}));
  EXPECT_EQ(durationLabel(59999), "0:59");
  EXPECT_EQ(durationLabel(3600000 + 5000), "60:05");
  EXPECT_EQ(durationLabel(-20), "0:00");
}

// A tray at the top, at the bottom right, a pointer on the panel, a second monitor, a popover too tall.
TEST(PopoverPlacement, OpensUnderThePointerOrAboveItAndStaysInTheWorkArea) {
  const QRect area(0, 0, 1920, 1050), right(1920, 0, 960, 540);
  const QSize size(360, 520);
  EXPECT_EQ(Popover::placement(size, {900, 10}, area), QRect(720, 18, 360, 520));
  EXPECT_EQ(Popover::placement(size, {1910, 1040}, area), QRect(1560, 1040 - 8 - 520, 360, 520));
  EXPECT_EQ(Popover::placement(size, {1910, 1065}, area), QRect(1560, 1050 - 520, 360, 520));
  EXPECT_EQ(Popover::placement(size, {1925, 530}, right), QRect(1920, 2, 360, 520));
  EXPECT_EQ(Popover::placement({360, 700}, {2500, 300}, right).top(), 0);
}

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
  EXPECT_EQ(cells(c.get(), "recentPlaceholder").size(), 6);
  addImage({800, 500});
  addVideo(std::nullopt, true);
  ASSERT_TRUE(waitUntil([&] { return cells(c.get(), "recentCapture").size() == 2; }));
  EXPECT_EQ(cells(c.get(), "recentPlaceholder").size(), 4);  // which goes first is checked on the desktop
  for (int i = 0; i < 6; ++i) addImage({640, 400});
  ASSERT_TRUE(waitUntil([&] { return cells(c.get(), "recentPlaceholder").isEmpty(); }));
  EXPECT_EQ(cells(c.get(), "recentCapture").size(), 6);
  history().clearAll();
  ASSERT_TRUE(waitUntil([&] { return cells(c.get(), "recentPlaceholder").size() == 6; }));
}

// The pill copies the link as it is, never as an embed, and goes with the link.
TEST_F(PopoverTest, TheLastLinkShowsSplitAndCopiesThePlainLink) {
  auto c = content();
  EXPECT_FALSE(c->findChild<QWidget*>("lastLink"));
  Preferences::setValue(Preferences::kMarkdownEmbedOnCopy, true);
  Preferences::setValue(Preferences::kLastShareURL, QStringLiteral("https://share.example.com/k3y"));
  auto* copy = c->findChild<QAbstractButton*>("copyLastLink");
  ASSERT_TRUE(copy);
  copy->click();
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
                                "checkForUpdates"}));
  // Every control that takes the keyboard has a name.
  for (QWidget* w : c->findChildren<QWidget*>())
    EXPECT_TRUE(w->focusPolicy() == Qt::NoFocus || !w->accessibleName().isEmpty()) << w->objectName().toStdString();
}

// A link that is no web address never reaches the browser: the file shows, if there is one.
TEST_F(ViewsTest, AVideoOpensItsWebLinkElseShowsItsFileElseNothing) {
  openCapture(addVideo(QStringLiteral("https://share.example.com/v1"), true));
  ASSERT_EQ(fakes.workspace->opened, std::vector<QUrl>{QUrl("https://share.example.com/v1")});
  const CaptureItem odd = addVideo(QStringLiteral("javascript:alert(1)"), true);
  openCapture(odd);
  openCapture(addVideo(std::nullopt, false));
  openCapture(addVideo(std::nullopt, true, false));
  EXPECT_EQ(fakes.workspace->opened.size(), 1u);
  EXPECT_EQ(fakes.workspace->revealed, QStringList{*odd.videoPath});
  EXPECT_TRUE(fakes.editor->opened.isEmpty());
}

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
  QByteArray original(const CaptureItem& item) {
    QFile f(history().originalPath(item.id));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
};

TEST_F(CaptureMenuTest, EveryEntryOnAScreenshot) {
  Preferences::setValue(Preferences::kMarkdownEmbedOnCopy, true);
  const CaptureItem item = addImage({640, 400});
  int left = 0;
  ASSERT_TRUE(choose(item, "Edit markup…", &left));
  EXPECT_EQ(fakes.editor->opened, QStringList{item.id});
  ASSERT_TRUE(choose(item, "Copy Image"));
  EXPECT_EQ(fakes.clipboard->data->data("image/png"), original(item));
  ASSERT_TRUE(choose(item, "Show in Folder", &left));
  EXPECT_EQ(fakes.workspace->revealed, QStringList{history().originalPath(item.id)});
  EXPECT_EQ(left, 2);

  // Uploading after the fact: the link is copied (as an embed) and the record keeps it.
  ASSERT_TRUE(choose(item, "Upload & Copy Link"));
  ASSERT_EQ(fakes.uploader->pending.size(), 1u);
  EXPECT_EQ(fakes.uploader->pending.front().png, original(item));
  fakes.uploader->answer(QStringLiteral("https://s.example/up"));
  EXPECT_EQ(clipboardText(), QString::fromUtf8("![640×400](https://s.example/up.png)"));
  const CaptureItem linked = *history().find(item.id);
  EXPECT_EQ(linked.shareURL, "https://s.example/up");
  EXPECT_EQ(Preferences::stringValue(Preferences::kLastShareURL), "https://s.example/up");

  EXPECT_FALSE(choose(linked, "Upload & Copy Link"));
  fakes.clipboard->data.reset();
  ASSERT_TRUE(choose(linked, "Copy URL"));
  EXPECT_EQ(clipboardText(), QString::fromUtf8("![640×400](https://s.example/up.png)"));
  ASSERT_TRUE(choose(linked, "Open URL"));
  EXPECT_EQ(fakes.workspace->opened, std::vector<QUrl>{QUrl("https://s.example/up")});
  ASSERT_TRUE(choose(linked, "Delete"));
  EXPECT_EQ(history().find(item.id), nullptr);

  // With the record and its file gone, copying fails and leaves the clipboard.
  const int writes = fakes.clipboard->writes;
  CaptureMenu::copyImage(item);
  EXPECT_TRUE(toastIsFailure());
  EXPECT_EQ(fakes.clipboard->writes, writes);
}

// A recording's file and bare link go together, never as an embed.
TEST_F(CaptureMenuTest, EveryEntryOnARecording) {
  Preferences::setValue(Preferences::kMarkdownEmbedOnCopy, true);
  const CaptureItem item = addVideo(std::nullopt, true);
  EXPECT_FALSE(choose(item, "Edit markup…"));
  EXPECT_FALSE(choose(item, "Copy URL"));
  ASSERT_TRUE(choose(item, "Copy Video"));
  EXPECT_EQ(fakes.clipboard->data->data("text/uri-list").trimmed(), QUrl::fromLocalFile(*item.videoPath).toEncoded());
  ASSERT_TRUE(choose(item, "Show in Folder"));
  EXPECT_EQ(fakes.workspace->revealed, QStringList{*item.videoPath});

  ASSERT_TRUE(choose(item, "Upload & Copy Link"));
  ASSERT_EQ(fakes.uploader->pending.size(), 1u);
  EXPECT_EQ(fakes.uploader->pending.front().videoPath, *item.videoPath);
  fakes.uploader->answer(QStringLiteral("https://s.example/vid"));
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
    EXPECT_EQ(UploadToast::current()->message(), "The video file for this recording is gone.");
    EXPECT_TRUE(toastIsFailure());
  }
  EXPECT_EQ(fakes.clipboard->writes, writes);
  EXPECT_EQ(clipboardText(), "before");
  EXPECT_TRUE(fakes.workspace->revealed.isEmpty());
  EXPECT_TRUE(fakes.uploader->pending.empty());

  // A recording filed without a path shows its only file, the thumbnail.
  const CaptureItem pathless = addVideo(std::nullopt, false, false);
  ASSERT_TRUE(choose(pathless, "Show in Folder"));
  EXPECT_EQ(fakes.workspace->revealed, QStringList{history().thumbnailPath(pathless.id)});
}

// A link that does not parse is treated like none by the menu.
TEST_F(CaptureMenuTest, AnUnparsableLinkIsCopiedAsItIsWithoutUploading) {
  for (const CaptureItem& item :
       {addVideo(QStringLiteral("not a url"), true), addImage({10, 10}, QStringLiteral("::weird::"))}) {
    ASSERT_TRUE(choose(item, "Upload & Copy Link"));
    EXPECT_TRUE(fakes.uploader->pending.empty());
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
  bool shown(QWidget* v, const char* name) { return v->findChild<QWidget*>(name)->isVisibleTo(v); }

  // Presses "Clear all" and answers the alert with `answer`; whether the alert came.
  bool clearAll(QWidget* v, const QString& answer) {
    bool seen = false;
    QTimer::singleShot(0, [&] {
      QMessageBox* box = nullptr;
      waitUntil([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
          if (w->objectName() == "clearAllAlert" && w->isVisible()) box = qobject_cast<QMessageBox*>(w);
        return box != nullptr;
      });
      if (!box) return;
      seen = true;
      for (QAbstractButton* b : box->buttons())
        if (b->text() == answer) b->click();
    });
    v->findChild<QAbstractButton*>("clearAll")->click();
    return seen;
  }
};

// What "Clear" deletes on disk is checked on the desktop.
TEST_F(HistoryViewTest, CountLineClearAllAndEmptyStateFollowTheHistory) {
  auto v = view();
  EXPECT_FALSE(shown(v.get(), "clearAll"));
  EXPECT_TRUE(shown(v.get(), "historyEmpty"));
  addImage();
  EXPECT_TRUE(v->findChild<QLabel*>("historyCount")->text().startsWith("1 capture "));
  EXPECT_TRUE(shown(v.get(), "clearAll"));
  EXPECT_FALSE(shown(v.get(), "historyEmpty"));
  ASSERT_EQ(tiles(v.get()).size(), 1);

  EXPECT_TRUE(clearAll(v.get(), "Cancel"));
  EXPECT_EQ(history().items().size(), 1u);
  addVideo(std::nullopt, true);
  EXPECT_TRUE(clearAll(v.get(), "Clear"));
  EXPECT_TRUE(history().items().empty());
  EXPECT_TRUE(shown(v.get(), "historyEmpty"));
  EXPECT_FALSE(shown(v.get(), "clearAll"));
  EXPECT_TRUE(tiles(v.get()).isEmpty());
}

TEST_F(HistoryViewTest, TilesOpenTheirCaptureAndKeepUpWithChangesElsewhere) {
  const CaptureItem image = addImage({1280, 800});
  auto v = view();
  QWidget* tile = tiles(v.get())[0];
  // The thumbnail is the button; the size row under it is not.
  QTest::mouseClick(tile, Qt::LeftButton, {}, QPoint(10, tile->height() - 4));
  EXPECT_TRUE(fakes.editor->opened.isEmpty());
  QTest::mouseClick(tile, Qt::LeftButton, {}, QPoint(20, 20));
  EXPECT_EQ(fakes.editor->opened, QStringList{image.id});
  QTest::keyClick(tile, Qt::Key_Return);
  EXPECT_EQ(fakes.editor->opened.size(), 2);

  // A link given elsewhere shows on the same tile; a new capture goes first; a removed one goes.
  history().updateShareURL(image.id, QStringLiteral("https://s.example/l"));
  ASSERT_EQ(tiles(v.get()), QList<QWidget*>{tile});
  EXPECT_TRUE(tile->accessibleName().endsWith(", has a link"));
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
  QTest::qWait(50);
  const QImage shot = tiles(v.get())[0]->grab().toImage();
  // The bg2 placeholder where the picture would be.
  EXPECT_EQ(QColor(shot.pixel(shot.width() / 2, shot.width() / 3)), NimboTokens::bg2);
}

}  // namespace
}  // namespace nimbo
