#include "shell/settings_window.h"

#include <QApplication>
#include <QCursor>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QCoreApplication>
#include <QLabel>
#include <QLinearGradient>
#include <QListWidget>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <QTimer>
#include <QWindow>
#include <QPointer>

#include <algorithm>
#include <map>
#include <memory>

#include "shell/app_visibility.h"
#include "shell/history_view.h"
#include "shell/settings_panes.h"
#include "ui/design_system.h"
#include "util/log.h"

namespace nimbo {
namespace {

using namespace NimboTokens;

constexpr SettingsSection kSections[] = {
    SettingsSection::general, SettingsSection::shortcuts, SettingsSection::history,
    SettingsSection::sharing, SettingsSection::updates,   SettingsSection::editor,
    SettingsSection::storage, SettingsSection::privacy,   SettingsSection::about};
constexpr int kSidebarWidth = 208;
constexpr int kWidth = 920, kHeight = 620;

// Where the window reopens: the section last shown, whoever chose it.
SettingsSection g_selection = SettingsSection::general;

QLabel* text(const QString& s, qreal size, QFont::Weight weight, const QColor& color, QWidget* parent) {
  auto* l = new QLabel(s, parent);
  l->setFont(nimboFont(FontFamily::interface, size, weight));
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, color);
  l->setPalette(p);
  return l;
}

// One sidebar row: the symbol and the title on a rounded background.
class SectionDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
    const int textHeight = QFontMetrics(nimboFont(FontFamily::interface, 13, QFont::Normal)).height();
    return QSize(option.rect.width(), 7 + std::max(15, textHeight) + 7 + 2);
  }

  void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const auto section = SettingsSection(index.row());
    const bool selected = option.state & QStyle::State_Selected;
    const bool hovered = option.state & QStyle::State_MouseOver;
    const auto* view = qobject_cast<const QAbstractItemView*>(option.widget);
    const bool focused = view && view->hasFocus() && (option.state & QStyle::State_HasFocus) &&
                         view->window()->testAttribute(Qt::WA_KeyboardFocusChange);
    p->save();
    p->setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(option.rect).adjusted(0.5, 1.5, -0.5, -1.5);
    if (selected || hovered) {
      p->setPen(Qt::NoPen);
      p->setBrush(selected ? bg2 : bg1);
      p->drawRoundedRect(r, 6, 6);
    }
    if (focused) {
      QColor ring = accent;
      ring.setAlphaF(0.6);
      p->setPen(QPen(ring, 1));
      p->setBrush(Qt::NoBrush);
      p->drawRoundedRect(r, 6, 6);
    }
    const QRectF frame(r.left() + 10, r.center().y() - 7.5, 15, 15);
    SettingsPanes::paintSymbol(*p, section, frame.adjusted(1, 1, -1, -1), selected ? accent : ink2);
    p->setFont(nimboFont(FontFamily::interface, 13, QFont::Normal));
    p->setPen(selected ? ink0 : ink1);
    p->drawText(QRectF(frame.right() + 9, r.top(), r.width(), r.height()), Qt::AlignVCenter | Qt::AlignLeft,
                SettingsPanes::title(section));
    p->restore();
  }
};

// The account's name and the version, under the sections.
class UserCard : public QWidget {
 public:
  explicit UserCard(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("userCard"));
    auto* h = new QHBoxLayout(this);
    h->setContentsMargins(10, 8, 10, 8);
    h->setSpacing(9);
    auto* avatar = new QWidget(this);
    avatar->setFixedSize(24, 24);
    avatar->installEventFilter(this);
    avatar_ = avatar;
    h->addWidget(avatar, 0, Qt::AlignVCenter);
    auto* v = new QVBoxLayout;
    v->setSpacing(1);
    QLabel* name = text(currentUserDisplayName(), 12, QFont::Medium, ink0, this);
    name->setObjectName(QStringLiteral("userName"));
    v->addWidget(name);
    const QString version = QCoreApplication::applicationVersion();
    QLabel* where = text(QString::fromUtf8("Local · v") + (version.isEmpty() ? QStringLiteral("?") : version), 10,
                         QFont::Normal, ink3, this);
    where->setObjectName(QStringLiteral("userVersion"));
    v->addWidget(where);
    h->addLayout(v, 1);
    setAccessibleName(name->text() + QStringLiteral(", ") + where->text());
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(lineSoft, 1));
    p.setBrush(bg1);
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
  }
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (watched == avatar_ && e->type() == QEvent::Paint) {
      QPainter p(avatar_);
      p.setRenderHint(QPainter::Antialiasing);
      QLinearGradient g(QPointF(0, 0), QPointF(24, 24));
      g.setColorAt(0, violet);
      g.setColorAt(1, accent);
      p.setPen(Qt::NoPen);
      p.setBrush(g);
      p.drawEllipse(QRectF(0, 0, 24, 24));
      return true;
    }
    return QWidget::eventFilter(watched, e);
  }

 private:
  QWidget* avatar_ = nullptr;
};

class Sidebar : public QWidget {
 public:
  explicit Sidebar(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("sidebar"));
    setFixedWidth(kSidebarWidth);
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(12, 18, 12, 12);
    v->setSpacing(0);
    auto* heading = new MetaLabel(QStringLiteral("Settings"), ink3, this);
    heading->setContentsMargins(10, 0, 0, 0);
    v->addWidget(heading);
    v->addSpacing(10);
    list = new QListWidget(this);
    list->setObjectName(QStringLiteral("sections"));
    list->setAccessibleName(QStringLiteral("Settings sections"));
    list->setFrameShape(QFrame::NoFrame);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setMouseTracking(true);
    list->viewport()->setAttribute(Qt::WA_Hover);
    list->setItemDelegate(new SectionDelegate(list));
    list->setCursor(Qt::PointingHandCursor);
    QPalette lp = list->palette();
    lp.setColor(QPalette::Base, Qt::transparent);
    lp.setColor(QPalette::Window, Qt::transparent);
    list->setPalette(lp);
    list->viewport()->setAutoFillBackground(false);
    for (SettingsSection s : kSections) {
      auto* item = new QListWidgetItem(SettingsPanes::title(s), list);
      item->setData(Qt::AccessibleTextRole, SettingsPanes::title(s));
    }
    int rows = 0;
    for (int i = 0; i < list->count(); ++i) rows += list->sizeHintForRow(i);
    list->setFixedHeight(rows + 2);
    v->addWidget(list);
    v->addStretch(1);
    v->addWidget(new UserCard(this));
  }
  QListWidget* list = nullptr;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), sidebarBg);
    // The 1-point line between the sidebar and the detail.
    p.fillRect(QRect(width() - 1, 0, 1, height()), lineSoft);
  }
};

QString scrollBarStyle() {
  return QStringLiteral(
             "QScrollBar:vertical{background:transparent;width:10px;margin:2px;}"
             "QScrollBar::handle:vertical{background:%1;border-radius:3px;min-height:28px;}"
             "QScrollBar::add-line:vertical,QScrollBar::sub-line:vertical{height:0;}"
             "QScrollBar::add-page:vertical,QScrollBar::sub-page:vertical{background:transparent;}")
      .arg(bg3.name());
}

// Centred on `screen` and never larger than it: a small screen at scale 2
// has fewer than 620 points, and the panes scroll.
void fitOnScreen(QWidget* w, QScreen* screen) {
  const QRect area = screen->availableGeometry();
  const QSize frame = w->frameGeometry().size() - w->size();
  const QSize room = area.size() - frame;
  const QSize minimum = QSize(kWidth, kHeight).boundedTo(room);
  w->setMinimumSize(minimum);
  w->resize(w->size().boundedTo(room).expandedTo(minimum));
  const QSize outer = w->size() + frame;
  QPoint at = area.center() - QPoint(outer.width() / 2, outer.height() / 2);
  at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() + 1 - outer.width())));
  at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() + 1 - outer.height())));
  w->move(at);
}

class SettingsWindowWidget : public QWidget {
 public:
  SettingsWindowWidget() : QWidget(nullptr, Qt::Window) {
    setObjectName(QStringLiteral("NimboSettings"));
    setWindowTitle(QStringLiteral("Nimbo Settings"));
    setAccessibleName(QStringLiteral("Nimbo Settings"));
    resize(kWidth, kHeight);
    setMinimumSize(kWidth, kHeight);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, bg0);
    pal.setColor(QPalette::WindowText, ink0);
    pal.setColor(QPalette::Base, bg0);
    pal.setColor(QPalette::AlternateBase, bg1);
    pal.setColor(QPalette::Text, ink0);
    pal.setColor(QPalette::Button, bg2);
    pal.setColor(QPalette::ButtonText, ink0);
    pal.setColor(QPalette::Highlight, accent);
    pal.setColor(QPalette::HighlightedText, accentInk);
    pal.setColor(QPalette::PlaceholderText, ink3);
    pal.setColor(QPalette::ToolTipBase, bg1);
    pal.setColor(QPalette::ToolTipText, ink0);
    pal.setColor(QPalette::Link, accent);
    setPalette(pal);
    setAutoFillBackground(true);

    auto* h = new QHBoxLayout(this);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(0);
    sidebar_ = new Sidebar(this);
    h->addWidget(sidebar_);
    stack_ = new QStackedWidget(this);
    stack_->setObjectName(QStringLiteral("detail"));
    h->addWidget(stack_, 1);

    connect(sidebar_->list, &QListWidget::currentRowChanged, this, [this](int row) {
      if (row < 0) return;
      g_selection = SettingsSection(row);
      showDetail(g_selection);
    });

    // Closing hides: the window is made once and kept.
    auto* close = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), this);
    connect(close, &QShortcut::activated, this, &QWidget::close);

    select(g_selection);
  }

  // Centred on `screen` and kept within it while the window manager frames
  // the window: the decorations' size is known only once it is mapped.
  void placeOn(QScreen* screen) {
    placing_ = screen;
    fitOnScreen(this, screen);
    QTimer::singleShot(1500, this, [this] { placing_ = nullptr; });
  }

  void select(SettingsSection section) {
    g_selection = section;
    if (sidebar_->list->currentRow() != int(section)) sidebar_->list->setCurrentRow(int(section));
    showDetail(section);
  }

  // Once the frame is known (now, or when the window manager has framed
  // it), the window is moved back inside its screen if it overflows.
  void keepOnScreen() {
    if (!placing_ || refitting_ || !isVisible() || placing_->availableGeometry().contains(frameGeometry())) return;
    refitting_ = true;
    fitOnScreen(this, placing_);
    refitting_ = false;
  }

 protected:
  void moveEvent(QMoveEvent* e) override {
    QWidget::moveEvent(e);
    keepOnScreen();
  }
  void resizeEvent(QResizeEvent* e) override {
    QWidget::resizeEvent(e);
    keepOnScreen();
  }

 private:
  // Panes are made the first time they are shown; the history grid reads
  // every thumbnail, so a window opened elsewhere never pays for it.
  void showDetail(SettingsSection section) {
    auto it = pages_.find(section);
    if (it == pages_.end()) it = pages_.emplace(section, makePage(section)).first;
    stack_->setCurrentWidget(it->second);
  }

  QWidget* makePage(SettingsSection section) {
    QWidget* page = nullptr;
    switch (section) {
      case SettingsSection::general: page = scrolled(SettingsPanes::general(nullptr)); break;
      case SettingsSection::shortcuts: page = scrolled(SettingsPanes::shortcuts(nullptr)); break;
      case SettingsSection::history: page = makeHistoryView(nullptr); break;
      case SettingsSection::sharing: page = scrolled(new SharingPane); break;
      case SettingsSection::updates: page = scrolled(new UpdatesPane); break;
      case SettingsSection::editor:
      case SettingsSection::storage:
      case SettingsSection::privacy:
      case SettingsSection::about: page = SettingsPanes::placeholder(section, nullptr); break;
    }
    page->setProperty("section", int(section));
    stack_->addWidget(page);
    return page;
  }

  QWidget* scrolled(QWidget* pane) {
    auto* scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Tab goes from the sidebar straight to the pane's first control.
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->verticalScrollBar()->setStyleSheet(scrollBarStyle());
    scroll->setWidget(pane);
    scroll->setObjectName(pane->objectName() + QStringLiteral("Scroll"));
    return scroll;
  }

  Sidebar* sidebar_ = nullptr;
  QStackedWidget* stack_ = nullptr;
  std::map<SettingsSection, QWidget*> pages_;
  QPointer<QScreen> placing_;
  bool refitting_ = false;
};

std::unique_ptr<SettingsWindowWidget> g_window;

SettingsWindowWidget* windowWidget() {
  if (!g_window) g_window = std::make_unique<SettingsWindowWidget>();
  return g_window.get();
}

}  // namespace

namespace SettingsWindow {

void show(std::optional<SettingsSection> selecting) {
  logLine(QStringLiteral("Screenshot: opening settings window"));
  SettingsWindowWidget* w = windowWidget();
  if (selecting) w->select(*selecting);
  if (!w->isVisible()) {
    // On the screen the pointer is on, where the user is looking.
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (screen && w->windowHandle()) w->windowHandle()->setScreen(screen);
    if (screen) w->placeOn(screen);
  }
  if (w->isMinimized()) w->showNormal();
  else w->show();
  w->raise();
  w->activateWindow();
  AppVisibility::applyTo(w);
  w->keepOnScreen();
}

bool isVisible() { return g_window && g_window->isVisible(); }

SettingsSection currentSection() { return g_selection; }

QWidget* window() { return windowWidget(); }

void resetForTesting() {
  g_window.reset();
  g_selection = SettingsSection::general;
}

}  // namespace SettingsWindow
}  // namespace nimbo
