#include "desktop/symbol_icons.h"

#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <functional>
#include <map>

namespace qd::SymbolIcons {

namespace {

// All drawings are in a 16 × 16 box.
using Draw = std::function<void(QPainter&, const QColor&)>;

QPen stroke(const QColor& c, qreal w = 1.6) {
  QPen p(c, w);
  p.setCapStyle(Qt::RoundCap);
  p.setJoinStyle(Qt::RoundJoin);
  return p;
}

void filledCircleWith(QPainter& p, const QColor& c, const std::function<void(QPainter&)>& inner) {
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawEllipse(QRectF(1, 1, 14, 14));
  p.setCompositionMode(QPainter::CompositionMode_DestinationOut);
  inner(p);
  p.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void gauge(QPainter& p, const QColor& c, double fraction) {
  p.setPen(stroke(c, 1.7));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(1.5, 2.5, 13, 13), -30 * 16, 240 * 16);
  const double angle = (210.0 - 240.0 * fraction) * M_PI / 180.0;
  const QPointF centre(8, 9);
  p.drawLine(centre, centre + QPointF(std::cos(angle) * 5, -std::sin(angle) * 5));
  p.setBrush(c);
  p.setPen(Qt::NoPen);
  p.drawEllipse(centre, 1.6, 1.6);
  for (double f : {0.0, 0.25, 0.5, 0.75, 1.0}) {
    const double a = (210.0 - 240.0 * f) * M_PI / 180.0;
    p.drawEllipse(centre + QPointF(std::cos(a) * 4.2, -std::sin(a) * 4.2), 0.55, 0.55);
  }
}

const std::map<QString, std::pair<QString, Draw>>& table() {
  static const std::map<QString, std::pair<QString, Draw>> t = {
      {"chart.line.uptrend.xyaxis",
       {"", [](QPainter& p, const QColor& c) {
          p.setPen(stroke(c, 1.4));
          p.drawLine(QPointF(2, 2), QPointF(2, 14));
          p.drawLine(QPointF(2, 14), QPointF(14.5, 14));
          p.setPen(stroke(c, 1.8));
          p.drawPolyline(QPolygonF({QPointF(4, 11.5), QPointF(7, 8), QPointF(9.5, 10), QPointF(14, 4.5)}));
        }}},
      {"exclamationmark.triangle.fill",
       {"dialog-warning", [](QPainter& p, const QColor& c) {
          QPainterPath tri;
          tri.moveTo(8, 1.5);
          tri.lineTo(15.2, 14.3);
          tri.lineTo(0.8, 14.3);
          tri.closeSubpath();
          p.setPen(stroke(c, 1.2));
          p.setBrush(c);
          p.drawPath(tri);
          p.setCompositionMode(QPainter::CompositionMode_DestinationOut);
          p.setPen(stroke(Qt::black, 1.8));
          p.drawLine(QPointF(8, 6), QPointF(8, 9.6));
          p.setPen(Qt::NoPen);
          p.setBrush(Qt::black);
          p.drawEllipse(QPointF(8, 12.1), 1.0, 1.0);
          p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        }}},
      {"arrow.clockwise",
       {"view-refresh", [](QPainter& p, const QColor& c) {
          p.setPen(stroke(c, 1.6));
          p.setBrush(Qt::NoBrush);
          p.drawArc(QRectF(2.5, 2.5, 11, 11), 80 * 16, 290 * 16);
          p.setBrush(c);
          p.setPen(Qt::NoPen);
          p.drawPolygon(QPolygonF({QPointF(8.2, 0.6), QPointF(11.8, 3.1), QPointF(8.2, 5.6)}));
        }}},
      {"slider.horizontal.3",
       {"configure", [](QPainter& p, const QColor& c) {
          p.setPen(stroke(c, 1.4));
          for (auto [y, x] : {std::pair{3.5, 10.5}, {8.0, 5.0}, {12.5, 9.0}}) {
            p.drawLine(QPointF(1.5, y), QPointF(14.5, y));
            p.setBrush(c);
            p.drawEllipse(QPointF(x, y), 1.8, 1.8);
          }
        }}},
      {"wand.and.stars",
       {"", [](QPainter& p, const QColor& c) {
          p.setPen(stroke(c, 1.8));
          p.drawLine(QPointF(2.5, 13.5), QPointF(10, 6));
          p.setPen(stroke(c, 1.1));
          for (auto pt : {QPointF(12.5, 3), QPointF(6, 2.5), QPointF(13, 9.5)}) {
            p.drawLine(pt + QPointF(-1.6, 0), pt + QPointF(1.6, 0));
            p.drawLine(pt + QPointF(0, -1.6), pt + QPointF(0, 1.6));
          }
        }}},
      {"gauge.with.dots.needle.0percent", {"", [](QPainter& p, const QColor& c) { gauge(p, c, 0.0); }}},
      {"gauge.with.dots.needle.33percent", {"", [](QPainter& p, const QColor& c) { gauge(p, c, 0.33); }}},
      {"checkmark.circle.fill",
       {"", [](QPainter& p, const QColor& c) {
          filledCircleWith(p, c, [](QPainter& q) {
            q.setPen(stroke(Qt::black, 1.8));
            q.setBrush(Qt::NoBrush);
            q.drawPolyline(QPolygonF({QPointF(4.8, 8.3), QPointF(7.1, 10.6), QPointF(11.3, 5.6)}));
          });
        }}},
      {"checkmark",
       {"", [](QPainter& p, const QColor& c) {
          p.setPen(stroke(c, 1.9));
          p.drawPolyline(QPolygonF({QPointF(3, 8.5), QPointF(6.5, 12), QPointF(13, 4)}));
        }}},
      {"link",
       {"insert-link", [](QPainter& p, const QColor& c) {
          p.setPen(stroke(c, 1.6));
          p.setBrush(Qt::NoBrush);
          p.save();
          p.translate(8, 8);
          p.rotate(-45);
          p.drawRoundedRect(QRectF(-7, -2.6, 8, 5.2), 2.6, 2.6);
          p.drawRoundedRect(QRectF(-1, -2.6, 8, 5.2), 2.6, 2.6);
          p.restore();
        }}},
      {"clock",
       {"", [](QPainter& p, const QColor& c) {
          p.setPen(stroke(c, 1.4));
          p.setBrush(Qt::NoBrush);
          p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
          p.drawPolyline(QPolygonF({QPointF(8, 4.2), QPointF(8, 8), QPointF(10.8, 9.8)}));
        }}},
      {"clock.badge",
       {"", [](QPainter& p, const QColor& c) {
          p.setPen(stroke(c, 1.4));
          p.setBrush(Qt::NoBrush);
          p.drawEllipse(QRectF(1, 2.5, 12, 12));
          p.drawPolyline(QPolygonF({QPointF(7, 5.5), QPointF(7, 8.5), QPointF(9.4, 10)}));
          p.setPen(Qt::NoPen);
          p.setBrush(c);
          p.drawEllipse(QPointF(13, 3), 2.6, 2.6);
        }}},
      {"arrow.up.right",
       {"", [](QPainter& p, const QColor& c) {
          p.setPen(stroke(c, 1.8));
          p.drawLine(QPointF(3.5, 12.5), QPointF(12.5, 3.5));
          p.drawPolyline(QPolygonF({QPointF(5.5, 3.5), QPointF(12.5, 3.5), QPointF(12.5, 10.5)}));
        }}},
      {"arrow.down.right",
       {"", [](QPainter& p, const QColor& c) {
          p.setPen(stroke(c, 1.8));
          p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
          p.drawPolyline(QPolygonF({QPointF(12.5, 5.5), QPointF(12.5, 12.5), QPointF(5.5, 12.5)}));
        }}},
      {"rectangle.2.swap",
       {"", [](QPainter& p, const QColor& c) {
          p.setPen(stroke(c, 1.3));
          p.setBrush(Qt::NoBrush);
          p.drawRoundedRect(QRectF(1.5, 2, 8, 6), 1.5, 1.5);
          p.drawRoundedRect(QRectF(6.5, 8, 8, 6), 1.5, 1.5);
          p.drawPolyline(QPolygonF({QPointF(11, 2.5), QPointF(13, 4.5), QPointF(11, 6.5)}));
          p.drawPolyline(QPolygonF({QPointF(5, 9.5), QPointF(3, 11.5), QPointF(5, 13.5)}));
        }}},
      {"eye.fill",
       {"", [](QPainter& p, const QColor& c) {
          QPainterPath eye;
          eye.moveTo(0.8, 8);
          eye.quadTo(8, -0.5, 15.2, 8);
          eye.quadTo(8, 16.5, 0.8, 8);
          p.setPen(Qt::NoPen);
          p.setBrush(c);
          p.drawPath(eye);
          p.setCompositionMode(QPainter::CompositionMode_DestinationOut);
          p.setBrush(Qt::black);
          p.drawEllipse(QPointF(8, 8), 3.2, 3.2);
          p.setCompositionMode(QPainter::CompositionMode_SourceOver);
          p.setBrush(c);
          p.drawEllipse(QPointF(8, 8), 1.8, 1.8);
        }}},
      {"xmark.octagon.fill",
       {"", [](QPainter& p, const QColor& c) {
          QPolygonF oct;
          for (int i = 0; i < 8; ++i) {
            const double a = (22.5 + 45.0 * i) * M_PI / 180.0;
            oct << QPointF(8 + 7.2 * std::cos(a), 8 + 7.2 * std::sin(a));
          }
          p.setPen(Qt::NoPen);
          p.setBrush(c);
          p.drawPolygon(oct);
          p.setCompositionMode(QPainter::CompositionMode_DestinationOut);
          p.setPen(stroke(Qt::black, 1.8));
          p.drawLine(QPointF(5.3, 5.3), QPointF(10.7, 10.7));
          p.drawLine(QPointF(10.7, 5.3), QPointF(5.3, 10.7));
          p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        }}},
      {"info.circle.fill",
       {"", [](QPainter& p, const QColor& c) {
          filledCircleWith(p, c, [](QPainter& q) {
            q.setPen(stroke(Qt::black, 1.8));
            q.drawLine(QPointF(8, 7.2), QPointF(8, 11.5));
            q.setPen(Qt::NoPen);
            q.setBrush(Qt::black);
            q.drawEllipse(QPointF(8, 4.7), 1.05, 1.05);
          });
        }}},
      {"chevron.left",
       {"go-previous", [](QPainter& p, const QColor& c) {
          p.setPen(stroke(c, 2.0));
          p.drawPolyline(QPolygonF({QPointF(10.5, 2.5), QPointF(5, 8), QPointF(10.5, 13.5)}));
        }}},
      {"plus.circle",
       {"", [](QPainter& p, const QColor& c) {
          p.setPen(stroke(c, 1.4));
          p.setBrush(Qt::NoBrush);
          p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
          p.drawLine(QPointF(8, 4.8), QPointF(8, 11.2));
          p.drawLine(QPointF(4.8, 8), QPointF(11.2, 8));
        }}},
  };
  return t;
}

}  // namespace

QStringList knownSymbols() {
  QStringList names;
  for (const auto& [name, entry] : table()) names << name;
  return names;
}

QString themedName(const QString& symbol) {
  auto it = table().find(symbol);
  return it == table().end() ? QString() : it->second.first;
}

QPixmap drawn(const QString& symbol, const QColor& color, int size, qreal dpr) {
  QPixmap pm(QSize(size, size) * dpr);
  pm.setDevicePixelRatio(dpr);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 16.0, size / 16.0);
  auto it = table().find(symbol);
  if (it != table().end()) {
    it->second.second(p, color);
  } else {
    // Unknown names still show a mark rather than an empty space.
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QPointF(8, 8), 3, 3);
  }
  return pm;
}

QIcon icon(const QString& symbol, const QColor& color, int size, bool preferThemed) {
  if (preferThemed) {
    const QString themed = themedName(symbol);
    if (!themed.isEmpty() && QIcon::hasThemeIcon(themed)) return QIcon::fromTheme(themed);
  }
  QIcon ic;
  ic.addPixmap(drawn(symbol, color, size, 1.0));
  ic.addPixmap(drawn(symbol, color, size, 2.0));
  return ic;
}

}  // namespace qd::SymbolIcons
