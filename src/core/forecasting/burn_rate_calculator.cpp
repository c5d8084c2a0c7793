#include "forecasting/burn_rate_calculator.h"

#include <algorithm>
#include <cmath>

namespace qd::BurnRateCalculator {

namespace {

// Spans at or under this many hours (36 s) are too short to divide by.
constexpr double kMinSpanHours = 0.01;

std::vector<const UsageSnapshot*> pointers(const std::vector<UsageSnapshot>& series) {
  std::vector<const UsageSnapshot*> out;
  out.reserve(series.size());
  for (const auto& s : series) out.push_back(&s);
  return out;
}

bool isReset(const UsageSnapshot& previous, const UsageSnapshot& next) {
  if (next.usedPercent < previous.usedPercent - kResetDropPoints) return true;
  if (previous.resetAt && next.resetAt &&
      std::abs(secondsBetween(*previous.resetAt, *next.resetAt)) > kResetShiftSeconds)
    return true;
  return false;
}

std::optional<BurnRate> fixedBasis(std::span<const UsageSnapshot* const> series, ForecastBasis basis,
                                   double lookBackSeconds) {
  const UsageSnapshot& latest = *series.back();
  const Timestamp cutoff = addSeconds(latest.timestamp, -lookBackSeconds);
  // Time-ordered: the kept samples are a suffix.
  const auto first = std::lower_bound(series.begin(), series.end(), cutoff,
                                      [](const UsageSnapshot* s, Timestamp c) { return s->timestamp < c; });
  const auto kept = static_cast<int>(series.end() - first);
  if (kept < 2) return std::nullopt;
  const double spanHours = secondsBetween((*first)->timestamp, latest.timestamp) / 3600;
  if (!(spanHours > kMinSpanHours)) return std::nullopt;
  return BurnRate{(latest.usedPercent - (*first)->usedPercent) / spanHours, kept, spanHours, basis};
}

std::optional<BurnRate> sinceWindowStart(std::span<const UsageSnapshot* const> series) {
  const UsageSnapshot& latest = *series.back();
  if (!latest.resetAt || !latest.windowDurationMins) return std::nullopt;
  const Timestamp windowStart = addSeconds(*latest.resetAt, -*latest.windowDurationMins * 60);
  const double spanHours = secondsBetween(windowStart, latest.timestamp) / 3600;
  if (!(spanHours > kMinSpanHours)) return std::nullopt;
  // The window is taken to have started at 0%.
  return BurnRate{latest.usedPercent / spanHours, static_cast<int>(series.size()), spanHours,
                  ForecastBasis::sinceWindowStart};
}

}  // namespace

size_t latestSeriesStart(std::span<const UsageSnapshot* const> series) {
  size_t start = 0;
  for (size_t i = 1; i < series.size(); ++i)
    if (isReset(*series[i - 1], *series[i])) start = i;
  return series.empty() ? 0 : start;
}

std::vector<UsageSnapshot> latestSeries(const std::vector<UsageSnapshot>& series) {
  const auto ptrs = pointers(series);
  const size_t start = latestSeriesStart(ptrs);
  return {series.begin() + static_cast<std::ptrdiff_t>(start), series.end()};
}

std::optional<BurnRate> burnRate(std::span<const UsageSnapshot* const> series, ForecastBasis basis, Timestamp now) {
  if (series.size() < 2) return std::nullopt;
  switch (basis) {
    case ForecastBasis::sinceWindowStart: return sinceWindowStart(series);
    case ForecastBasis::smart:
      for (ForecastBasis tryBasis : {ForecastBasis::last1h, ForecastBasis::last3h, ForecastBasis::last6h,
                                     ForecastBasis::sinceWindowStart})
        if (auto rate = burnRate(series, tryBasis, now)) return rate;
      return std::nullopt;
    default: return fixedBasis(series, basis, trailingSpanSeconds(basis).value_or(3600));
  }
}

std::optional<BurnRate> burnRate(const std::vector<UsageSnapshot>& series, ForecastBasis basis, Timestamp now) {
  const auto ptrs = pointers(series);
  return burnRate(std::span<const UsageSnapshot* const>(ptrs), basis, now);
}

}  // namespace qd::BurnRateCalculator
