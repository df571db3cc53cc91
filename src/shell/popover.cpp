#include "shell/popover.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

#include "capture/capture_flow.h"
#include "capture/capture_history.h"
#include "capture/pasteboard.h"
#include "platform/platform.h"
#include "recording/recording_flow.h"
#include "recording/recording_state.h"
#include "shell/capture_menu.h"
#include "shell/capture_tile.h"
#include "shell/hotkey_store.h"
#include "shell/settings_window.h"
#include "sharing/update_controller.h"
#include "ui/controls.h"
#include "ui/design_system.h"
#include "util/log.h"
#include "util/preferences.h"
#include "util/trace.h"

namespace nimbo {
namespace {

constexpr int kWidth = 360, kPadding = 12, kCellSpacing = 6;
constexpr int kCellWidth = (kWidth - 2 * kPadding - 2 * kCellSpacing) / 3;
constexpr int kCellHeight = 68;  // 16:10
constexpr int kRecentCount = 6;

QString keysOf(HotkeyAction action) { return displayKeycaps(HotkeyStore::shared().effective(action)).join('+'); }

void runLater(std::function<void()> fn) { QTimer::singleShot(0, qApp, std::move(fn)); }

// A quick action: its symbol in a small square, its name, and its keys.
class ActionTile : public QAbstractButton {
 public:
  ActionTile(std::function<void()> action, QWidget* parent) : QAbstractButton(parent) {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_Hover);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(78);
    if (action) connect(this, &QAbstractButton::clicked, this, [action] { action(); });
  }
  void set(Symbol symbol, const QString& label, const QString& keys, const QColor& symbolColor = NimboTokens::ink1) {
    if (symbol == symbol_ && label == text() && keys == keys_ && symbolColor == symbolColor_) return;
    symbol_ = symbol;
    keys_ = keys;
    symbolColor_ = symbolColor;
    setText(label);
    setAccessibleName(label);
    setAccessibleDescription(keys);
    setToolTip(isEnabled() ? label + " (" + keys + ")" : label + " — " + keys);
    update();
  }
  QString keys() const { return keys_; }
  QSize sizeHint() const override { return {78, 78}; }

 protected:
  bool event(QEvent* e) override {
    if (e->type() == QEvent::HoverEnter || e->type() == QEvent::HoverLeave) {
      hovered_ = e->type() == QEvent::HoverEnter;
      update();
    }
    if (e->type() == QEvent::FocusIn) {
      const auto reason = static_cast<QFocusEvent*>(e)->reason();
      keyboardFocus_ = reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason;
    }
    if (e->type() == QEvent::FocusOut) keyboardFocus_ = false;
    return QAbstractButton::event(e);
  }
  void paintEvent(QPaintEvent*) override {
    using namespace NimboTokens;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const bool lit = isEnabled() && (hovered_ || isDown());
    p.setPen(QPen(lit ? line : lineSoft, 1));
    p.setBrush(isDown() ? bg3.darker(105) : lit ? bg3 : bg2);
    p.drawRoundedRect(r, 10, 10);
    // A disabled tile says so by fading, and takes no clicks.
    if (!isEnabled()) p.setOpacity(0.45);
    const QRectF square(std::round((width() - 26) / 2.0), 10, 26, 26);
    p.setPen(Qt::NoPen);
    p.setBrush(bg1);
    p.drawRoundedRect(square, 7, 7);
    paintSymbol(p, symbol_, square.adjusted(5.5, 5.5, -5.5, -5.5), symbolColor_);
    p.setFont(nimboFont(FontFamily::interface, 11, QFont::Medium));
    p.setPen(ink0);
    p.drawText(QRectF(2, 42, width() - 4, 16), Qt::AlignCenter, text());
    const QFont mono = nimboFont(FontFamily::mono, 9, QFont::Normal);
    p.setFont(mono);
    p.setPen(ink3);
    p.drawText(QRectF(3, 58, width() - 6, 13), Qt::AlignCenter,
               QFontMetricsF(mono).elidedText(keys_, Qt::ElideMiddle, width() - 6));
    p.setOpacity(1);
    if (keyboardFocus_) paintFocusRing(p, QRectF(rect()), 10);
  }

 private:
  Symbol symbol_ = Symbol::region;
  QString keys_;
  QColor symbolColor_ = NimboTokens::ink1;
  bool hovered_ = false, keyboardFocus_ = false;
};

// One of the six newest captures.
class RecentTile : public QWidget {
 public:
  RecentTile(const CaptureItem& item, std::function<void()> leave, QWidget* parent)
      : QWidget(parent), item_(item), leave_(std::move(leave)) {
    setObjectName(QStringLiteral("recentCapture"));
    setFixedSize(kCellWidth, kCellHeight);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
    setToolTip(QStringLiteral("Click to edit · right-click for more"));
    QString name = QStringLiteral("%1, %2×%3, %4")
                       .arg(item.mediaType == MediaType::video ? QStringLiteral("Recording") : QStringLiteral("Screenshot"))
                       .arg(item.width)
                       .arg(item.height)
                       .arg(item.relativeTimeLabel());
    if (item.mediaType == MediaType::video && item.durationMS) name += ", " + durationLabel(*item.durationMS);
    if (item.shareURL) name += QStringLiteral(", has a link");
    setAccessibleName(name);
    refreshThumbnail();
  }
  const CaptureItem& item() const { return item_; }
  bool hasThumbnail() const { return !image_.isNull(); }
  void refreshThumbnail() {
    const QImage img = ThumbnailCache::shared().image(CaptureHistory::shared().thumbnailPath(item_.id));
    if (img.cacheKey() == image_.cacheKey() && img.isNull() == image_.isNull()) return;
    image_ = img;
    scaled_ = {};
    update();
  }
  // What a click does.
  void activate() {
    const CaptureItem item = item_;
    if (leave_) leave_();
    openCapture(item);
  }

 protected:
  bool event(QEvent* e) override {
    if (e->type() == QEvent::HoverEnter || e->type() == QEvent::HoverLeave) {
      hovered_ = e->type() == QEvent::HoverEnter;
      update();
    }
    return QWidget::event(e);
  }
  void paintEvent(QPaintEvent*) override {
    using namespace NimboTokens;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r(rect());
    if (!image_.isNull() && (scaled_.isNull() || scaledDpr_ != paintScale(p))) {
      scaledDpr_ = paintScale(p);
      scaled_ = filledPixmap(image_, r.size(), scaledDpr_);
    }
    paintThumbnailFrame(p, r, scaled_, 6);
    if (!scaled_.isNull()) {
      // A shade under the captions keeps them legible on any picture.
      QLinearGradient shade(0, r.height() - 26, 0, r.height());
      shade.setColorAt(0, QColor(0, 0, 0, 0));
      shade.setColorAt(1, QColor(0, 0, 0, 150));
      QPainterPath clip;
      clip.addRoundedRect(r, 6, 6);
      p.fillPath(clip, shade);
    }
    if (item_.shareURL) paintLinkBadge(p, QPointF(5, 5));
    const QFont mono = nimboFont(FontFamily::mono, 9, QFont::Medium);
    p.setFont(mono);
    const QRectF captions(6, r.height() - 17, r.width() - 12, 13);
    const QColor ink = scaled_.isNull() ? ink1 : ink0;
    if (item_.mediaType == MediaType::video) {
      paintSymbol(p, Symbol::playFill, QRectF(captions.left(), captions.top() + 2.5, 8, 8), ink);
      if (item_.durationMS) {
        p.setPen(ink);
        p.drawText(captions.adjusted(11, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, durationLabel(*item_.durationMS));
      }
    }
    p.setPen(ink);
    p.drawText(captions, Qt::AlignRight | Qt::AlignVCenter, item_.relativeTimeLabel());
    if (hovered_) {
      p.setPen(QPen(line, 1));
      p.setBrush(QColor(255, 255, 255, 20));
      p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    }
    if (keyboardFocus_) paintFocusRing(p, r, 6);
  }
  void mousePressEvent(QMouseEvent* e) override { pressed_ = e->button() == Qt::LeftButton; }
  void mouseReleaseEvent(QMouseEvent* e) override {
    const bool click = pressed_ && e->button() == Qt::LeftButton && rect().contains(e->position().toPoint());
    pressed_ = false;
    if (click) activate();
  }
  void keyPressEvent(QKeyEvent* e) override {
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter || e->key() == Qt::Key_Space) return activate();
    QWidget::keyPressEvent(e);
  }
  void contextMenuEvent(QContextMenuEvent* e) override {
    const QPoint at = e->reason() == QContextMenuEvent::Mouse ? e->globalPos() : mapToGlobal(rect().center());
    CaptureMenu::popup(item_, this, at, leave_);
  }
  void focusInEvent(QFocusEvent* e) override {
    keyboardFocus_ = e->reason() == Qt::TabFocusReason || e->reason() == Qt::BacktabFocusReason;
    QWidget::focusInEvent(e);
  }
  void focusOutEvent(QFocusEvent* e) override {
    keyboardFocus_ = false;
    QWidget::focusOutEvent(e);
  }

 private:
  CaptureItem item_;
  std::function<void()> leave_;
  QImage image_;
  QPixmap scaled_;
  qreal scaledDpr_ = 0;
  bool hovered_ = false, pressed_ = false, keyboardFocus_ = false;
};

// A cell with no capture yet.
class EmptyTile : public QWidget {
 public:
  explicit EmptyTile(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("recentPlaceholder"));
    setFixedSize(kCellWidth, kCellHeight);
    setAccessibleName(QStringLiteral("No capture"));
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPen dashed(NimboTokens::line, 1);
    dashed.setDashPattern({3, 3});
    p.setPen(dashed);
    p.setBrush(QColor(NimboTokens::bg2.red(), NimboTokens::bg2.green(), NimboTokens::bg2.blue(), 90));
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    paintSymbol(p, Symbol::photo, QRectF(width() / 2.0 - 8, height() / 2.0 - 8, 16, 16), NimboTokens::ink3);
  }
};

// The link in two tones on one line, cut short when it does not fit.
class SplitLinkText : public QWidget {
 public:
  SplitLinkText(const LinkSplit& split, QWidget* parent) : QWidget(parent), split_(split) {
    setObjectName(QStringLiteral("lastLinkText"));
    setFont(nimboFont(FontFamily::mono, 11, QFont::Normal));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setMinimumWidth(40);
    setFixedHeight(int(std::ceil(QFontMetricsF(font()).height())));
  }
  const LinkSplit& split() const { return split_; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    const QFontMetricsF fm(font());
    const qreal firstWidth = fm.horizontalAdvance(split_.first);
    if (firstWidth >= width()) {
      p.setPen(NimboTokens::ink2);
      p.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, fm.elidedText(split_.first, Qt::ElideRight, width()));
      return;
    }
    p.setPen(NimboTokens::ink2);
    p.drawText(QRectF(0, 0, firstWidth + 1, height()), Qt::AlignLeft | Qt::AlignVCenter, split_.first);
    p.setPen(NimboTokens::ink0);
    p.drawText(QRectF(firstWidth, 0, width() - firstWidth, height()), Qt::AlignLeft | Qt::AlignVCenter,
               fm.elidedText(split_.second, Qt::ElideRight, width() - firstWidth));
  }

 private:
  LinkSplit split_;
};

// The newest share link, with a button that copies it again.
class LinkPill : public QWidget {
 public:
  LinkPill(const QString& url, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("lastLink"));
    setAccessibleName("Last link: " + url);
    setFixedHeight(34);
    auto* l = new QHBoxLayout(this);
    l->setContentsMargins(22, 0, 4, 0);
    l->setSpacing(8);
    l->addWidget(new SplitLinkText(splitLink(url), this), 1);
    auto* copied = new QLabel(QStringLiteral("copied"), this);
    copied->setFont(nimboFont(FontFamily::interface, 10, QFont::Normal));
    QPalette pal = copied->palette();
    pal.setColor(QPalette::WindowText, NimboTokens::ink3);
    copied->setPalette(pal);
    l->addWidget(copied);
    auto* copy = new IconButton(Symbol::copyDocs, QStringLiteral("Copy link"), [url] { Pasteboard::writeString(url); },
                                this, 13);
    copy->setObjectName(QStringLiteral("copyLastLink"));
    l->addWidget(copy);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(NimboTokens::lineSoft, 1));
    p.setBrush(NimboTokens::bg0);
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
    // The status dot: the link is live and on the clipboard.
    p.setPen(Qt::NoPen);
    p.setBrush(NimboTokens::accentGlow);
    p.drawEllipse(QPointF(12, height() / 2.0), 5, 5);
    p.setBrush(NimboTokens::accent);
    p.drawEllipse(QPointF(12, height() / 2.0), 3, 3);
  }
};

QFrame* divider(QWidget* parent) {
  auto* d = new QFrame(parent);
  d->setFixedHeight(1);
  d->setAutoFillBackground(true);
  QPalette p = d->palette();
  p.setColor(QPalette::Window, NimboTokens::lineSoft);
  d->setPalette(p);
  return d;
}

// "Nimbo 0.2.0 is ready" / "Restart to update", while an update waits; a
// click anywhere on it restarts into the new version.
class UpdateReadyBanner : public QAbstractButton {
 public:
  UpdateReadyBanner(std::function<void()> action, QWidget* parent) : QAbstractButton(parent) {
    setObjectName(QStringLiteral("updateBanner"));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setFixedHeight(48);
    setAccessibleName(QStringLiteral("Restart to update"));
    connect(this, &QAbstractButton::clicked, this, [action] { action(); });
  }
  void setVersion(const QString& version) {
    setText(QStringLiteral("Nimbo ") + version + QStringLiteral(" is ready"));
    setAccessibleName(text());
    setAccessibleDescription(QStringLiteral("Restart to update"));
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setPen(QPen(NimboTokens::accentGlow, 1));
    p.setBrush(NimboTokens::accentSoft);
    p.drawRoundedRect(r, 10, 10);
    paintSymbol(p, Symbol::arrowDownCircleFill, QRectF(12, (height() - 18) / 2.0, 18, 18), NimboTokens::accent);
    const QRectF textBox(40, 8, width() - 52, height() - 16);
    p.setPen(NimboTokens::accent);
    p.setFont(nimboFont(FontFamily::interface, 12, QFont::DemiBold));
    p.drawText(textBox, Qt::AlignLeft | Qt::AlignTop, text());
    p.setPen(NimboTokens::accent.darker(125));
    p.setFont(nimboFont(FontFamily::interface, 11, QFont::Normal));
    p.drawText(textBox, Qt::AlignLeft | Qt::AlignBottom, QStringLiteral("Restart to update"));
    if (hasFocus() && focusReason_ != Qt::MouseFocusReason) paintFocusRing(p, rect(), 10);
  }
  void focusInEvent(QFocusEvent* e) override {
    focusReason_ = e->reason();
    QAbstractButton::focusInEvent(e);
  }

 private:
  Qt::FocusReason focusReason_ = Qt::OtherFocusReason;
};

class PopoverContent : public QWidget {
 public:
  PopoverContent(QWidget* parent, std::function<void()> leave) : QWidget(parent), leave_(std::move(leave)) {
    setObjectName(QStringLiteral("popoverContent"));
    setFixedWidth(kWidth);
    auto* col = new QVBoxLayout(this);
    col->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    col->setSpacing(12);

    auto* header = new QHBoxLayout;
    header->setSpacing(2);
    auto* logo = new NimboLogo(20, true, this);
    logo->setAccessibleName(QStringLiteral("Nimbo"));
    header->addWidget(logo);
    header->addStretch();
    // The search has nowhere to go yet: shown, but out of the Tab order.
    auto* search = new IconButton(Symbol::magnifyingGlass, QStringLiteral("Search"), {}, this);
    search->setFocusPolicy(Qt::NoFocus);
    header->addWidget(search);
    auto* check = new IconButton(Symbol::arrowClockwise, QStringLiteral("Check for updates"),
                                 [] { UpdateController::shared().checkForUpdates(); }, this);
    check->setObjectName(QStringLiteral("checkForUpdates"));
    header->addWidget(check);
    auto* gear = new IconButton(Symbol::gear, QStringLiteral("Settings"), [this] { openSettings(); }, this);
    gear->setObjectName(QStringLiteral("headerSettings"));
    header->addWidget(gear);
    col->addLayout(header);

    // The popup lets go of the pointer and keyboard before the app restarts.
    banner_ = new UpdateReadyBanner(
        [this] {
          if (!UpdateController::shared().installNowBlock()) return;
          leaveThen([] {
            if (const auto& installNow = UpdateController::shared().installNowBlock()) installNow();
          });
        },
        this);
    col->addWidget(banner_);
    updateBanner();

    auto* actions = new QHBoxLayout;
    actions->setSpacing(8);
    region_ = new ActionTile([this] { leaveThen([] { CaptureFlow::run(CaptureMode::clipboardOnly); }); }, this);
    upload_ = new ActionTile([this] { leaveThen([] { CaptureFlow::run(CaptureMode::uploadAndCopyURL); }); }, this);
    window_ = new ActionTile({}, this);
    window_->setEnabled(false);
    record_ = new ActionTile([this] { leaveThen([] { RecordingFlow::requestPanel(std::nullopt); }); }, this);
    region_->setObjectName(QStringLiteral("actionRegion"));
    upload_->setObjectName(QStringLiteral("actionUpload"));
    window_->setObjectName(QStringLiteral("actionWindow"));
    record_->setObjectName(QStringLiteral("actionRecord"));
    for (ActionTile* t : {region_, upload_, window_, record_}) actions->addWidget(t);
    col->addLayout(actions);

    auto* recentBlock = new QVBoxLayout;
    recentBlock->setSpacing(6);
    auto* recentRow = new QHBoxLayout;
    recentRow->addWidget(new MetaLabel(QStringLiteral("Recent"), NimboTokens::ink3, this));
    recentRow->addStretch();
    auto* seeAll = new TextButton(QStringLiteral("See all →"), nimboFont(FontFamily::interface, 11, QFont::Medium),
                                  NimboTokens::accent, [this] { openHistory(); }, this);
    seeAll->setObjectName(QStringLiteral("seeAll"));
    seeAll->setAccessibleName(QStringLiteral("See all captures"));
    recentRow->addWidget(seeAll);
    recentBlock->addLayout(recentRow);
    recent_ = new QGridLayout;
    recent_->setSpacing(kCellSpacing);
    recentBlock->addLayout(recent_);
    col->addLayout(recentBlock);

    linkSlot_ = new QVBoxLayout;
    linkSlot_->setContentsMargins(0, 0, 0, 0);
    col->addLayout(linkSlot_);

    auto* footerBlock = new QVBoxLayout;
    footerBlock->setSpacing(8);
    footerBlock->addWidget(divider(this));
    auto* footer = new QHBoxLayout;
    const QFont small = nimboFont(FontFamily::interface, 11, QFont::Normal);
    auto* settings = new TextButton(QStringLiteral("Settings"), small, NimboTokens::ink2, [this] { openSettings(); }, this);
    settings->setObjectName(QStringLiteral("footerSettings"));
    auto* quit = new TextButton(QStringLiteral("Quit"), small, NimboTokens::ink2, [] { QCoreApplication::quit(); }, this);
    quit->setObjectName(QStringLiteral("quit"));
    footer->addWidget(settings);
    footer->addStretch();
    footer->addWidget(quit);
    footerBlock->addLayout(footer);
    col->addLayout(footerBlock);

    connect(&CaptureHistory::shared(), &CaptureHistory::itemsChanged, this, [this] { scheduleRecent(); });
    connect(&Preferences::notifier(), &PreferencesNotifier::changed, this, [this](const QString& key) {
      if (key == QLatin1String(Preferences::kLastShareURL)) rebuildLink();
    });
    connect(&RecordingState::shared(), &RecordingState::changed, this, [this] { updateRecord(); });
    connect(&UpdateController::shared(), &UpdateController::readyVersionChanged, this, [this] { updateBanner(); });
    connect(&HotkeyStore::shared(), &HotkeyStore::shortcutsChanged, this, [this] { updateActions(); });
    connect(&ThumbnailCache::shared(), &ThumbnailCache::loaded, this, [this](const QString& path) {
      for (RecentTile* t : tiles_)
        if (CaptureHistory::shared().thumbnailPath(t->item().id) == path) t->refreshThumbnail();
    });
    rebuild();
  }

  // Everything that follows the history, the settings and the recording.
  void rebuild() {
    updateActions();
    rebuildRecent();
    rebuildLink();
  }

 private:
  void leaveThen(std::function<void()> then) {
    if (leave_) leave_();
    // After the popup has let go of the pointer and keyboard.
    runLater(std::move(then));
  }
  void openSettings() {
    leaveThen([] { SettingsWindow::show(); });
  }
  void openHistory() {
    trace::start();
    if (leave_) leave_();
    SettingsWindow::show(SettingsSection::history);
  }

  void updateBanner() {
    const auto& version = UpdateController::shared().readyVersion();
    banner_->setVisible(version.has_value());
    if (version) banner_->setVersion(*version);
  }

  void updateActions() {
    region_->set(Symbol::region, QStringLiteral("Region"), keysOf(HotkeyAction::captureToClipboard));
    upload_->set(Symbol::cloudUpload, QStringLiteral("Upload"), keysOf(HotkeyAction::captureAndUpload));
    window_->set(Symbol::window, QStringLiteral("Window"), QStringLiteral("soon"));
    updateRecord();
  }
  void updateRecord() {
    const RecordingState& s = RecordingState::shared();
    if (s.isRecording())
      record_->set(Symbol::stopCircle, QStringLiteral("Stop"), s.elapsedLabel(), NimboTokens::red);
    else
      record_->set(Symbol::recordCircle, QStringLiteral("Record"), keysOf(HotkeyAction::recordAndUpload));
  }

  void scheduleRecent() {
    // Several changes in one turn (a capture filed, then evictions) rebuild once.
    if (recentPending_) return;
    recentPending_ = true;
    QTimer::singleShot(0, this, [this] {
      recentPending_ = false;
      rebuildRecent();
    });
  }
  void rebuildRecent() {
    while (QLayoutItem* li = recent_->takeAt(0)) {
      if (QWidget* w = li->widget()) {
        // Out of the tree at once; deleted once any event of its own is done.
        w->hide();
        w->setParent(nullptr);
        w->deleteLater();
      }
      delete li;
    }
    tiles_.clear();
    const std::vector<CaptureItem>& items = CaptureHistory::shared().items();
    for (int i = 0; i < kRecentCount; ++i) {
      QWidget* cell = nullptr;
      if (i < int(items.size())) tiles_ << static_cast<RecentTile*>(cell = new RecentTile(items[i], leave_, this));
      else cell = new EmptyTile(this);
      recent_->addWidget(cell, i / 3, i % 3);
    }
    // Tab runs through the tiles in reading order, between "See all" and
    // the link.
    QWidget* previous = findChild<QWidget*>(QStringLiteral("seeAll"));
    for (RecentTile* t : tiles_) {
      setTabOrder(previous, t);
      previous = t;
    }
    fixTailTabOrder(previous);
  }
  void rebuildLink() {
    while (QLayoutItem* li = linkSlot_->takeAt(0)) {
      if (QWidget* w = li->widget()) {
        w->hide();
        w->setParent(nullptr);
        w->deleteLater();
      }
      delete li;
    }
    const QString url = Preferences::stringValue(Preferences::kLastShareURL);
    if (!url.isEmpty()) linkSlot_->addWidget(new LinkPill(url, this));
    QWidget* previous = findChild<QWidget*>(QStringLiteral("seeAll"));
    if (!tiles_.isEmpty()) previous = tiles_.last();
    fixTailTabOrder(previous);
  }
  void fixTailTabOrder(QWidget* previous) {
    for (const char* name : {"copyLastLink", "footerSettings", "quit"}) {
      if (QWidget* w = findChild<QWidget*>(QLatin1String(name))) {
        setTabOrder(previous, w);
        previous = w;
      }
    }
  }

  std::function<void()> leave_;
  UpdateReadyBanner* banner_ = nullptr;
  ActionTile *region_ = nullptr, *upload_ = nullptr, *window_ = nullptr, *record_ = nullptr;
  QGridLayout* recent_ = nullptr;
  QList<RecentTile*> tiles_;
  QVBoxLayout* linkSlot_ = nullptr;
  bool recentPending_ = false;
};

// The frameless window around the content.
class PopoverWindow : public QWidget {
 public:
  PopoverWindow() : QWidget(nullptr, windowFlagsHere()) {
    setWindowTitle(QStringLiteral("Nimbo popover"));
    setObjectName(QStringLiteral("NimboPopover"));
    setAccessibleName(QStringLiteral("Nimbo"));
    // Rounded corners need a compositor to blend them; without one they
    // would show black.
    rounded_ = platform().workspace->compositingActive();
    if (rounded_) setAttribute(Qt::WA_TranslucentBackground);
    auto* l = new QVBoxLayout(this);
    l->setContentsMargins(0, 0, 0, 0);
    l->setSizeConstraint(QLayout::SetFixedSize);
    content_ = static_cast<PopoverContent*>(makePopoverContent(this, [this] { hide(); }));
    l->addWidget(content_);
  }

  void openAt(const QPoint& pointer) {
    pointer_ = pointer;
    // Ages and thumbnails may have moved on while it was closed.
    content_->rebuild();
    adjustSize();
    place();
    show();
    raise();
    activateWindow();
    content_->setFocus(Qt::PopupFocusReason);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setPen(QPen(NimboTokens::line, 1));
    p.setBrush(NimboTokens::bg1);
    if (rounded_) p.drawRoundedRect(r, 12, 12);
    else p.drawRect(r);
    // For the benchmark: once the whole first frame (the tiles too) is out.
    if (!painted_) QTimer::singleShot(0, [] { trace::mark(QStringLiteral("popover-painted")); });
    painted_ = true;
  }
  void showEvent(QShowEvent* e) override {
    painted_ = false;
    QWidget::showEvent(e);
  }
  void resizeEvent(QResizeEvent* e) override {
    // A link that appears while open grows the window: keep it in its place.
    if (isVisible()) place();
    QWidget::resizeEvent(e);
  }
  void keyPressEvent(QKeyEvent* e) override {
    if (e->key() == Qt::Key_Escape) return hide();
    QWidget::keyPressEvent(e);
  }
  bool event(QEvent* e) override {
    // Where the popover is an ordinary window (Wayland), leaving it closes it
    // as a click elsewhere closes a popup.
    if (e->type() == QEvent::WindowDeactivate && !(windowFlags() & Qt::Popup) && isVisible()) hide();
    return QWidget::event(e);
  }

 private:
  static Qt::WindowFlags windowFlagsHere() {
    // Wayland gives a popup only to a parent window, which a tray click has
    // not got.
    if (QGuiApplication::platformName() == QLatin1String("wayland"))
      return Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
    return Qt::Popup | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint;
  }
  void place() {
    QScreen* screen = QGuiApplication::screenAt(pointer_);
    if (!screen) screen = QGuiApplication::primaryScreen();
    move(Popover::placement(size(), pointer_, screen->availableGeometry()).topLeft());
  }

  PopoverContent* content_ = nullptr;
  QPoint pointer_;
  bool rounded_ = false;
  bool painted_ = false;
};

PopoverWindow*& instance() {
  static PopoverWindow* w = nullptr;
  return w;
}

PopoverWindow* popoverWindow() {
  if (!instance()) instance() = new PopoverWindow;
  return instance();
}

}  // namespace

QWidget* makePopoverContent(QWidget* parent, std::function<void()> leave) {
  return new PopoverContent(parent, std::move(leave));
}

namespace Popover {

QRect placement(const QSize& size, const QPoint& pointer, const QRect& available) {
  const int gap = 8;
  int x = pointer.x() - size.width() / 2;
  int y = pointer.y() + gap;
  if (y + size.height() > available.bottom() + 1) y = pointer.y() - gap - size.height();
  x = std::clamp(x, available.left(), std::max(available.left(), available.right() + 1 - size.width()));
  y = std::clamp(y, available.top(), std::max(available.top(), available.bottom() + 1 - size.height()));
  return QRect(QPoint(x, y), size);
}

void toggleAt(const QPoint& pointer) {
  // A click on the icon while the popup is open never reaches the icon: the
  // popup has the pointer, and the press outside it closes it.
  PopoverWindow* w = popoverWindow();
  if (w->isVisible()) return w->hide();
  showAt(pointer);
}

void showAt(const QPoint& pointer) {
  trace::start();
  logLine(QStringLiteral("Nimbo: popover opened"));
  popoverWindow()->openAt(pointer);
}

void hide() {
  if (instance()) instance()->hide();
}

bool isVisible() { return instance() && instance()->isVisible(); }

QWidget* window() { return popoverWindow(); }

}  // namespace Popover
}  // namespace nimbo
