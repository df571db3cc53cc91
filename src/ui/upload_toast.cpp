#include "ui/upload_toast.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScreen>
#include <QTextLayout>
#include <QTimer>

#include "ui/design_system.h"

namespace nimbo {

ToastLayout toastLayout(bool success, bool hasAction, bool hasSecondaryAction) {
  const int height = success ? 44 : 64;
  if (!hasAction && !hasSecondaryAction)
    return success ? ToastLayout{{320, 44}, 2.2, false} : ToastLayout{{420, 64}, 5.0, false};
  const int width = (hasAction && hasSecondaryAction) ? 520 : 440;
  return {{width, height}, 4.5, true};
}

namespace {

UploadToast* g_current = nullptr;

// Text that wraps to at most `maxLines` and ends in an ellipsis beyond them.
class ToastMessage : public QWidget {
 public:
  ToastMessage(const QString& text, int maxLines, QWidget* parent)
      : QWidget(parent), text_(text), maxLines_(maxLines) {
    setFont(nimboFont(FontFamily::interface, 13, QFont::Medium));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  }
  QStringList lines(int width) const {
    QStringList out;
    const QFontMetricsF fm(font());
    QTextLayout layout(text_, font());
    QTextOption opt;
    opt.setWrapMode(maxLines_ == 1 ? QTextOption::NoWrap : QTextOption::WordWrap);
    layout.setTextOption(opt);
    layout.beginLayout();
    for (;;) {
      QTextLine line = layout.createLine();
      if (!line.isValid()) break;
      line.setLineWidth(width);
      if (out.size() == maxLines_ - 1) {
        out << fm.elidedText(text_.mid(line.textStart()).simplified(), Qt::ElideRight, width);
        break;
      }
      out << text_.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return out;
  }
  QSize sizeHint() const override {
    const int n = std::max<qsizetype>(1, lines(std::max(width(), 100)).size());
    return QSize(100, int(std::ceil(QFontMetricsF(font()).lineSpacing() * n)));
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setPen(NimboTokens::ink0);
    const QStringList ls = lines(width());
    const qreal lh = QFontMetricsF(font()).lineSpacing();
    qreal y = (height() - lh * ls.size()) / 2;
    for (const QString& l : ls) {
      p.drawText(QRectF(0, y, width(), lh), Qt::AlignLeft | Qt::AlignVCenter, l);
      y += lh;
    }
  }

 private:
  QString text_;
  int maxLines_;
};

class StatusDot : public QWidget {
 public:
  StatusDot(bool success, QWidget* parent) : QWidget(parent), success_(success) { setFixedSize(16, 16); }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor glow = success_ ? NimboTokens::accentGlow : NimboTokens::red;
    if (!success_) glow.setAlphaF(0.35);
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(QRectF(2, 2, 12, 12));
    p.setBrush(success_ ? NimboTokens::accent : NimboTokens::red);
    p.drawEllipse(QRectF(4, 4, 8, 8));
  }

 private:
  bool success_;
};

class ToastRoot : public NimboHostingView {
 public:
  using NimboHostingView::NimboHostingView;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(NimboTokens::lineSoft, 1));
    p.setBrush(NimboTokens::bg1);
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
  }
};

QPushButton* capsuleButton(const QString& label, bool filled, QWidget* parent) {
  // "&" would otherwise mark a keyboard mnemonic ("Upload & Copy Link").
  auto* b = new QPushButton(QString(label).replace('&', QLatin1String("&&")), parent);
  b->setFont(nimboFont(FontFamily::interface, 12, QFont::DemiBold));
  b->setCursor(Qt::PointingHandCursor);
  b->setFlat(true);
  const QString ink = NimboTokens::ink0.name();
  b->setStyleSheet(filled ? QStringLiteral("QPushButton{background:%1;color:%2;border:1px solid %3;"
                                           "border-radius:11px;padding:4px 10px;}")
                                .arg(NimboTokens::bg2.name(), ink, NimboTokens::line.name())
                          : QStringLiteral("QPushButton{background:transparent;color:%1;border:none;"
                                           "padding:4px 2px;}")
                                .arg(ink));
  return b;
}

}  // namespace

UploadToast* UploadToast::current() { return g_current; }

void UploadToast::show(const QString& message, bool success, const QString& actionLabel,
                       Action action, const QString& secondaryActionLabel, Action secondaryAction) {
  if (g_current) g_current->close();
  auto* toast = new UploadToast(message, success, actionLabel, std::move(action),
                                secondaryActionLabel, std::move(secondaryAction));
  g_current = toast;
  toast->present();
}

UploadToast::UploadToast(const QString& message, bool success, const QString& actionLabel,
                         Action action, const QString& secondaryLabel, Action secondary)
    : message_(message),
      success_(success),
      actionLabel_(actionLabel),
      secondaryLabel_(secondaryLabel),
      action_(std::move(action)),
      secondary_(std::move(secondary)) {
  layout_ = toastLayout(success, bool(action_), bool(secondary_));

  Qt::WindowFlags flags = Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::X11BypassWindowManagerHint | Qt::WindowDoesNotAcceptFocus;
  // Without a button the toast must not catch clicks meant for the window
  // below; the X input shape is emptied, not just Qt's event dispatch.
  if (!layout_.takesClicks) flags |= Qt::WindowTransparentForInput;
  auto* root = new ToastRoot(nullptr);
  root->setWindowFlags(flags);
  root->setAttribute(Qt::WA_ShowWithoutActivating);
  root->setAttribute(Qt::WA_DeleteOnClose);
  root->setWindowTitle(QStringLiteral("Nimbo toast"));
  root->setObjectName(QStringLiteral("NimboToast"));
  root->setFixedSize(layout_.panelSize);
  // Without a compositing manager the transparent corners would show black;
  // the mask cuts them off either way.
  QPainterPath shape;
  shape.addRoundedRect(QRectF(QPointF(0, 0), QSizeF(layout_.panelSize)), 10, 10);
  root->setMask(QRegion(shape.toFillPolygon().toPolygon()));
  panel_ = root;

  auto* row = new QHBoxLayout(root);
  row->setContentsMargins(14, 10, 14, 10);
  row->setSpacing(10);
  row->addWidget(new StatusDot(success, root), 0, Qt::AlignVCenter);
  row->addWidget(new ToastMessage(message, success ? 1 : 3, root), 1);
  if (action_ && !actionLabel_.isEmpty()) {
    QPushButton* b = capsuleButton(actionLabel_, true, root);
    connect(b, &QPushButton::clicked, this, &UploadToast::triggerAction);
    row->addWidget(b, 0, Qt::AlignVCenter);
  }
  if (secondary_ && !secondaryLabel_.isEmpty()) {
    QPushButton* b = capsuleButton(secondaryLabel_, false, root);
    connect(b, &QPushButton::clicked, this, &UploadToast::triggerSecondaryAction);
    row->addWidget(b, 0, Qt::AlignVCenter);
  }
}

UploadToast::~UploadToast() {
  if (panel_) panel_->close();
  if (g_current == this) g_current = nullptr;
}

void UploadToast::triggerAction() {
  if (action_) action_();
}

void UploadToast::triggerSecondaryAction() {
  if (secondary_) secondary_();
}

void UploadToast::present() {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen || !panel_) return;
  const QRect avail = screen->availableGeometry();
  const QSize s = layout_.panelSize;
  panel_->move(avail.x() + (avail.width() - s.width()) / 2, avail.y() + avail.height() - 32 - s.height());
  panel_->setWindowOpacity(0);
  panel_->show();
  auto* fade = new QPropertyAnimation(panel_, "windowOpacity", panel_);
  fade->setDuration(150);
  fade->setEndValue(1.0);
  fade->start(QAbstractAnimation::DeleteWhenStopped);

  dismissTimer_ = new QTimer(this);
  dismissTimer_->setSingleShot(true);
  connect(dismissTimer_, &QTimer::timeout, this, &UploadToast::fadeOut);
  dismissTimer_->start(int(layout_.visibleDuration * 1000));
}

void UploadToast::fadeOut() {
  if (!panel_) return close();
  auto* fade = new QPropertyAnimation(panel_, "windowOpacity", panel_);
  fade->setDuration(200);
  fade->setEndValue(0.0);
  QPointer<UploadToast> self(this);
  connect(fade, &QPropertyAnimation::finished, this, [self] {
    if (self) self->close();
  });
  fade->start(QAbstractAnimation::DeleteWhenStopped);
}

void UploadToast::close() {
  if (dismissTimer_) {
    dismissTimer_->stop();
    dismissTimer_->deleteLater();
    dismissTimer_ = nullptr;
  }
  if (panel_) panel_->close();  // deletes itself
  if (g_current == this) g_current = nullptr;
  deleteLater();
}

}  // namespace nimbo
