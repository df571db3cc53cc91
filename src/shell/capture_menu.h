#pragma once
// The right-click menu of one capture, wherever its thumbnail shows (the
// popover's recent tiles, the history grid): edit, copy or open the link,
// upload after the fact, copy the image or video, show the file, delete.
// Every outcome is told in a toast. Main thread.
#include <QString>
#include <QUrl>

#include <functional>

#include "capture/capture_item.h"

class QMenu;
class QPoint;
class QWidget;

namespace nimbo::CaptureMenu {

// The menu for this copy of the record. `leaving` runs before an entry that
// brings another window forward (the editor, the browser, the file manager),
// so a popup can get out of its way.
QMenu* make(const CaptureItem& item, QWidget* parent, std::function<void()> leaving = {});
// Shows it at `globalPos` and lets it go when it closes.
void popup(const CaptureItem& item, QWidget* parent, const QPoint& globalPos, std::function<void()> leaving = {});

// The entries' actions.
void copyURL(const CaptureItem& item, const QString& link);
// Opens http and https links in the browser; anything else is refused.
void openURL(const QUrl& url);
void uploadRetroactively(const CaptureItem& item);
void copyImage(const CaptureItem& item);
void copyVideo(const CaptureItem& item);
void reveal(const CaptureItem& item);

}  // namespace nimbo::CaptureMenu
