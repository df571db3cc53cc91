#include "shell/capture_menu.h"

#include <QFile>
#include <QFileInfo>
#include <QMenu>

#include "capture/capture_flow.h"
#include "capture/capture_history.h"
#include "capture/pasteboard.h"
#include "core/seams.h"
#include "platform/platform.h"
#include "shell/capture_tile.h"
#include "ui/design_system.h"
#include "ui/upload_toast.h"
#include "util/log.h"

namespace nimbo::CaptureMenu {
namespace {

const QString kVideoGone = QStringLiteral("The video file for this recording is gone.");
const QString kUnreadable = QStringLiteral("Couldn't read capture file");

bool hasVideoFile(const CaptureItem& item) { return item.videoPath && QFileInfo(*item.videoPath).isFile(); }

QString menuStyle() {
  using namespace NimboTokens;
  return QStringLiteral(
             "QMenu { background: %1; border: 1px solid %2; border-radius: 8px; padding: 4px; color: %3; }"
             "QMenu::item { padding: 5px 18px 5px 12px; border-radius: 5px; }"
             "QMenu::item:selected { background: %4; }"
             "QMenu::item:disabled { color: %5; }"
             "QMenu::separator { height: 1px; background: %6; margin: 4px 6px; }")
      .arg(bg1.name(), line.name(), ink0.name(), bg3.name(), ink3.name(), lineSoft.name());
}

}  // namespace

void copyURL(const CaptureItem& item, const QString& link) {
  // A video's link is never an image embed.
  if (item.mediaType == MediaType::image) Pasteboard::writeURL(link, std::make_pair(item.width, item.height));
  else Pasteboard::writeString(link);
  UploadToast::show(QStringLiteral("Copied URL"), true);
}

void openURL(const QUrl& url) {
  if (!isWebLink(url)) {
    logLine("Nimbo: not opening a link that is not http or https: " + url.toString());
    return;
  }
  platform().workspace->openUrl(url);
}

void uploadRetroactively(const CaptureItem& item) {
  if (item.mediaType == MediaType::image) return CaptureFlow::uploadRetroactively(item.id);
  UploadToast::show(QStringLiteral("Uploading recording…"), true);
  const QString id = item.id;
  CaptureHistory::shared().uploadExisting(id, [id](Result<QString> r) {
    if (!r.ok()) return UploadToast::show(r.error().description, false);
    const QString link = r.value();
    // The record as it is now: its file may have gone while the upload ran.
    const CaptureItem* now = CaptureHistory::shared().find(id);
    if (now && hasVideoFile(*now)) Pasteboard::writeVideoAndURL(*now->videoPath, link);
    else Pasteboard::writeString(Pasteboard::formattedURLString(link, std::nullopt));
    UploadToast::show("Copied: " + link, true);
  });
}

void copyImage(const CaptureItem& item) {
  QFile f(CaptureHistory::shared().originalPath(item.id));
  if (!f.open(QIODevice::ReadOnly)) return UploadToast::show(kUnreadable, false);
  Pasteboard::writeImage(f.readAll());
  UploadToast::show(QStringLiteral("Copied to clipboard"), true);
}

void copyVideo(const CaptureItem& item) {
  // The clipboard keeps what it had when there is nothing to put there.
  if (!hasVideoFile(item)) return UploadToast::show(kVideoGone, false);
  Pasteboard::writeVideoAndURL(*item.videoPath, item.shareURL);
  UploadToast::show(QStringLiteral("Video on your clipboard"), true);
}

void reveal(const CaptureItem& item) {
  const CaptureHistory& history = CaptureHistory::shared();
  QString path;
  if (item.mediaType == MediaType::video && item.videoPath) {
    if (!hasVideoFile(item)) return UploadToast::show(kVideoGone, false);
    path = *item.videoPath;
  } else if (item.mediaType == MediaType::video) {
    // A recording keeps no original, only its thumbnail.
    path = history.thumbnailPath(item.id);
  } else {
    path = history.originalPath(item.id);
  }
  if (!QFileInfo(path).isFile()) return UploadToast::show(kUnreadable, false);
  platform().workspace->revealFile(path);
}

QMenu* make(const CaptureItem& item, QWidget* parent, std::function<void()> leaving) {
  auto* menu = new QMenu(parent ? parent->window() : nullptr);
  menu->setStyleSheet(menuStyle());
  menu->setFont(nimboFont(FontFamily::interface, 13, QFont::Normal));
  menu->setAccessibleName(QStringLiteral("Capture actions"));
  auto leave = [leaving] {
    if (leaving) leaving();
  };
  if (item.mediaType == MediaType::image) {
    menu->addAction(QStringLiteral("Edit markup…"), [item, leave] {
      leave();
      seams().editorHost->open(item.id);
    });
    menu->addSeparator();
  }
  if (const std::optional<QUrl> link = parsedShareLink(item)) {
    const QString text = *item.shareURL;
    menu->addAction(QStringLiteral("Copy URL"), [item, text] { copyURL(item, text); });
    QAction* open = menu->addAction(QStringLiteral("Open URL"), [url = *link, leave] {
      leave();
      openURL(url);
    });
    open->setEnabled(isWebLink(*link));
  } else {
    // "&" would mark a mnemonic.
    menu->addAction(QStringLiteral("Upload && Copy Link"), [item] { uploadRetroactively(item); });
  }
  menu->addSeparator();
  if (item.mediaType == MediaType::image) menu->addAction(QStringLiteral("Copy Image"), [item] { copyImage(item); });
  else menu->addAction(QStringLiteral("Copy Video"), [item] { copyVideo(item); });
  menu->addAction(QStringLiteral("Show in Folder"), [item, leave] {
    leave();
    reveal(item);
  });
  menu->addSeparator();
  menu->addAction(QStringLiteral("Delete"), [item] { CaptureHistory::shared().remove(item); });
  return menu;
}

void popup(const CaptureItem& item, QWidget* parent, const QPoint& globalPos, std::function<void()> leaving) {
  QMenu* menu = make(item, parent, std::move(leaving));
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(globalPos);
}

}  // namespace nimbo::CaptureMenu
