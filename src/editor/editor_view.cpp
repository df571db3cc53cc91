#include "editor/editor_view.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QScopeGuard>

#include <algorithm>
#include <cmath>

#include "editor/annotation_tool.h"
#include "editor/renderer.h"

namespace nimbo {

namespace {

constexpr double kShadowBlur = 30, kShadowOffset = 8, kShadowAlpha = 0.5;
// The shadow is soft, so it is blurred at a quarter of the size and scaled up.
constexpr int kShadowDownscale = 4;

// Three box blurs of the alpha channel approximate a Gaussian.
void boxBlurAlpha(QImage& img, int radius) {
  if (radius < 1) return;
  const int w = img.width(), h = img.height();
  std::vector<int> line(std::max(w, h));
  auto pass = [&](bool horizontal) {
    const int n = horizontal ? w : h, lines = horizontal ? h : w;
    for (int l = 0; l < lines; ++l) {
      auto px = [&](int i) -> uchar& {
        return horizontal ? img.scanLine(l)[i] : img.scanLine(i)[l];
      };
      int sum = 0;
      for (int i = -radius; i <= radius; ++i) sum += (i >= 0 && i < n) ? px(i) : 0;
      for (int i = 0; i < n; ++i) {
        line[i] = sum / (2 * radius + 1);
        const int out = i - radius, in = i + radius + 1;
        if (out >= 0) sum -= px(out);
        if (in < n) sum += px(in);
      }
      for (int i = 0; i < n; ++i) px(i) = uchar(line[i]);
    }
  };
  for (int k = 0; k < 3; ++k) pass(true), pass(false);
}

// An Escape in the inline field cancels the text instead of leaving the key
// to the window.
class InlineTextField : public QLineEdit {
 public:
  InlineTextField(EditorView* view) : QLineEdit(view), view_(view) {}

 protected:
  void keyPressEvent(QKeyEvent* e) override {
    if (e->key() == Qt::Key_Escape) {
      e->accept();
      view_->cancelTextEntry();
      return;
    }
    QLineEdit::keyPressEvent(e);
  }

 private:
  EditorView* view_;
};

}  // namespace

EditorView::EditorView(Canvas* canvas, QWidget* parent) : QWidget(parent), canvas_(canvas) {
  setFocusPolicy(Qt::StrongFocus);
  setMouseTracking(false);
  setAttribute(Qt::WA_OpaquePaintEvent);
  shownTool_ = canvas->currentTool();
  setCursor(shownTool_->cursor());
  connect(canvas, &Canvas::changed, this, &EditorView::canvasChanged);
}

QRectF EditorView::imageRect() const {
  if (!canvas_) return {};
  const QSize px = canvas_->baseImage().size();
  const QRectF area = QRectF(rect()).adjusted(kInset, kInset, -kInset, -kInset);
  if (px.width() < 1 || px.height() < 1 || area.width() <= 0 || area.height() <= 0) return {};
  const double scale = std::min({area.width() / px.width(), area.height() / px.height(), 1.0});
  QRectF r(0, 0, px.width() * scale, px.height() * scale);
  r.moveCenter(area.center());
  return r;
}

std::optional<QPointF> EditorView::pixelPoint(QPointF p) const {
  const QRectF r = imageRect();
  if (r.isEmpty() || !rectContains(r, p)) return std::nullopt;
  const double s = r.width() / canvas_->baseImage().width();
  // Widget rows grow downwards; image pixels grow upwards.
  return QPointF((p.x() - r.left()) / s, (r.bottom() - p.y()) / s);
}

QPointF EditorView::viewPoint(QPointF pixel) const {
  const QRectF r = imageRect();
  const double s = r.width() / std::max(1, canvas_->baseImage().width());
  return QPointF(r.left() + pixel.x() * s, r.bottom() - pixel.y() * s);
}

const QImage& EditorView::shadowFor(QSizeF size) {
  const QSize key = size.toSize();
  if (key == shadowSize_) return shadow_;
  shadowSize_ = key;
  const int pad = int(kShadowBlur) / kShadowDownscale + 2;
  const QSize small(std::max(1, key.width() / kShadowDownscale), std::max(1, key.height() / kShadowDownscale));
  QImage alpha(small + QSize(2 * pad, 2 * pad), QImage::Format_Alpha8);
  alpha.fill(0);
  {
    QPainter p(&alpha);
    p.fillRect(QRect(QPoint(pad, pad), small), QColor(0, 0, 0, int(kShadowAlpha * 255 + 0.5)));
  }
  boxBlurAlpha(alpha, std::max(1, int(kShadowBlur / kShadowDownscale / 2)));
  shadow_ = alpha;
  return shadow_;
}

void EditorView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), backgroundColor);
  const QRectF r = imageRect();
  if (r.isEmpty() || !canvas_) return;
  const QImage& base = canvas_->baseImage();
  const double s = r.width() / base.width();

  const QImage& shadow = shadowFor(r.size());
  const double grow = (shadow.width() * kShadowDownscale - r.width()) / 2;
  const QRectF shadowRect = r.adjusted(-grow, -grow, grow, grow).translated(0, kShadowOffset);
  p.save();
  p.setRenderHint(QPainter::SmoothPixmapTransform);
  p.drawImage(shadowRect, shadow);
  p.restore();
  p.setRenderHint(QPainter::SmoothPixmapTransform, s < 1);
  p.drawImage(r, base);

  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  p.translate(r.topLeft());
  p.scale(s, s);
  p.setTransform(imageSpace(base.height()), true);
  for (const Annotation& a : canvas_->annotations()) {
    p.save();
    drawAnnotation(p, a);
    p.restore();
  }
  const std::optional<int> sel = canvas_->selectedAnnotationIndex();
  if (sel && *sel >= 0 && *sel < int(canvas_->annotations().size())) {
    QPen pen(QColor(202, 245, 77), 2 / s);
    pen.setDashPattern({3, 2});  // in pen widths: 6 and 4 points on screen
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const QRectF box = boundingBox(canvas_->annotations()[size_t(*sel)]);
    p.drawRect(box.adjusted(-4, -4, 4, 4));
  }
  p.save();
  canvas_->currentTool()->drawActive(p);
  p.restore();
  p.restore();
}

void EditorView::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton || !canvas_) return;
  setFocus(Qt::MouseFocusReason);
  activeModifiers_ = e->modifiers();
  if (const auto at = pixelPoint(e->position())) canvas_->currentTool()->start(*at, *canvas_, activeModifiers_);
  update();
}

void EditorView::mouseMoveEvent(QMouseEvent* e) {
  if (!(e->buttons() & Qt::LeftButton) || !canvas_) return;
  activeModifiers_ = e->modifiers();
  if (const auto at = pixelPoint(e->position())) canvas_->currentTool()->update(*at, *canvas_, activeModifiers_);
  update();
}

void EditorView::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton || !canvas_) return;
  activeModifiers_ = e->modifiers();
  AnnotationTool* tool = canvas_->currentTool();
  if (const auto at = pixelPoint(e->position())) {
    if (std::optional<Annotation> a = tool->finish(*at, *canvas_, activeModifiers_)) canvas_->commit(*a);
  } else {
    tool->cancel();
  }
  update();
}

void EditorView::resizeEvent(QResizeEvent*) {
  // A request that arrived while the view had no room is taken up now.
  if (canvas_ && canvas_->pendingTextEntry() && !field_) beginTextEntry(*canvas_->pendingTextEntry());
}

void EditorView::canvasChanged() {
  if (!canvas_) return;
  if (canvas_->currentTool() != shownTool_) {
    shownTool_ = canvas_->currentTool();
    setCursor(shownTool_->cursor());
  }
  if (canvas_->pendingTextEntry()) beginTextEntry(*canvas_->pendingTextEntry());
  update();
}

void EditorView::beginTextEntry(const Canvas::TextEntryRequest& request) {
  // Committing an open field changes the canvas, which calls back here.
  if (beginningText_) return;
  beginningText_ = true;
  const auto done = qScopeGuard([this] { beginningText_ = false; });
  if (field_) commitTextEntry();
  const QRectF r = imageRect();
  if (r.isEmpty()) return;  // stays pending until there is room
  const double s = r.width() / canvas_->baseImage().width();
  auto* field = new InlineTextField(this);
  QFont font = annotationFont(18 * s);
  field->setFont(font);
  field->setFrame(false);
  field->setTextMargins(0, 0, 0, 0);
  field->setContentsMargins(0, 0, 0, 0);
  field->setAttribute(Qt::WA_MacShowFocusRect, false);
  QPalette pal = field->palette();
  pal.setColor(QPalette::Text, request.color);
  pal.setColor(QPalette::Base, Qt::transparent);
  field->setPalette(pal);
  field->setAutoFillBackground(false);
  field->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; border: none; padding: 0; color: %1; }")
                           .arg(request.color.name(QColor::HexArgb)));
  // The typed text sits on the request point's baseline at the size the
  // committed text will have on screen.
  const QFontMetricsF fm(font);
  const QPointF baseline = viewPoint(request.point);
  field->setGeometry(QRectF(baseline.x(), baseline.y() - fm.ascent() - 4, 200, fm.ascent() + fm.descent() + 8)
                         .toRect());
  connect(field, &QLineEdit::returnPressed, this, &EditorView::commitTextEntry);
  connect(field, &QLineEdit::editingFinished, this, &EditorView::commitTextEntry);
  field->show();
  field->setFocus(Qt::OtherFocusReason);
  field_ = field;
  request_ = request;
  canvas_->setPendingTextEntry(std::nullopt);
}

void EditorView::commitTextEntry() {
  if (!field_ || !request_) return;
  const QString text = field_->text().trimmed();
  const Canvas::TextEntryRequest request = *request_;
  closeTextField();
  if (text.isEmpty() || !canvas_) return;
  canvas_->commit(TextAnnotation{request.point, text, 18, request.color, true});
}

void EditorView::cancelTextEntry() {
  if (!field_) return;
  closeTextField();
  update();
}

void EditorView::closeTextField() {
  QLineEdit* field = field_;
  field_ = nullptr;
  request_.reset();
  // Disconnected first: losing focus would otherwise commit it again.
  field->disconnect(this);
  field->hide();
  field->deleteLater();
  setFocus(Qt::OtherFocusReason);
}

}  // namespace nimbo
