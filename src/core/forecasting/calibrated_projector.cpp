#include "forecasting/calibrated_projector.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "forecasting/usage_history.h"

namespace qd::CalibratedProjector {

std::optional<CalibratedProjection> project(Provider p, const UsageSnapshot& latest, const UsageHistory& history,
                                            double e, Timestamp now) {
  if (!latest.resetAt || !latest.windowDurationMins || !(*latest.windowDurationMins > 0)) return std::nullopt;
  const Timestamp windowStart = addSeconds(*latest.resetAt, -*latest.windowDurationMins * 60);
  const int64_t t = history.tokens(p, windowStart);
  if (t < 1) return std::nullopt;
  const double u = latest.usedPercent;
  if (!(u > 0)) return std::nullopt;
  const double a = history.averageDailyTokens(p, 7, now);
  const double r = history.recencyWeightedDailyTokens(p, 7, 0.6, now);
  if (!(a > 0)) return std::nullopt;

  const double k = u / static_cast<double>(t);
  const double d = r > a ? r : a;
  CalibratedProjection c;
  c.daysRemaining = std::max(0.0, secondsBetween(now, *latest.resetAt)) / 86400.0;
  const double projected = u + e * (k * (d * history.effectiveDays(p, now, *latest.resetAt)));
  c.projectedUsedAtReset = std::clamp(std::isfinite(projected) ? projected : 140.0, 0.0, 140.0);
  c.dailyBurnPercent = e * k * a;
  c.daysOfHeadroom = c.dailyBurnPercent > 0 ? std::max(0.0, 100 - u) / c.dailyBurnPercent
                                            : std::numeric_limits<double>::infinity();
  c.avgDailyTokens = d;
  c.tokensThisWindow = t;
  for (const auto& [day, tokens] : history.recentSeries(p, 7, now))
    if (tokens >= 1) ++c.activeDays;
  c.spiking = a * 1.25 < r;
  return c;
}

}  // namespace qd::CalibratedProjector
