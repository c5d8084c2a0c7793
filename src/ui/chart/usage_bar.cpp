#include "chart/usage_bar.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace qd {

namespace UB = UsageBarGeometry;

UsageBar::UsageBar(QWidget* parent, int barHeight) : QWidget(parent), barHeight_(barHeight) {
  setFixedHeight(barHeight_);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  frameTimer_.setInterval(16);
  connect(&frameTimer_, &QTimer::timeout, this, &UsageBar::tick);
}

void UsageBar::setValues(double used, std::optional<double> projected, std::optional<double> idealMarker,
                         QColor color) {
  const bool changed = used != used_;
  used_ = used;
  projected_ = projected;
  ideal_ = idealMarker;
  color_ = color;
  if (appeared_ && changed) animateTo(used_, 0.55);
  else if (!appeared_) spring_.target = used_;
  update();
}

void UsageBar::settle() {
  frameTimer_.stop();
  appeared_ = true;
  spring_.value = spring_.target = used_;
  spring_.velocity = 0;
  update();
}

void UsageBar::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (!appeared_) {
    appeared_ = true;
    animateTo(used_, 0.7);
  }
}

void UsageBar::animateTo(double target, double response) {
  spring_.target = target;
  spring_.response = response;
  spring_.dampingFraction = 0.82;
  clock_.restart();
  if (!frameTimer_.isActive()) frameTimer_.start();
}

void UsageBar::tick() {
  const double dt = std::min(clock_.restart() / 1000.0, 0.05);
  spring_.step(dt);
  if (spring_.settled()) {
    spring_.value = spring_.target;
    spring_.velocity = 0;
    frameTimer_.stop();
  }
  update();
}

void UsageBar::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const double w = width();
  const double h = barHeight_;
  QPainterPath capsule;
  capsule.addRoundedRect(QRectF(0, 0, w, h), h / 2, h / 2);
  p.setClipPath(capsule);
  const bool lightBackground = palette().color(QPalette::Window).lightnessF() > 0.5;
  // The track is white at 8 % on dark; on a light background the same role is a faint shade.
  p.fillPath(capsule, lightBackground ? QColor(0, 0, 0, 20) : QColor(255, 255, 255, 20));

  const double shown = spring_.value;
  const double fill = UB::fillWidth(w, shown);
  if (fill > 0) {
    QColor glow = color_;
    glow.setAlphaF(0.5);
    QPainterPath fillPath;
    fillPath.addRoundedRect(QRectF(0, 0, fill, h), h / 2, h / 2);
    // A soft glow: the fill widened by a few translucent outlines.
    for (int r = 3; r >= 1; --r) {
      QColor g = glow;
      g.setAlphaF(0.5 / (r + 1));
      p.setPen(QPen(g, r * 2.0));
      p.drawPath(fillPath);
    }
    QLinearGradient grad(0, 0, fill, 0);
    QColor start = color_;
    start.setAlphaF(0.85);
    grad.setColorAt(0, start);
    grad.setColorAt(1, color_);
    p.fillPath(fillPath, grad);
  }
  if (auto seg = UB::projectionSegment(w, shown, projected_)) {
    const QRectF r(seg->first, 0, seg->second - seg->first, h);
    QColor tint = color_;
    tint.setAlphaF(0.2);
    p.fillRect(r, tint);
    QLinearGradient sheen(0, 0, 0, h);
    sheen.setColorAt(0, QColor(255, 255, 255, static_cast<int>(0.3 * 255 * 0.5)));
    sheen.setColorAt(1, QColor(255, 255, 255, static_cast<int>(0.04 * 255)));
    p.fillRect(r, sheen);
  }
  if (projected_) p.fillRect(QRectF(UB::tickX(w, *projected_), 0, 1.5, h), QColor(255, 255, 255, 230));
  if (ideal_) p.fillRect(QRectF(UB::tickX(w, *ideal_), 0, 1.5, h), QColor(255, 255, 255, 115));
}

}  // namespace qd
