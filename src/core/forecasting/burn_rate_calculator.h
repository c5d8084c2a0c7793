#pragma once
// Isolates the samples of a window's current run and measures its burn rate.
// Pure functions; safe from any thread.
#include <optional>
#include <span>
#include <vector>

#include "models/burn_rate.h"
#include "models/forecast_basis.h"
#include "models/timestamp.h"
#include "models/usage_snapshot.h"

namespace qd::BurnRateCalculator {

// Usage drop (points) beyond which a later sample starts a new window; a drop of exactly this is not a reset.
inline constexpr double kResetDropPoints = 12;
// Reset-time shift (seconds) beyond which a later sample starts a new window.
inline constexpr double kResetShiftSeconds = 600;

// The samples since the most recent reset, in input order. `series` must be in time order.
[[nodiscard]] std::vector<UsageSnapshot> latestSeries(const std::vector<UsageSnapshot>& series);
// The same over a time-ordered view, without copying: the index where the current run begins
// (0 with no reset; the size for an empty view).
[[nodiscard]] size_t latestSeriesStart(std::span<const UsageSnapshot* const> series);

// The burn rate of a time-ordered current-window series, anchored at its newest
// sample; nothing when it cannot be measured. `now` only reaches the tries of `smart`.
[[nodiscard]] std::optional<BurnRate> burnRate(const std::vector<UsageSnapshot>& series, ForecastBasis basis,
                                               Timestamp now);
[[nodiscard]] std::optional<BurnRate> burnRate(std::span<const UsageSnapshot* const> series, ForecastBasis basis,
                                               Timestamp now);

}  // namespace qd::BurnRateCalculator
