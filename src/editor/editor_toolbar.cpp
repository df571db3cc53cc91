#include "editor/editor_toolbar.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>

#include <cmath>

#include "capture/capture_flow.h"
#include "capture/capture_history.h"
#include "capture/pasteboard.h"
#include "editor/annotation_tool.h"
#include "editor/canvas.h"
#include "editor/renderer.h"
#include "ui/design_system.h"
#include "ui/upload_toast.h"

namespace nimbo {

bool colorsEqual(const QColor& a, const QColor& b) {
  const QColor x = a.toRgb(), y = b.toRgb();
  if (!x.isValid() || !y.isValid()) return a == b;
  return std::abs(x.redF() - y.redF()) < 0.01 && std::abs(x.greenF() - y.greenF()) < 0.01 &&
         std::abs(x.blueF() - y.blueF()) < 0.01 && std::abs(x.alphaF() - y.alphaF()) < 0.01;
}

const std::array<QColor, 7>& editorPalette() {
  static const std::array<QColor, 7> palette{
      Canvas::kDefaultToolColor,
      QColor::fromRgbF(0.9803921568627451f, 0.7843137254901961f, 0.0f),
      QColor::fromRgbF(0.792156862745098f, 0.9607843137254902f, 0.30196078431372547f),
      QColor::fromRgbF(0.36470588235294116f, 0.7490196078431373f, 1.0f),
      QColor::fromRgbF(0.8156862745098039f, 0.5450980392156862f, 1.0f),
      QColor::fromRgbF(0.98f, 0.98f, 0.98f),
      QColor::fromRgbF(0.12f, 0.12f, 0.12f),
  };
  return palette;
}

namespace {

// The desktop theme's icon when it has one, else a small drawn glyph.
struct Symbol {
  QString themeName;
  void (*draw)(QPainter&, const QRectF&);
};

void drawPointer(QPainter& p, const QRectF& r) {
  QPainterPath path;
  path.moveTo(r.left() + 0.2 * r.width(), r.top());
  path.lineTo(r.left() + 0.2 * r.width(), r.bottom() - 0.15 * r.height());
  path.lineTo(r.left() + 0.45 * r.width(), r.top() + 0.62 * r.height());
  path.lineTo(r.right() - 0.1 * r.width(), r.top() + 0.62 * r.height());
  path.closeSubpath();
  p.fillPath(path, p.pen().color());
}
void drawArrow(QPainter& p, const QRectF& r) {
  const QPointF a(r.left() + 1, r.bottom() - 1), b(r.right() - 1, r.top() + 1);
  p.drawLine(a, b);
  p.drawLine(b, QPointF(b.x() - r.width() * 0.45, b.y()));
  p.drawLine(b, QPointF(b.x(), b.y() + r.height() * 0.45));
}
void drawRectangle(QPainter& p, const QRectF& r) { p.drawRoundedRect(r.adjusted(0.5, 2, -0.5, -2), 1.5, 1.5); }
void drawMarker(QPainter& p, const QRectF& r) {
  QPen pen = p.pen();
  pen.setWidthF(r.height() * 0.3);
  pen.setCapStyle(Qt::RoundCap);
  QColor c = pen.color();
  c.setAlphaF(0.6);
  pen.setColor(c);
  p.save();
  p.setPen(pen);
  p.drawLine(QPointF(r.left() + 2, r.center().y() + 2), QPointF(r.right() - 2, r.center().y() - 2));
  p.restore();
}
void drawLetter(QPainter& p, const QRectF& r) {
  QFont f = p.font();
  f.setPixelSize(int(r.height()));
  f.setWeight(QFont::DemiBold);
  p.save();
  p.setFont(f);
  p.drawText(r, Qt::AlignCenter, QStringLiteral("Aa"));
  p.restore();
}
void drawHiddenEye(QPainter& p, const QRectF& r) {
  p.drawEllipse(r.adjusted(0.5, r.height() * 0.25, -0.5, -r.height() * 0.25));
  p.drawLine(r.bottomLeft() + QPointF(1, -1), r.topRight() + QPointF(-1, 1));
}
void drawQuestion(QPainter& p, const QRectF& r) { p.drawText(r, Qt::AlignCenter, QStringLiteral("?")); }

Symbol toolSymbol(const AnnotationTool* tool) {
  const QString k = tool->shortcut();
  if (k == "V") return {"edit-select", drawPointer};
  if (k == "A") return {"draw-arrow", drawArrow};
  if (k == "R") return {"draw-rectangle", drawRectangle};
  if (k == "H") return {"draw-highlight", drawMarker};
  if (k == "T") return {"draw-text", drawLetter};
  if (k == "B") return {"view-hidden", drawHiddenEye};
  return {"help-about", drawQuestion};
}

void paintSymbol(QPainter& p, const Symbol& s, const QRectF& r, const QColor& ink) {
  if (QIcon::hasThemeIcon(s.themeName)) {
    QIcon::fromTheme(s.themeName).paint(&p, r.toAlignedRect());
    return;
  }
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(ink, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  s.draw(p, r);
  p.restore();
}

// A button icon: the theme's, else the glyph drawn in the button's ink.
QIcon actionIcon(const QString& themeName, void (*draw)(QPainter&, const QRectF&), const QColor& ink) {
  if (QIcon::hasThemeIcon(themeName)) return QIcon::fromTheme(themeName);
  QPixmap pm(32, 32);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(ink, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  draw(p, QRectF(4, 4, 24, 24));
  return QIcon(pm);
}
void drawCopies(QPainter& p, const QRectF& r) {
  p.drawRoundedRect(QRectF(r.left(), r.top() + r.height() * 0.3, r.width() * 0.65, r.height() * 0.7), 3, 3);
  p.drawRoundedRect(QRectF(r.left() + r.width() * 0.35, r.top(), r.width() * 0.65, r.height() * 0.7), 3, 3);
}
void drawLink(QPainter& p, const QRectF& r) {
  const double w = r.width() * 0.55, h = r.height() * 0.32;
  p.save();
  p.translate(r.center());
  p.rotate(-45);
  p.drawRoundedRect(QRectF(-w + 2, -h / 2, w, h), h / 2, h / 2);
  p.drawRoundedRect(QRectF(-2, -h / 2, w, h), h / 2, h / 2);
  p.restore();
}
void drawUpload(QPainter& p, const QRectF& r) {
  p.drawEllipse(r);
  p.drawLine(QPointF(r.center().x(), r.bottom() - r.height() * 0.25), QPointF(r.center().x(), r.top() + r.height() * 0.25));
  p.drawLine(QPointF(r.center().x(), r.top() + r.height() * 0.25), QPointF(r.center().x() - r.width() * 0.2, r.top() + r.height() * 0.45));
  p.drawLine(QPointF(r.center().x(), r.top() + r.height() * 0.25), QPointF(r.center().x() + r.width() * 0.2, r.top() + r.height() * 0.45));
}

constexpr int kToolButtonHeight = 28, kToolPadding = 10, kToolSymbol = 13, kToolSpacing = 6;

QFont letterFont() { return nimboFont(FontFamily::mono, 10, QFont::DemiBold); }

void paintBottomLine(QWidget* w) {
  QPainter p(w);
  p.fillRect(QRect(0, w->height() - 1, w->width(), 1), NimboTokens::line);
}

}  // namespace

ToolButton::ToolButton(AnnotationTool* tool, QWidget* parent) : QAbstractButton(parent), tool_(tool) {
  setAttribute(Qt::WA_Hover);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::NoFocus);  // keys belong to the editor view
  setFixedHeight(kToolButtonHeight);
  setToolTip(tool->isSelectTool()
                 ? QStringLiteral("Select (V) — click an annotation to select it, then press Delete to remove")
                 : tool->name() + " (" + tool->shortcut() + ")");
  setAccessibleName(tool->name());
}

void ToolButton::setActive(bool active) {
  if (active_ == active) return;
  active_ = active;
  update();
}

QSize ToolButton::sizeHint() const {
  const double letter = QFontMetricsF(letterFont()).horizontalAdvance(tool_->shortcut());
  return QSize(int(std::ceil(2 * kToolPadding + kToolSymbol + kToolSpacing + letter)), kToolButtonHeight);
}

void ToolButton::paintEvent(QPaintEvent*) {
  using namespace NimboTokens;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  const QColor fill = active_ ? accent : (underMouse() ? bg2 : QColor(Qt::transparent));
  const QColor ink = active_ ? accentInk : ink1;
  p.setPen(QPen(active_ ? accent : line, 1));
  p.setBrush(fill);
  p.drawRoundedRect(r, 7, 7);
  const QRectF symbol(kToolPadding, (height() - kToolSymbol) / 2.0, kToolSymbol, kToolSymbol);
  paintSymbol(p, toolSymbol(tool_), symbol, ink);
  QColor letterInk = ink;
  letterInk.setAlphaF(0.7);
  p.setPen(letterInk);
  p.setFont(letterFont());
  p.drawText(QRectF(symbol.right() + kToolSpacing, 0, width(), height()), Qt::AlignLeft | Qt::AlignVCenter,
             tool_->shortcut());
}

EditorToolbarView::EditorToolbarView(Canvas* canvas, CaptureHistory* history, QWidget* parent)
    : QWidget(parent), canvas_(canvas), history_(history) {
  auto* row = new QHBoxLayout(this);
  row->setSpacing(6);
  row->setContentsMargins(14, 10, 14, 10);
  for (AnnotationTool* t : sharedTools()) {
    auto* b = new ToolButton(t, this);
    connect(b, &QAbstractButton::clicked, this, [this, t] {
      if (canvas_) canvas_->setCurrentTool(t);
    });
    buttons_.push_back(b);
    row->addWidget(b);
  }
  row->addStretch(1);
  copyImage_ = new NimboButton(QStringLiteral("Copy Image"), NimboButtonKind::ghost, NimboButtonSize::sm,
                               [this] { copyImage(); }, this, actionIcon("edit-copy", drawCopies, NimboTokens::ink1));
  share_ = new NimboButton(QString(), NimboButtonKind::primary, NimboButtonSize::sm, [this] {
    const CaptureItem* item = canvas_ ? history_->find(canvas_->itemID()) : nullptr;
    if (item && item->shareURL && !item->shareURL->isEmpty())
      copyLink();
    else
      uploadAndCopyLink();
  }, this);
  for (QWidget* w : {static_cast<QWidget*>(copyImage_), static_cast<QWidget*>(share_)}) {
    w->setFocusPolicy(Qt::NoFocus);
    row->addWidget(w);
  }
  connect(canvas, &Canvas::changed, this, &EditorToolbarView::refresh);
  connect(history, &CaptureHistory::itemsChanged, this, &EditorToolbarView::refresh);
  refresh();
}

AnnotationTool* EditorToolbarView::tool(const QString& forShortcut) { return toolForShortcut(forShortcut); }

void EditorToolbarView::refresh() {
  if (!canvas_) return;
  // A new canvas starts on a select tool of its own; the select button
  // stands for it too, so one button is always lit.
  const AnnotationTool* current = canvas_->currentTool();
  for (ToolButton* b : buttons_)
    b->setActive(b->tool() == current || (b->tool()->isSelectTool() && current->isSelectTool()));
  const CaptureItem* item = history_->find(canvas_->itemID());
  const bool hasLink = item && item->shareURL && !item->shareURL->isEmpty();
  if (hasLink) {
    share_->setText(QStringLiteral("Copy Link"));
    share_->setIcon(actionIcon("insert-link", drawLink, NimboTokens::accentInk));
    share_->setEnabled(true);
  } else if (uploading_) {
    share_->setText(QStringLiteral("Uploading…"));
    share_->setIcon(QIcon());
    share_->setEnabled(false);
  } else {
    share_->setText(QStringLiteral("Upload & Copy Link"));
    share_->setIcon(actionIcon("go-up", drawUpload, NimboTokens::accentInk));
    share_->setEnabled(true);
  }
  share_->updateGeometry();
  share_->update();
}

void EditorToolbarView::copyImage() {
  if (!canvas_) return;
  const std::optional<QByteArray> png = Flattener::pngData(*canvas_);
  if (!png) return UploadToast::show(QStringLiteral("Failed to encode image"), false);
  Pasteboard::writeImage(*png);
  UploadToast::show(QStringLiteral("Copied image to clipboard"), true);
}

void EditorToolbarView::copyLink() {
  if (!canvas_) return;
  const CaptureItem* item = history_->find(canvas_->itemID());
  if (!item || !item->shareURL) return;
  const QString url = *item->shareURL;
  Pasteboard::writeURL(url, std::make_pair(item->width, item->height));
  UploadToast::show("Copied: " + url, true);
}

void EditorToolbarView::uploadAndCopyLink() {
  if (!canvas_ || uploading_) return;
  uploading_ = true;
  refresh();
  QPointer<EditorToolbarView> self(this);
  CaptureFlow::uploadRetroactively(canvas_->itemID(), [self] {
    if (!self) return;
    self->uploading_ = false;
    self->refresh();
  });
}

void EditorToolbarView::paintEvent(QPaintEvent*) {
  {
    QPainter p(this);
    p.fillRect(rect(), NimboTokens::bg1);
  }
  paintBottomLine(this);
}

namespace {

class Swatch : public QAbstractButton {
 public:
  Swatch(const QColor& color, QWidget* parent) : QAbstractButton(parent), color_(color) {
    setFixedSize(24, 24);  // 20-point circle and 2 points of padding
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
    setToolTip(QStringLiteral("Pick color"));
  }
  void setCurrent(bool current) {
    if (current_ == current) return;
    current_ = current;
    setToolTip(current ? QStringLiteral("Selected") : QStringLiteral("Pick color"));
    update();
  }
  bool current() const { return current_; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF circle(2, 2, 20, 20);
    p.setPen(Qt::NoPen);
    p.setBrush(color_);
    p.drawEllipse(circle);
    const double ring = current_ ? 2 : 1;
    p.setPen(QPen(current_ ? NimboTokens::ink0 : QColor(255, 255, 255, int(0.15 * 255 + 0.5)), ring));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(circle.adjusted(ring / 2, ring / 2, -ring / 2, -ring / 2));
  }

 private:
  QColor color_;
  bool current_ = false;
};

}  // namespace

EditorInspectorView::EditorInspectorView(Canvas* canvas, QWidget* parent) : QWidget(parent), canvas_(canvas) {
  auto* row = new QHBoxLayout(this);
  row->setSpacing(8);
  row->setContentsMargins(14, 8, 14, 8);
  for (const QColor& c : editorPalette()) {
    auto* s = new Swatch(c, this);
    connect(s, &QAbstractButton::clicked, this, [this, c] {
      if (canvas_) canvas_->setColor(canvas_->currentTool(), c);
    });
    swatches_.push_back(s);
    row->addWidget(s);
  }
  row->addStretch(1);
  connect(canvas, &Canvas::changed, this, &EditorInspectorView::refresh);
  refresh();
}

int EditorInspectorView::selectedSwatch() const {
  for (size_t i = 0; i < swatches_.size(); ++i)
    if (static_cast<Swatch*>(swatches_[i])->current()) return int(i);
  return -1;
}

void EditorInspectorView::refresh() {
  if (!canvas_) return;
  const AnnotationTool* tool = canvas_->currentTool();
  const bool shown = !dynamic_cast<const SelectTool*>(tool) && !dynamic_cast<const BlurTool*>(tool);
  // A hidden strip takes no room in the window's column.
  setVisible(shown);
  if (!shown) return;
  const QColor current = canvas_->color(tool);
  for (size_t i = 0; i < swatches_.size(); ++i)
    static_cast<Swatch*>(swatches_[i])->setCurrent(colorsEqual(editorPalette()[i], current));
}

void EditorInspectorView::paintEvent(QPaintEvent*) {
  {
    QPainter p(this);
    p.fillRect(rect(), NimboTokens::bg0);
  }
  paintBottomLine(this);
}

}  // namespace nimbo
