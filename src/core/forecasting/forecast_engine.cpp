#include "forecasting/forecast_engine.h"

#include <algorithm>

#include "forecasting/burn_rate_calculator.h"
#include "utilities/number_formatting.h"
#include "utilities/time_formatting.h"

namespace qd::ForecastEngine {

namespace {

constexpr double kMaxProjection = 140;
// Rates at or under this many points per hour count as no burn.
constexpr double kMinBurnPercentPerHour = 0.01;

using NumberFormatting::percent;

}  // namespace

SourceConfidence confidenceForSampleCount(int sampleCount) {
  if (sampleCount < 5) return SourceConfidence::low;
  if (sampleCount < 24) return SourceConfidence::medium;
  return SourceConfidence::high;
}

ForecastResult forecast(Provider provider, WindowKind window, const std::vector<UsageSnapshot>& snapshots,
                        ForecastBasis basis, Timestamp now) {
  ForecastResult r;
  r.provider = provider;
  r.windowKind = window;
  r.basis = basis;

  // Sort pointers, not records: a window may hold many thousand samples.
  std::vector<const UsageSnapshot*> sorted;
  sorted.reserve(snapshots.size());
  for (const auto& s : snapshots) sorted.push_back(&s);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const UsageSnapshot* a, const UsageSnapshot* b) { return a->timestamp < b->timestamp; });
  const std::span<const UsageSnapshot* const> series =
      std::span<const UsageSnapshot* const>(sorted).subspan(BurnRateCalculator::latestSeriesStart(sorted));

  // A. No data.
  if (series.empty()) {
    r.currentUsedPercent = 0;
    r.currentRemainingPercent = 100;
    r.confidence = SourceConfidence::low;
    r.status = ForecastStatus::noData;
    r.humanSummary = "Not enough activity to forecast yet.";
    return r;
  }

  const UsageSnapshot& latest = *series.back();
  const double used = latest.usedPercent;
  const double remaining = latest.remainingPercent;
  r.currentUsedPercent = used;
  r.currentRemainingPercent = remaining;
  r.resetAt = latest.resetAt;
  if (latest.resetAt) r.timeUntilReset = secondsBetween(now, *latest.resetAt);

  // B. Limit reached.
  if (used >= 100 || latest.rateLimitReachedType) {
    r.projectedUsedAtReset = 100;
    r.projectedRemainingAtReset = 0;
    r.estimatedTimeToLimit = 0;
    r.limitBeforeReset = true;
    r.confidence = latest.sourceConfidence;
    r.status = ForecastStatus::limited;
    r.humanSummary = "Limit reached. Resets " + TimeFormatting::relativeCountdown(r.timeUntilReset) + ".";
    return r;
  }

  // C. Reset unknown.
  if (!latest.resetAt) {
    r.confidence = SourceConfidence::low;
    r.status = ForecastStatus::noData;
    r.humanSummary = "Current usage " + percent(used) + ". Reset time unknown.";
    return r;
  }

  const auto rate = BurnRateCalculator::burnRate(series, basis, now);
  const auto holding = [&] {
    r.projectedUsedAtReset = used;
    r.projectedRemainingAtReset = remaining;
    r.status = used >= 80 ? ForecastStatus::watch : ForecastStatus::safe;
  };

  // D. Not enough activity.
  if (!rate) {
    holding();
    r.confidence = SourceConfidence::low;
    r.humanSummary = "Not enough activity to forecast yet. Current " + percent(used) + ".";
    return r;
  }

  // E. No recent burn (zero and negative rates included).
  if (!(rate->percentPerHour > kMinBurnPercentPerHour)) {
    holding();
    r.burnRatePercentPerHour = 0;
    r.confidence = confidenceForSampleCount(rate->sampleCount);
    r.humanSummary = "No recent burn. Holding at " + percent(used) + ".";
    return r;
  }

  // F. Projection from `now` to the reset at the measured rate.
  const double ratePerHour = rate->percentPerHour;
  const double timeUntilReset = *r.timeUntilReset;
  const double rawProjection = used + (timeUntilReset / 3600) * ratePerHour;
  const double projected = std::min(std::max(rawProjection, 0.0), kMaxProjection);
  const double timeToLimit = remaining / ratePerHour * 3600;

  r.burnRatePercentPerHour = ratePerHour;
  r.projectedUsedAtReset = projected;
  r.projectedRemainingAtReset = std::max(0.0, 100 - projected);
  r.limitBeforeReset = timeToLimit < timeUntilReset;
  if (r.limitBeforeReset) r.estimatedTimeToLimit = timeToLimit;
  // The line runs from the newest sample (not from `now`) to the clamped projection at the reset.
  if (projected > 100 && used < 100 && used < projected) {
    const double fraction = (100 - used) / (projected - used);
    r.runOutAt = addSeconds(latest.timestamp, fraction * secondsBetween(latest.timestamp, *latest.resetAt));
  }
  if (timeToLimit < 3600)
    r.status = ForecastStatus::limitLikely;
  else if (rawProjection >= 100)
    r.status = ForecastStatus::risky;
  else if (rawProjection >= 80)
    r.status = ForecastStatus::watch;
  else
    r.status = ForecastStatus::safe;
  r.confidence = confidenceForSampleCount(rate->sampleCount);
  r.sampleCount = rate->sampleCount;
  r.humanSummary = "At " + std::string(label(rate->basis)) + " pace: ~" + percent(projected) + " by reset (est.)" +
                   (r.limitBeforeReset ? " \u00b7 limit in ~" + TimeFormatting::countdown(timeToLimit)
                                       : std::string(" \u00b7 limit not before reset"));
  return r;
}

}  // namespace qd::ForecastEngine
