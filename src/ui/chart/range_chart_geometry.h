#pragma once
#include <QPointF>
#include <QRectF>
#include <optional>
#include <vector>

#include "models/forecast_result.h"
#include "models/forecast_status.h"
#include "models/timestamp.h"
#include "models/usage_snapshot.h"

namespace qd {

// The parts of a forecast the range chart draws.
struct ChartForecast {
  ForecastStatus status = ForecastStatus::noData;
  std::optional<Timestamp> resetAt;
  std::optional<double> burnRatePercentPerHour;
  std::optional<double> projectedUsedAtReset;
  std::optional<Timestamp> runOutAt;
};

[[nodiscard]] inline ChartForecast chartForecast(const ForecastResult& f) {
  return {f.status, f.resetAt, f.burnRatePercentPerHour, f.projectedUsedAtReset, f.runOutAt};
}

struct ChartPoint {
  Timestamp time{};
  double value = 0;  // percent
  bool operator==(const ChartPoint&) const = default;
};

// The pure half of the range chart: which points, where, and which markers.
// Painting (RangeChartView) only draws what these functions return.
namespace RangeChartGeometry {

inline constexpr double canvasHeight = 130;
inline constexpr double topInset = 14;      // marker labels
inline constexpr double bottomInset = 16;   // time labels
inline constexpr double rightInset = 30;    // percentage labels, at least (the view widens it to fit "100%")
inline constexpr double valueCeiling = 110; // the 100 % line sits below the top edge

[[nodiscard]] std::vector<ChartPoint> actualPoints(const std::vector<UsageSnapshot>& series);
// Last reading → (reset, projection), when the forecast has a reset, a burn rate and a projection.
[[nodiscard]] std::vector<ChartPoint> forecastPoints(const std::vector<UsageSnapshot>& series,
                                                     const std::optional<ChartForecast>& forecast);
// (reset − window, 0) → (reset, 100), the even-spend line.
[[nodiscard]] std::vector<ChartPoint> idealPoints(const std::vector<UsageSnapshot>& series,
                                                  const std::optional<ChartForecast>& forecast, bool showIdealPace);
// The line colour's role; no forecast draws in the safe colour.
[[nodiscard]] ColorRole chartColorRole(const std::optional<ChartForecast>& forecast);

struct Layout {
  Timestamp start{};
  Timestamp end{};
  QRectF plot;
  [[nodiscard]] double x(Timestamp t) const;
  // Values are clamped to [0, 110].
  [[nodiscard]] double y(double value) const;
  [[nodiscard]] QPointF map(const ChartPoint& p) const { return {x(p.time), y(p.value)}; }
  [[nodiscard]] bool contains(Timestamp t) const { return t >= start && t <= end; }
};

// Nothing when the time range over all three lists is empty (latest not after earliest).
[[nodiscard]] std::optional<Layout> layout(double width, double height, const std::vector<ChartPoint>& actual,
                                           const std::vector<ChartPoint>& forecast,
                                           const std::vector<ChartPoint>& ideal, double right = rightInset);

struct Marker {
  double x = 0;
  bool labelOnRight = true;  // run-out label beside the line
};
[[nodiscard]] std::optional<Marker> runOutMarker(const Layout& layout, const std::optional<ChartForecast>& forecast);
[[nodiscard]] std::optional<Marker> resetMarker(const Layout& layout, const std::optional<ChartForecast>& forecast);

// Start, middle and end of the range, for the time labels.
[[nodiscard]] std::vector<Timestamp> timeTicks(const Layout& layout);

}  // namespace RangeChartGeometry

// The pure half of the usage bar.
namespace UsageBarGeometry {

[[nodiscard]] double fillWidth(double width, double shown);
// [from, to] of the translucent projection segment, when `projected` exceeds `shown` by more than 0.4.
[[nodiscard]] std::optional<std::pair<double, double>> projectionSegment(double width, double shown,
                                                                         std::optional<double> projected);
// Left edge of the 1.5-wide tick centred at `percent`.
[[nodiscard]] double tickX(double width, double percent);

}  // namespace UsageBarGeometry

// A damped spring on one value, integrated in small steps. `response` is the
// undamped period in seconds; `dampingFraction` 1 is critically damped.
struct Spring {
  double value = 0;
  double velocity = 0;
  double target = 0;
  double response = 0.55;
  double dampingFraction = 0.82;

  void step(double seconds);
  [[nodiscard]] bool settled() const;
};

// Ease-out (cubic) of t in [0, 1].
[[nodiscard]] double easeOut(double t);

}  // namespace qd
