#include "tray/tray_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <cmath>

#include "desktop/symbol_icons.h"

namespace qd {

namespace {
// Needle position by status, so the icon reads at a glance even without colour.
double needleFraction(ForecastStatus s) {
  switch (s) {
    case ForecastStatus::safe: return 0.3;
    case ForecastStatus::watch: return 0.6;
    case ForecastStatus::risky:
    case ForecastStatus::limitLikely: return 0.85;
    case ForecastStatus::limited: return 1.0;
    case ForecastStatus::noData:
    case ForecastStatus::unknown: break;
  }
  return 0.0;
}
}  // namespace

QImage drawTrayIcon(ForecastStatus status, const Theme& theme, int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  const QColor colour = theme.statusColor(status);
  if (status == ForecastStatus::limited) {
    QPainter p(&image);
    p.drawPixmap(0, 0, SymbolIcons::drawn(QStringLiteral("exclamationmark.triangle.fill"), colour, size));
    return image;
  }
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 64.0, size / 64.0);
  const QRectF arcBox(6, 8, 52, 52);
  const double startDeg = 210, spanDeg = -240;
  // Track: a dark rim under a light core, so the dial reads on dark and on
  // light panels alike, also with no data (an empty dial).
  p.setPen(QPen(QColor(24, 24, 28, 200), 10, Qt::SolidLine, Qt::RoundCap));
  p.drawArc(arcBox, static_cast<int>(startDeg * 16), static_cast<int>(spanDeg * 16));
  p.setPen(QPen(QColor(190, 190, 196, 235), 6, Qt::SolidLine, Qt::RoundCap));
  p.drawArc(arcBox, static_cast<int>(startDeg * 16), static_cast<int>(spanDeg * 16));
  const double f = needleFraction(status);
  if (f > 0) {
    p.setPen(QPen(colour, 8, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(arcBox, static_cast<int>(startDeg * 16), static_cast<int>(spanDeg * f * 16));
  }
  const QPointF centre = arcBox.center();
  const double angle = (startDeg + spanDeg * f) * M_PI / 180.0;
  const QPointF tip = centre + QPointF(std::cos(angle) * 19, -std::sin(angle) * 19);
  p.setPen(QPen(QColor(20, 20, 24), 7, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(centre, tip);
  p.setPen(QPen(colour.lighter(115), 4, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(centre, tip);
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  p.drawEllipse(centre, 5.5, 5.5);
  return image;
}

}  // namespace qd
