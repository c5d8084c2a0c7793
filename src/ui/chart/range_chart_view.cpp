#include "chart/range_chart_view.h"

#include <QDateTime>
#include <QLinearGradient>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>

#include "popover/theme.h"
#include "utilities/time_formatting.h"

namespace qd {

namespace G = RangeChartGeometry;

namespace {

QDateTime localTime(Timestamp t) {
  return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(toUnixSeconds(t) * 1000.0));
}

QColor withAlpha(QColor c, double a) {
  c.setAlphaF(a * c.alphaF());
  return c;
}

QPen linePen(const QColor& c, double width, std::initializer_list<qreal> dashes = {}) {
  QPen pen(c, width);
  pen.setCapStyle(Qt::RoundCap);
  pen.setJoinStyle(Qt::RoundJoin);
  if (dashes.size() > 0) {
    // Qt dash lengths are in units of the pen width.
    QVector<qreal> pattern;
    for (qreal d : dashes) pattern << std::max(d, 0.01) / width;
    pen.setDashPattern(pattern);
    if (width >= 2) pen.setCapStyle(Qt::RoundCap);
    else pen.setCapStyle(Qt::FlatCap);
  }
  return pen;
}

QPolygonF polyline(const G::Layout& l, const std::vector<ChartPoint>& pts) {
  QPolygonF poly;
  for (const auto& p : pts) poly << l.map(p);
  return poly;
}

}  // namespace

RangeChartView::RangeChartView(QWidget* parent) : QWidget(parent), animation_(new QVariantAnimation(this)) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setFixedHeight(static_cast<int>(G::canvasHeight));
  animation_->setStartValue(0.0);
  animation_->setEndValue(1.0);
  animation_->setDuration(700);
  animation_->setEasingCurve(QEasingCurve::OutCubic);
  connect(animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
    reveal_ = v.toDouble();
    update();
  });
  clock_ = [](Timestamp t) { return QString::fromStdString(TimeFormatting::clock(t)); };
}

void RangeChartView::setData(std::vector<UsageSnapshot> series, std::optional<ChartForecast> forecast,
                             bool showIdealPace) {
  series_ = std::move(series);
  forecast_ = std::move(forecast);
  showIdealPace_ = showIdealPace;
  update();
}

void RangeChartView::finishReveal() {
  animation_->stop();
  revealed_ = true;
  reveal_ = 1.0;
  update();
}

QSize RangeChartView::sizeHint() const { return {400, static_cast<int>(G::canvasHeight)}; }
QSize RangeChartView::minimumSizeHint() const { return {120, static_cast<int>(G::canvasHeight)}; }

void RangeChartView::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (!revealed_) {
    revealed_ = true;
    animation_->start();
  }
}

double RangeChartView::percentInset() {
  return std::ceil(QFontMetricsF(Theme::font(8.5)).horizontalAdvance(QStringLiteral("100%"))) + 6;
}

std::vector<RangeChartView::Label> RangeChartView::labels() const {
  const auto actual = G::actualPoints(series_);
  const auto forecastLine = G::forecastPoints(series_, forecast_);
  const auto ideal = G::idealPoints(series_, forecast_, showIdealPace_);
  const auto layout = G::layout(width(), height(), actual, forecastLine, ideal, percentInset());
  if (!layout) return {};
  const QFontMetricsF metrics(Theme::font(8.5));
  const QRectF plot = layout->plot;
  std::vector<Label> out;
  for (int level : {0, 50, 100}) {
    const QString text = QStringLiteral("%1%").arg(level);
    const double y = layout->y(level);
    out.push_back({text, QRectF(plot.right() + 4, y - 8, metrics.horizontalAdvance(text) + 1, 16)});
  }
  // Time labels at the start, middle and end; a range longer than a day names the day too.
  const auto ticks = G::timeTicks(*layout);
  QString fmt = QLocale().timeFormat(QLocale::ShortFormat).contains(QLatin1String("AP"), Qt::CaseInsensitive)
                    ? QStringLiteral("h:mm AP")
                    : QStringLiteral("HH:mm");
  if (secondsBetween(layout->start, layout->end) > 86'400) fmt = QStringLiteral("ddd ") + fmt;
  for (size_t i = 0; i < ticks.size() && i < 3; ++i) {
    const QString text = QLocale().toString(localTime(ticks[i]), fmt);
    const double w = metrics.horizontalAdvance(text) + 1;
    const double x = layout->x(ticks[i]);
    QRectF box(x - w / 2, plot.bottom() + 4, w, G::bottomInset - 4);
    if (i == 0) box.moveLeft(x);
    if (i == 2) box.moveRight(x);
    out.push_back({text, box});
  }
  return out;
}

void RangeChartView::paintEvent(QPaintEvent*) {
  const Theme theme = Theme::current();
  const auto actual = G::actualPoints(series_);
  const auto forecastLine = G::forecastPoints(series_, forecast_);
  const auto ideal = G::idealPoints(series_, forecast_, showIdealPace_);
  const auto layout = G::layout(width(), height(), actual, forecastLine, ideal, percentInset());
  if (!layout) return;
  const QColor colour = theme.color(G::chartColorRole(forecast_));

  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  p.setClipRect(QRectF(0, 0, width() * reveal_, height()));
  const QRectF plot = layout->plot;
  const QFont small = Theme::font(8.5);
  p.setFont(small);

  // Grid at 0, 50 and 100 %.
  for (int level : {0, 50, 100}) {
    const double y = layout->y(level);
    p.setPen(level == 100 ? linePen(theme.divider, 1.0, {3, 3}) : QPen(theme.divider, 0.5));
    p.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
  }
  const std::vector<Label> texts = labels();
  p.setPen(theme.textTertiary);
  for (const Label& label : texts) p.drawText(label.box, Qt::AlignLeft | Qt::AlignVCenter, label.text);

  // Area under the observed line.
  if (actual.size() >= 2) {
    QPolygonF line = polyline(*layout, actual);
    QPainterPath area;
    area.moveTo(line.first().x(), plot.bottom());
    for (const QPointF& pt : line) area.lineTo(pt);
    area.lineTo(line.last().x(), plot.bottom());
    area.closeSubpath();
    QLinearGradient grad(0, plot.top(), 0, plot.bottom());
    grad.setColorAt(0, withAlpha(colour, 0.22));
    grad.setColorAt(1, withAlpha(colour, 0.01));
    p.fillPath(area, grad);
  }
  if (ideal.size() == 2) {
    p.setPen(linePen(withAlpha(theme.accent, 0.5), 1.0, {1, 3}));
    p.drawPolyline(polyline(*layout, ideal));
  }
  if (forecastLine.size() == 2) {
    p.setPen(linePen(withAlpha(colour, 0.9), 2.2, {0.5, 4}));
    p.drawPolyline(polyline(*layout, forecastLine));
  }
  if (actual.size() >= 2) {
    p.setPen(linePen(colour, 2.2));
    p.drawPolyline(polyline(*layout, actual));
  }

  if (auto m = G::runOutMarker(*layout, forecast_)) {
    const double y100 = layout->y(100);
    p.setPen(linePen(withAlpha(theme.risky, 0.7), 1.0, {2, 2}));
    p.drawLine(QPointF(m->x, y100), QPointF(m->x, plot.bottom()));
    p.setPen(Qt::NoPen);
    p.setBrush(theme.risky);
    p.drawEllipse(QPointF(m->x, y100), 3, 3);
    QFont bold = Theme::font(8.5, QFont::DemiBold);
    p.setFont(bold);
    const QString text = QStringLiteral("out ") + clock_(*forecast_->runOutAt);
    const double w = QFontMetricsF(bold).horizontalAdvance(text);
    const double x = m->labelOnRight ? m->x + 4 : m->x - 4 - w;
    p.setPen(theme.risky);
    p.drawText(QPointF(x, plot.bottom() - 5), text);
    p.setFont(small);
  }
  if (auto m = G::resetMarker(*layout, forecast_)) {
    p.setPen(linePen(theme.textTertiary, 1.0, {2, 3}));
    p.drawLine(QPointF(m->x, plot.top()), QPointF(m->x, plot.bottom()));
    QFont medium = Theme::font(8.5, QFont::Medium);
    p.setFont(medium);
    p.setPen(theme.textTertiary);
    p.drawText(QRectF(m->x - 60 - 2, 0, 60, G::topInset - 1), Qt::AlignRight | Qt::AlignBottom,
               QStringLiteral("reset"));
    p.setFont(small);
  }
}

}  // namespace qd
