#include "recording/frame_compositor.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/platform.h"

namespace nimbo {

BubbleGeometry BubbleGeometry::forFrame(int width, int height) {
  const double m = std::min(width, height);
  return {0.22 * m, 0.03 * m};
}

const QImage& FrameCompositor::circleMask(int diameter) {
  if (!mask_.isNull() && maskDiameter_ == diameter) return mask_;
  QImage mask(diameter, diameter, QImage::Format_ARGB32_Premultiplied);
  if (mask.isNull()) {
    static const QImage empty;
    return empty;
  }
  mask.fill(Qt::transparent);
  QPainter p(&mask);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawEllipse(QRectF(0, 0, diameter, diameter));
  p.end();
  mask_ = mask;
  maskDiameter_ = diameter;
  return mask_;
}

std::optional<ScreenFrame> FrameCompositor::composite(const ScreenFrame& screen, const QImage& camera) {
  const int w = screen.width, h = screen.height;
  if (w < 1 || h < 1 || camera.isNull()) return std::nullopt;
  if (buffer_.isNull() || poolSize_ != QSize(w, h)) {
    buffer_ = QImage(w, h, QImage::Format_RGB32);
    if (buffer_.isNull()) return std::nullopt;
    poolSize_ = QSize(w, h);
    ++poolsMade_;
  }
  for (int y = 0; y < h; ++y)
    std::memcpy(buffer_.scanLine(y), screen.pixels + size_t(y) * size_t(screen.stride), size_t(w) * 4);
  const BubbleGeometry g = BubbleGeometry::forFrame(w, h);
  const int d = int(g.diameter);
  if (d >= 2) {
    // Mirrored, scaled so its short side is the diameter, the centre square
    // cut out and masked to a circle.
    const QImage mirrored = camera.mirrored(true, false);
    const double scale = g.diameter / std::min(mirrored.width(), mirrored.height());
    const QSize scaled(int(std::ceil(mirrored.width() * scale)), int(std::ceil(mirrored.height() * scale)));
    const QImage big = mirrored.scaled(scaled, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QImage square = big.copy((big.width() - d) / 2, (big.height() - d) / 2, d, d)
                        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter mp(&square);
    mp.setCompositionMode(QPainter::CompositionMode_DestinationIn);
    mp.drawImage(0, 0, circleMask(d));
    mp.end();
    QPainter p(&buffer_);
    // margin from the left and bottom edges.
    p.drawImage(QPointF(g.margin, h - g.margin - d), square);
  }
  return ScreenFrame{buffer_.constBits(), w, h, int(buffer_.bytesPerLine()), screen.ptsNs};
}

}  // namespace nimbo
