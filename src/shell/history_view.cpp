#include "shell/history_view.h"

#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QHash>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

#include "capture/capture_history.h"
#include "shell/capture_menu.h"
#include "shell/capture_tile.h"
#include "shell/hotkey_store.h"
#include "ui/controls.h"
#include "ui/design_system.h"
#include "util/log.h"
#include "util/trace.h"

namespace nimbo {

QString historyCountLine(std::size_t count) {
  return QStringLiteral("%1 capture%2 · click to edit, right-click for more.")
      .arg(count)
      .arg(count == 1 ? "" : "s");
}

QString clearAllAlertText(std::size_t count) {
  return QStringLiteral("%1 item%2 will be permanently deleted from disk.").arg(count).arg(count == 1 ? "" : "s");
}

namespace {

constexpr int kMinColumn = 220, kMaxColumn = 320, kSpacing = 14, kPadding = 24;
constexpr qreal kAspect = 1.6;
constexpr int kMetaGap = 8;

QLabel* textLabel(const QString& text, const QFont& font, const QColor& color, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setFont(font);
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, color);
  l->setPalette(p);
  return l;
}

// Columns of 220 to 320 points: as many as fit, centred when they reach
// their widest.
class AdaptiveGridLayout : public QLayout {
 public:
  explicit AdaptiveGridLayout(QWidget* parent) : QLayout(parent) {}
  ~AdaptiveGridLayout() override {
    while (QLayoutItem* i = takeAt(0)) delete i;
  }
  void addItem(QLayoutItem* item) override { items_.append(item); }
  int count() const override { return int(items_.size()); }
  QLayoutItem* itemAt(int i) const override { return items_.value(i); }
  QLayoutItem* takeAt(int i) override { return i >= 0 && i < items_.size() ? items_.takeAt(i) : nullptr; }
  Qt::Orientations expandingDirections() const override { return {}; }
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override { return arrange(QRect(0, 0, width, 0), false); }
  QSize minimumSize() const override { return {kMinColumn + 2 * kPadding, 2 * kPadding}; }
  QSize sizeHint() const override {
    const int w = 2 * kMaxColumn + kSpacing + 2 * kPadding;
    return {w, heightForWidth(w)};
  }
  void setGeometry(const QRect& r) override {
    QLayout::setGeometry(r);
    arrange(r, true);
  }

 private:
  int arrange(const QRect& r, bool apply) const {
    const int inner = std::max(1, r.width() - 2 * kPadding);
    const int columns = std::max(1, (inner + kSpacing) / (kMinColumn + kSpacing));
    const int column = std::min(kMaxColumn, (inner - kSpacing * (columns - 1)) / columns);
    const int used = columns * column + (columns - 1) * kSpacing;
    const int left = r.x() + kPadding + (inner - used) / 2;
    int y = r.y() + kPadding, rowHeight = 0;
    for (int i = 0; i < items_.size(); ++i) {
      QLayoutItem* item = items_[i];
      const int h = item->hasHeightForWidth() ? item->heightForWidth(column) : item->sizeHint().height();
      if (i % columns == 0 && i > 0) {
        y += rowHeight + kSpacing;
        rowHeight = 0;
      }
      rowHeight = std::max(rowHeight, h);
      if (apply) item->setGeometry(QRect(left + (i % columns) * (column + kSpacing), y, column, h));
    }
    return y + rowHeight - r.y() + kPadding;
  }
  QList<QLayoutItem*> items_;
};

// One capture: its thumbnail (the button), then its size and age.
class HistoryTile : public QWidget {
 public:
  HistoryTile(const CaptureItem& item, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("historyTile"));
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
    QSizePolicy sp(QSizePolicy::Preferred, QSizePolicy::Preferred);
    sp.setHeightForWidth(true);
    setSizePolicy(sp);
    setToolTip(QStringLiteral("Click to edit · right-click for more"));
    setItem(item);
  }

  const CaptureItem& item() const { return item_; }
  void setItem(const CaptureItem& item) {
    item_ = item;
    const QString kind = item.mediaType == MediaType::video ? QStringLiteral("Recording") : QStringLiteral("Screenshot");
    setAccessibleName(QStringLiteral("%1, %2×%3, %4%5")
                          .arg(kind)
                          .arg(item.width)
                          .arg(item.height)
                          .arg(item.relativeTimeLabel(), item.shareURL ? QStringLiteral(", has a link") : QString()));
    refreshThumbnail();
    update();
  }
  void refreshThumbnail() {
    const QImage img = ThumbnailCache::shared().image(CaptureHistory::shared().thumbnailPath(item_.id));
    if (img.cacheKey() == image_.cacheKey() && !img.isNull() == !image_.isNull()) return;
    image_ = img;
    scaled_ = {};
    update();
  }
  bool hasThumbnail() const { return !image_.isNull(); }

  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int w) const override { return thumbHeight(w) + kMetaGap + metaHeight(); }
  QSize sizeHint() const override { return {kMinColumn, heightForWidth(kMinColumn)}; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF thumb = thumbRect();
    const qreal dpr = paintScale(p);
    if (!image_.isNull() && (scaled_.isNull() || scaledFor_ != thumb.size() || scaledDpr_ != dpr)) {
      // Scaled once per size, so scrolling only copies pixels.
      scaled_ = filledPixmap(image_, thumb.size(), dpr);
      scaledFor_ = thumb.size();
      scaledDpr_ = dpr;
    }
    paintThumbnailFrame(p, thumb, scaled_, 8);
    if (item_.shareURL) paintLinkBadge(p, thumb.topLeft() + QPointF(8, 8));
    if (item_.mediaType == MediaType::video) {
      // Recordings carry a play mark (and their length) as in the popover.
      const QString length = item_.durationMS ? durationLabel(*item_.durationMS) : QString();
      const QFont mono = nimboFont(FontFamily::mono, 10, QFont::Medium);
      const qreal w = 22 + (length.isEmpty() ? 0 : QFontMetricsF(mono).horizontalAdvance(length) + 4);
      const QRectF chip(thumb.left() + 8, thumb.bottom() - 8 - 20, w, 20);
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0, 0, 0, 150));
      p.drawRoundedRect(chip, 5, 5);
      paintSymbol(p, Symbol::playFill, QRectF(chip.left() + 6, chip.top() + 5, 10, 10), NimboTokens::ink0);
      p.setFont(mono);
      p.setPen(NimboTokens::ink0);
      p.drawText(chip.adjusted(20, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, length);
    }
    if (hovered_) {
      p.setPen(QPen(NimboTokens::line, 1));
      p.setBrush(QColor(255, 255, 255, pressed_ ? 10 : 18));
      p.drawRoundedRect(thumb.adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
    }
    if (keyboardFocus_) paintFocusRing(p, thumb, 8);

    const QRectF meta(0, thumb.bottom() + kMetaGap, width(), metaHeight());
    p.setFont(metaFont());
    p.setPen(NimboTokens::ink1);
    p.drawText(meta, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("%1×%2").arg(item_.width).arg(item_.height));
    p.setPen(NimboTokens::ink3);
    p.drawText(meta, Qt::AlignRight | Qt::AlignVCenter, item_.relativeTimeLabel());
  }
  bool event(QEvent* e) override {
    if (e->type() == QEvent::HoverEnter || e->type() == QEvent::HoverLeave) {
      hovered_ = e->type() == QEvent::HoverEnter;
      update();
    }
    return QWidget::event(e);
  }
  void mousePressEvent(QMouseEvent* e) override {
    pressed_ = e->button() == Qt::LeftButton && thumbRect().contains(e->position());
    update();
  }
  void mouseReleaseEvent(QMouseEvent* e) override {
    const bool click = pressed_ && e->button() == Qt::LeftButton && thumbRect().contains(e->position());
    pressed_ = false;
    update();
    if (click) openCapture(item_);
  }
  void keyPressEvent(QKeyEvent* e) override {
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter || e->key() == Qt::Key_Space) return openCapture(item_);
    QWidget::keyPressEvent(e);
  }
  void contextMenuEvent(QContextMenuEvent* e) override {
    const QPoint at = e->reason() == QContextMenuEvent::Mouse ? e->globalPos() : mapToGlobal(thumbRect().center().toPoint());
    CaptureMenu::popup(item_, this, at);
  }
  void focusInEvent(QFocusEvent* e) override {
    keyboardFocus_ = e->reason() == Qt::TabFocusReason || e->reason() == Qt::BacktabFocusReason;
    update();
    QWidget::focusInEvent(e);
  }
  void focusOutEvent(QFocusEvent* e) override {
    keyboardFocus_ = false;
    update();
    QWidget::focusOutEvent(e);
  }

 private:
  static QFont metaFont() { return nimboFont(FontFamily::mono, 11, QFont::Normal); }
  static int metaHeight() { return int(std::ceil(QFontMetricsF(metaFont()).height())); }
  static int thumbHeight(int w) { return int(std::round(w / kAspect)); }
  QRectF thumbRect() const { return QRectF(0, 0, width(), thumbHeight(width())); }

  CaptureItem item_;
  QImage image_;
  QPixmap scaled_;
  QSizeF scaledFor_;
  qreal scaledDpr_ = 0;
  bool hovered_ = false, pressed_ = false, keyboardFocus_ = false;
};

class HistoryView : public QWidget {
 public:
  explicit HistoryView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("historyView"));
    setAccessibleName(QStringLiteral("History"));
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, NimboTokens::bg0);
    pal.setColor(QPalette::Base, NimboTokens::bg0);
    setPalette(pal);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(kPadding, 20, kPadding, 16);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(4);
    auto* title = textLabel(QStringLiteral("History"), nimboFont(FontFamily::display, 22, QFont::DemiBold),
                            NimboTokens::ink0, this);
    title->setAccessibleName(QStringLiteral("History"));
    count_ = textLabel({}, nimboFont(FontFamily::interface, 12, QFont::Normal), NimboTokens::ink2, this);
    count_->setObjectName(QStringLiteral("historyCount"));
    titles->addWidget(title);
    titles->addWidget(count_);
    header->addLayout(titles);
    header->addStretch();
    clear_ = new NimboButton(QStringLiteral("Clear all"), NimboButtonKind::ghost, NimboButtonSize::sm,
                             [this] { confirmClearAll(); }, this);
    clear_->setObjectName(QStringLiteral("clearAll"));
    clear_->setAccessibleName(QStringLiteral("Clear all"));
    clear_->setFocusPolicy(Qt::StrongFocus);
    header->addWidget(clear_, 0, Qt::AlignVCenter);
    outer->addLayout(header);

    auto* divider = new QFrame(this);
    divider->setFixedHeight(1);
    divider->setAutoFillBackground(true);
    QPalette dp = divider->palette();
    dp.setColor(QPalette::Window, NimboTokens::lineSoft);
    divider->setPalette(dp);
    outer->addWidget(divider);

    stack_ = new QStackedWidget(this);
    stack_->addWidget(makeEmptyState());
    scroll_ = new QScrollArea(this);
    scroll_->setObjectName(QStringLiteral("historyScroll"));
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->viewport()->setAutoFillBackground(true);
    scroll_->viewport()->setPalette(pal);
    scroll_->verticalScrollBar()->setStyleSheet(
        QStringLiteral("QScrollBar:vertical { background: transparent; width: 10px; margin: 2px; }"
                       "QScrollBar::handle:vertical { background: %1; border-radius: 3px; min-height: 30px; }"
                       "QScrollBar::add-line, QScrollBar::sub-line { height: 0; }"
                       "QScrollBar::add-page, QScrollBar::sub-page { background: none; }")
            .arg(NimboTokens::bg3.name()));
    grid_ = new QWidget;
    grid_->setObjectName(QStringLiteral("historyGrid"));
    grid_->setAutoFillBackground(false);
    layout_ = new AdaptiveGridLayout(grid_);
    scroll_->setWidget(grid_);
    scroll_->verticalScrollBar()->setSingleStep(24);
    stack_->addWidget(scroll_);
    outer->addWidget(stack_, 1);

    CaptureHistory& history = CaptureHistory::shared();
    connect(&history, &CaptureHistory::itemsChanged, this, [this] { refresh(); });
    connect(&HotkeyStore::shared(), &HotkeyStore::shortcutsChanged, this, [this] { updateHint(); });
    connect(&ThumbnailCache::shared(), &ThumbnailCache::loaded, this, [this](const QString& path) {
      for (HistoryTile* t : tiles_)
        if (CaptureHistory::shared().thumbnailPath(t->item().id) == path) t->refreshThumbnail();
    });
    // Ages read "5m", "2h": keep them current while the view shows.
    auto* ages = new QTimer(this);
    ages->setInterval(30000);
    connect(ages, &QTimer::timeout, this, [this] {
      if (!isVisible()) return;
      for (HistoryTile* t : tiles_) t->setItem(t->item());
    });
    ages->start();
    refresh();
  }

 protected:
  void paintEvent(QPaintEvent* e) override {
    QWidget::paintEvent(e);
    // For the benchmark: once the first frame after the settings were asked
    // for (the tiles too) is out.
    if (!painted_) QTimer::singleShot(0, [] { trace::mark(QStringLiteral("history-painted")); });
    painted_ = true;
  }
  void hideEvent(QHideEvent* e) override {
    painted_ = false;
    QWidget::hideEvent(e);
  }
  void showEvent(QShowEvent* e) override {
    logLine(QStringLiteral("Screenshot: history shown with %1 captures").arg(CaptureHistory::shared().items().size()));
    // Files may have changed while hidden (an edit saved in place).
    for (HistoryTile* t : tiles_) t->setItem(t->item());
    QWidget::showEvent(e);
  }

 private:
  QWidget* makeEmptyState() {
    auto* w = new QWidget(this);
    w->setObjectName(QStringLiteral("historyEmpty"));
    auto* l = new QVBoxLayout(w);
    l->setSpacing(10);
    l->addStretch();
    l->addWidget(new SymbolView(Symbol::photoStack, 44, NimboTokens::ink3, w), 0, Qt::AlignHCenter);
    l->addSpacing(4);
    l->addWidget(textLabel(QStringLiteral("No captures yet"), nimboFont(FontFamily::display, 22, QFont::DemiBold),
                           NimboTokens::ink0, w),
                 0, Qt::AlignHCenter);
    hint_ = textLabel({}, nimboFont(FontFamily::interface, 13, QFont::Normal), NimboTokens::ink2, w);
    hint_->setObjectName(QStringLiteral("historyHint"));
    l->addWidget(hint_, 0, Qt::AlignHCenter);
    l->addStretch();
    updateHint();
    return w;
  }

  void updateHint() {
    const auto keys = [](HotkeyAction a) { return displayKeycaps(HotkeyStore::shared().effective(a)).join('+'); };
    hint_->setText(QStringLiteral("Hit %1 or %2 to take your first one.")
                       .arg(keys(HotkeyAction::captureToClipboard), keys(HotkeyAction::captureAndUpload)));
  }

  void refresh() {
    const std::vector<CaptureItem>& items = CaptureHistory::shared().items();
    count_->setText(historyCountLine(items.size()));
    clear_->setVisible(!items.empty());
    stack_->setCurrentIndex(items.empty() ? 0 : 1);

    // Tiles are kept by id, so a change elsewhere never reloads the others.
    QHash<QString, HistoryTile*> keep;
    while (QLayoutItem* li = layout_->takeAt(0)) delete li;
    for (const CaptureItem& item : items) {
      HistoryTile* tile = tiles_.take(item.id);
      if (!tile) tile = new HistoryTile(item, grid_);
      else if (!(tile->item() == item)) tile->setItem(item);
      keep.insert(item.id, tile);
      layout_->addWidget(tile);
      tile->show();
    }
    for (HistoryTile* gone : tiles_) {
      // Out of the grid at once; deleted once any event of its own is done.
      gone->hide();
      gone->setParent(nullptr);
      gone->deleteLater();
    }
    tiles_ = keep;
    // Tab follows the grid's order.
    QWidget* previous = clear_;
    for (const CaptureItem& item : items) {
      setTabOrder(previous, tiles_[item.id]);
      previous = tiles_[item.id];
    }
    layout_->invalidate();
  }

  void confirmClearAll() {
    const std::size_t n = CaptureHistory::shared().items().size();
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Nimbo"), QStringLiteral("Clear all captures?"),
                    QMessageBox::NoButton, window());
    box.setObjectName(QStringLiteral("clearAllAlert"));
    box.setWindowModality(Qt::WindowModal);
    box.setInformativeText(clearAllAlertText(n));
    // One role for both keeps "Clear" first whatever the desktop's layout.
    QPushButton* clear = box.addButton(QStringLiteral("Clear"), QMessageBox::ActionRole);
    QPushButton* cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::ActionRole);
    box.setDefaultButton(clear);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == clear) CaptureHistory::shared().clearAll();
  }

  QLabel* count_ = nullptr;
  QLabel* hint_ = nullptr;
  NimboButton* clear_ = nullptr;
  QStackedWidget* stack_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  QWidget* grid_ = nullptr;
  AdaptiveGridLayout* layout_ = nullptr;
  QHash<QString, HistoryTile*> tiles_;
  bool painted_ = false;
};

}  // namespace

QWidget* makeHistoryView(QWidget* parent) { return new HistoryView(parent); }

}  // namespace nimbo
