#include "chart/range_chart_geometry.h"

#include <gtest/gtest.h>

namespace qd {
namespace {

namespace G = RangeChartGeometry;

const Timestamp t0 = fromUnixSeconds(1'800'000'000);

UsageSnapshot reading(double minutes, double used, std::optional<double> windowMins = 300) {
  UsageSnapshot s;
  s.timestamp = addSeconds(t0, minutes * 60);
  s.usedPercent = used;
  s.windowDurationMins = windowMins;
  return s;
}

ChartForecast forecastAt(double resetMinutes, double projected, std::optional<double> runOutMinutes = {}) {
  ChartForecast f;
  f.status = ForecastStatus::watch;
  f.resetAt = addSeconds(t0, resetMinutes * 60);
  f.burnRatePercentPerHour = 10;
  f.projectedUsedAtReset = projected;
  if (runOutMinutes) f.runOutAt = addSeconds(t0, *runOutMinutes * 60);
  return f;
}

TEST(RangeChartPoints, ForecastLineRunsFromLastReadingToReset) {
  const std::vector series{reading(0, 10), reading(30, 20)};
  const auto pts = G::forecastPoints(series, forecastAt(120, 70));
  ASSERT_EQ(pts.size(), 2u);
  EXPECT_EQ(pts[0], (ChartPoint{series[1].timestamp, 20}));
  EXPECT_EQ(pts[1], (ChartPoint{addSeconds(t0, 7200), 70}));
}

TEST(RangeChartPoints, ForecastLineNeedsResetBurnAndProjection) {
  const std::vector series{reading(0, 10)};
  auto f = forecastAt(120, 70);
  f.burnRatePercentPerHour.reset();
  EXPECT_TRUE(G::forecastPoints(series, f).empty());
  f = forecastAt(120, 70);
  f.resetAt.reset();
  EXPECT_TRUE(G::forecastPoints(series, f).empty());
  EXPECT_TRUE(G::forecastPoints({}, forecastAt(120, 70)).empty());
  EXPECT_TRUE(G::forecastPoints(series, std::nullopt).empty());
}

TEST(RangeChartPoints, IdealLineSpansTheWholeWindow) {
  const std::vector series{reading(0, 10, 300)};
  const auto pts = G::idealPoints(series, forecastAt(120, 70), true);
  ASSERT_EQ(pts.size(), 2u);
  EXPECT_EQ(pts[0], (ChartPoint{addSeconds(t0, 7200 - 300 * 60), 0}));
  EXPECT_EQ(pts[1], (ChartPoint{addSeconds(t0, 7200), 100}));
  EXPECT_TRUE(G::idealPoints(series, forecastAt(120, 70), false).empty());
  EXPECT_TRUE(G::idealPoints({reading(0, 10, std::nullopt)}, forecastAt(120, 70), true).empty());
}

TEST(RangeChartPoints, ColourFollowsStatus) {
  struct Case { std::optional<ForecastStatus> status; ColorRole role; };
  const Case cases[] = {{std::nullopt, ColorRole::safe},          {ForecastStatus::safe, ColorRole::safe},
                        {ForecastStatus::watch, ColorRole::watch}, {ForecastStatus::risky, ColorRole::risky},
                        {ForecastStatus::limitLikely, ColorRole::risky},
                        {ForecastStatus::limited, ColorRole::limited},
                        {ForecastStatus::noData, ColorRole::neutral}, {ForecastStatus::unknown, ColorRole::neutral}};
  for (const auto& c : cases) {
    std::optional<ChartForecast> f;
    if (c.status) f = ChartForecast{*c.status};
    EXPECT_EQ(G::chartColorRole(f), c.role);
  }
}

TEST(RangeChartLayout, SingleReadingWithoutForecastDrawsNothing) {
  const std::vector series{reading(0, 10)};
  EXPECT_FALSE(G::layout(400, 130, G::actualPoints(series), {}, {}).has_value());
}

TEST(RangeChartLayout, SingleReadingWithForecastPutsResetAtRightEdge) {
  const std::vector series{reading(0, 10)};
  const auto f = forecastAt(120, 70);
  const auto fc = G::forecastPoints(series, f);
  const auto l = G::layout(400, 130, G::actualPoints(series), fc, {});
  ASSERT_TRUE(l.has_value());
  EXPECT_DOUBLE_EQ(l->plot.left(), 0);
  EXPECT_DOUBLE_EQ(l->plot.top(), 14);
  EXPECT_DOUBLE_EQ(l->plot.width(), 370);
  EXPECT_DOUBLE_EQ(l->plot.height(), 100);
  const auto reset = G::resetMarker(*l, f);
  ASSERT_TRUE(reset.has_value());
  EXPECT_DOUBLE_EQ(reset->x, 370);
}

TEST(RangeChartLayout, ValuesAreClampedToTheCeiling) {
  const std::vector series{reading(0, 10), reading(60, 40)};
  const auto l = G::layout(400, 130, G::actualPoints(series), G::forecastPoints(series, forecastAt(120, 180)), {});
  ASSERT_TRUE(l.has_value());
  EXPECT_DOUBLE_EQ(l->y(180), l->plot.top());
  EXPECT_DOUBLE_EQ(l->y(110), l->plot.top());
  EXPECT_DOUBLE_EQ(l->y(-5), l->plot.bottom());
  EXPECT_DOUBLE_EQ(l->y(55), l->plot.bottom() - 50);
  EXPECT_DOUBLE_EQ(l->x(addSeconds(t0, 3600)), 185);
}

TEST(RangeChartLayout, TinyCanvasKeepsAPositivePlot) {
  const std::vector series{reading(0, 10), reading(60, 40)};
  const auto l = G::layout(10, 20, G::actualPoints(series), {}, {});
  ASSERT_TRUE(l.has_value());
  EXPECT_DOUBLE_EQ(l->plot.width(), 1);
  EXPECT_DOUBLE_EQ(l->plot.height(), 1);
}

TEST(RangeChartMarkers, RunOutOutsideTheRangeIsNotDrawn) {
  const std::vector series{reading(0, 10), reading(60, 40)};
  const auto f = forecastAt(120, 130, 200);
  const auto l = G::layout(400, 130, G::actualPoints(series), G::forecastPoints(series, f), {});
  ASSERT_TRUE(l.has_value());
  EXPECT_FALSE(G::runOutMarker(*l, f).has_value());
}

TEST(RangeChartMarkers, RunOutLabelSitsOnTheFreeSide) {
  const std::vector series{reading(0, 10), reading(60, 40)};
  const auto early = forecastAt(120, 130, 20);
  const auto late = forecastAt(120, 130, 100);
  const auto l = G::layout(400, 130, G::actualPoints(series), G::forecastPoints(series, early), {});
  ASSERT_TRUE(l.has_value());
  EXPECT_TRUE(G::runOutMarker(*l, early)->labelOnRight);
  EXPECT_FALSE(G::runOutMarker(*l, late)->labelOnRight);
}

TEST(UsageBar, FillIsClampedToTheTrack) {
  EXPECT_DOUBLE_EQ(UsageBarGeometry::fillWidth(200, 120), 200);
  EXPECT_DOUBLE_EQ(UsageBarGeometry::fillWidth(200, -5), 0);
  EXPECT_DOUBLE_EQ(UsageBarGeometry::fillWidth(200, 25), 50);
}

TEST(UsageBar, ProjectionSegmentNeedsMoreThanFourTenths) {
  EXPECT_FALSE(UsageBarGeometry::projectionSegment(200, 40, 40.3).has_value());
  EXPECT_FALSE(UsageBarGeometry::projectionSegment(200, 40, std::nullopt).has_value());
  const auto seg = UsageBarGeometry::projectionSegment(200, 40, 150);
  ASSERT_TRUE(seg.has_value());
  EXPECT_DOUBLE_EQ(seg->first, 80);
  EXPECT_DOUBLE_EQ(seg->second, 200);
  EXPECT_DOUBLE_EQ(UsageBarGeometry::tickX(200, 40.3), 200 * 0.403 - 0.75);
}

TEST(UsageBarSpring, SettlesOnTheTargetWithoutRunningAway) {
  Spring s;
  s.value = 0;
  s.target = 80;
  s.response = 0.7;
  double peak = 0;
  for (int frame = 0; frame < 120; ++frame) {
    s.step(1.0 / 60);
    peak = std::max(peak, s.value);
  }
  EXPECT_NEAR(s.value, 80, 0.05);
  EXPECT_TRUE(s.settled());
  // Damping 0.82 overshoots a little, never wildly.
  EXPECT_GT(peak, 80);
  EXPECT_LT(peak, 84);
}

TEST(UsageBarSpring, LongFramesStayStable) {
  Spring s;
  s.target = 50;
  s.step(2.0);
  EXPECT_NEAR(s.value, 50, 0.5);
}

TEST(Reveal, EaseOutStartsFastAndEndsAtOne) {
  EXPECT_DOUBLE_EQ(easeOut(0), 0);
  EXPECT_DOUBLE_EQ(easeOut(1), 1);
  EXPECT_GT(easeOut(0.5), 0.5);
  EXPECT_DOUBLE_EQ(easeOut(2), 1);
}

}  // namespace
}  // namespace qd
