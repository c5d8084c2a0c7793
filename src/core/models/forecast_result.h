#pragma once
#include <optional>
#include <string>

#include "models/forecast_basis.h"
#include "models/forecast_status.h"
#include "models/provider.h"
#include "models/source_confidence.h"
#include "models/timestamp.h"
#include "models/window_kind.h"

namespace qd {

// The forecast of one provider's window at one moment. Percentages are points;
// durations are seconds. Equality compares every field.
struct ForecastResult {
  Provider provider = Provider::codex;
  WindowKind windowKind = WindowKind::unknown;
  ForecastBasis basis = ForecastBasis::smart;  // as requested: `smart` stays `smart`
  double currentUsedPercent = 0;
  double currentRemainingPercent = 100;  // as stored, not 100 - used
  std::optional<Timestamp> resetAt;
  std::optional<double> timeUntilReset;          // resetAt - now; negative once the reset is past
  std::optional<double> burnRatePercentPerHour;
  std::optional<double> projectedUsedAtReset;    // 0...140
  std::optional<double> projectedRemainingAtReset;  // 100 - projection, at least 0
  std::optional<double> estimatedTimeToLimit;    // only when the limit comes before the reset
  bool limitBeforeReset = false;
  std::optional<Timestamp> runOutAt;
  SourceConfidence confidence = SourceConfidence::low;
  ForecastStatus status = ForecastStatus::noData;
  std::string humanSummary;
  int sampleCount = 0;  // samples behind the rate; 0 when no rate was used

  // "codex-fiveHour": the key of the result everywhere.
  [[nodiscard]] std::string id() const {
    return std::string(rawValue(provider)) + "-" + std::string(rawValue(windowKind));
  }

  bool operator==(const ForecastResult&) const = default;
};

}  // namespace qd
