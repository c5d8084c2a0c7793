#pragma once
// Advice lines from each provider's window forecasts. Pure; safe from any thread.
#include <optional>
#include <vector>

#include "models/forecast_result.h"
#include "models/pace_result.h"
#include "models/provider.h"
#include "models/recommendation.h"
#include "models/usage_snapshot.h"

namespace qd::RecommendationEngine {

// One per enabled provider.
struct Input {
  Provider provider = Provider::codex;
  std::optional<ForecastResult> fiveHour;
  std::optional<ForecastResult> longWindow;  // after the long-window re-grade
  std::optional<PaceResult> pace;            // not consulted by the rules
  std::optional<UsageSnapshot> snapshot;     // latest five-hour snapshot; not consulted by the rules

  bool operator==(const Input&) const = default;
};

// In input order, each input's weekly then five-hour advice, then at most one
// cross-provider advice. No de-duplication, no limit.
[[nodiscard]] std::vector<Recommendation> recommendations(const std::vector<Input>& inputs);

}  // namespace qd::RecommendationEngine
