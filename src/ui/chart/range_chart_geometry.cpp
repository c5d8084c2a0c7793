#include "chart/range_chart_geometry.h"

#include <algorithm>
#include <cmath>

namespace qd {
namespace RangeChartGeometry {

std::vector<ChartPoint> actualPoints(const std::vector<UsageSnapshot>& series) {
  std::vector<ChartPoint> points;
  points.reserve(series.size());
  for (const auto& s : series) points.push_back({s.timestamp, s.usedPercent});
  return points;
}

std::vector<ChartPoint> forecastPoints(const std::vector<UsageSnapshot>& series,
                                       const std::optional<ChartForecast>& forecast) {
  if (!forecast || series.empty() || !forecast->resetAt || !forecast->burnRatePercentPerHour ||
      !forecast->projectedUsedAtReset)
    return {};
  const auto& last = series.back();
  return {{last.timestamp, last.usedPercent}, {*forecast->resetAt, *forecast->projectedUsedAtReset}};
}

std::vector<ChartPoint> idealPoints(const std::vector<UsageSnapshot>& series,
                                    const std::optional<ChartForecast>& forecast, bool showIdealPace) {
  if (!showIdealPace || !forecast || !forecast->resetAt || series.empty() || !series.back().windowDurationMins)
    return {};
  const Timestamp reset = *forecast->resetAt;
  return {{addSeconds(reset, -*series.back().windowDurationMins * 60.0), 0}, {reset, 100}};
}

ColorRole chartColorRole(const std::optional<ChartForecast>& forecast) {
  return forecast ? colorRole(forecast->status) : ColorRole::safe;
}

double Layout::x(Timestamp t) const {
  const double span = secondsBetween(start, end);
  return plot.left() + plot.width() * secondsBetween(start, t) / span;
}

double Layout::y(double value) const {
  const double v = std::isfinite(value) ? std::clamp(value, 0.0, valueCeiling) : 0.0;
  return plot.bottom() - plot.height() * v / valueCeiling;
}

std::optional<Layout> layout(double width, double height, const std::vector<ChartPoint>& actual,
                             const std::vector<ChartPoint>& forecast, const std::vector<ChartPoint>& ideal,
                             double right) {
  std::optional<Timestamp> lo, hi;
  for (const auto* list : {&actual, &forecast, &ideal})
    for (const auto& p : *list) {
      if (!lo || p.time < *lo) lo = p.time;
      if (!hi || p.time > *hi) hi = p.time;
    }
  if (!lo || !(*hi > *lo)) return std::nullopt;
  Layout l;
  l.start = *lo;
  l.end = *hi;
  l.plot = QRectF(0, topInset, std::max(1.0, width - std::max(right, rightInset)), std::max(1.0, height - topInset - bottomInset));
  return l;
}

std::optional<Marker> runOutMarker(const Layout& layout, const std::optional<ChartForecast>& forecast) {
  if (!forecast || !forecast->runOutAt || !layout.contains(*forecast->runOutAt)) return std::nullopt;
  const double x = layout.x(*forecast->runOutAt);
  return Marker{x, x < layout.plot.center().x()};
}

std::optional<Marker> resetMarker(const Layout& layout, const std::optional<ChartForecast>& forecast) {
  if (!forecast || !forecast->resetAt || !layout.contains(*forecast->resetAt)) return std::nullopt;
  return Marker{layout.x(*forecast->resetAt), false};
}

std::vector<Timestamp> timeTicks(const Layout& layout) {
  return {layout.start, addSeconds(layout.start, secondsBetween(layout.start, layout.end) / 2), layout.end};
}

}  // namespace RangeChartGeometry

namespace UsageBarGeometry {

namespace {
double clampPercent(double v) { return std::isfinite(v) ? std::clamp(v, 0.0, 100.0) : 0.0; }
}  // namespace

double fillWidth(double width, double shown) { return width * clampPercent(shown) / 100.0; }

std::optional<std::pair<double, double>> projectionSegment(double width, double shown,
                                                           std::optional<double> projected) {
  if (!projected || !std::isfinite(*projected) || !(*projected - shown > 0.4)) return std::nullopt;
  const double from = fillWidth(width, shown);
  const double to = width * std::min(*projected, 100.0) / 100.0;
  if (to <= from) return std::nullopt;
  return std::pair{from, to};
}

double tickX(double width, double percent) { return width * clampPercent(percent) / 100.0 - 0.75; }

}  // namespace UsageBarGeometry

void Spring::step(double seconds) {
  if (!(seconds > 0)) return;
  const double omega = 2.0 * M_PI / std::max(response, 0.01);
  const double stiffness = omega * omega;
  const double damping = 2.0 * dampingFraction * omega;
  // Semi-implicit Euler in steps of at most 4 ms keeps the spring stable for any frame time.
  const int steps = std::max(1, static_cast<int>(std::ceil(seconds / 0.004)));
  const double dt = seconds / steps;
  for (int i = 0; i < steps; ++i) {
    const double accel = -stiffness * (value - target) - damping * velocity;
    velocity += accel * dt;
    value += velocity * dt;
  }
}

bool Spring::settled() const { return std::abs(value - target) < 0.01 && std::abs(velocity) < 0.05; }

double easeOut(double t) {
  const double c = std::clamp(t, 0.0, 1.0);
  return 1.0 - std::pow(1.0 - c, 3.0);
}

}  // namespace qd
