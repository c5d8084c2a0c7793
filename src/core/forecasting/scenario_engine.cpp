#include "forecasting/scenario_engine.h"

#include <algorithm>
#include <cstdio>

#include "forecasting/scenario_multipliers.h"
#include "utilities/number_formatting.h"
#include "utilities/text.h"

namespace qd::ScenarioEngine {

namespace {

constexpr double kMaxProjection = 140;
constexpr const char* kEffortAssumption = "Estimate based on conservative default multipliers.";
constexpr const char* kAssumedHigh = "Current effort unknown; assumed high.";

struct Inputs {
  double used;
  double future;
  const UsageSnapshot& snapshot;
  SourceConfidence confidence;
};

// A scenario that scales the expected future usage by `ratio`.
ScenarioResult scaled(const Inputs& in, double ratio, std::string title, const std::string& lead,
                      std::vector<std::string> assumptions) {
  const double u = in.used;
  const double p = std::min(std::max(u + in.future * ratio, 0.0), kMaxProjection);
  ScenarioResult r;
  r.title = std::move(title);
  r.description = lead + NumberFormatting::percent(p) + " used by reset";
  r.projectedUsedAtReset = p;
  r.estimatedSavingPercent = in.future * (1 - ratio);  // from the unclamped future, not from p
  r.confidence = in.confidence;
  r.assumptions = std::move(assumptions);
  const auto& s = in.snapshot;
  if (s.resetAt && p > 100 && u < 100 && u < p)
    r.runOutAt = addSeconds(s.timestamp, (100 - u) / (p - u) * secondsBetween(s.timestamp, *s.resetAt));
  return r;
}

}  // namespace

std::vector<ScenarioResult> scenarios(Provider provider, double currentUsed, double futureAdditional,
                                      const UsageSnapshot& snapshot, SourceConfidence confidence) {
  namespace M = ScenarioMultipliers;
  const Inputs in{currentUsed, futureAdditional, snapshot, confidence};
  const M::Table& table = provider == Provider::claude ? M::claudeEffort() : M::codexEffort();
  const std::vector<std::string>& ladder = provider == Provider::claude ? M::claudeLadder() : M::codexLadder();

  const bool effortKnown = snapshot.effortLevel.has_value();
  const std::string level = effortKnown ? asciiLowercase(*snapshot.effortLevel) : "high";
  const double current = effortKnown ? M::lookup(table, level).value_or(1.0) : 1.0;

  std::vector<std::string> effortAssumptions{kEffortAssumption};
  if (!effortKnown) effortAssumptions.emplace_back(kAssumedHigh);

  std::optional<ScenarioResult> lowerEffort, higherEffort, maxEffort, fastMode;
  const auto pos = std::find(ladder.begin(), ladder.end(), level);
  if (pos != ladder.end()) {
    const size_t i = static_cast<size_t>(pos - ladder.begin());
    const size_t last = ladder.size() - 1;
    if (i > 0)
      if (auto m = M::lookup(table, ladder[i - 1]))
        lowerEffort = scaled(in, *m / current, "Lower: " + ladder[i - 1], "Lower to " + ladder[i - 1] + " effort: ~",
                             effortAssumptions);
    if (i < last)
      if (auto m = M::lookup(table, ladder[i + 1]))
        higherEffort = scaled(in, *m / current, "Higher: " + ladder[i + 1],
                              "Higher to " + ladder[i + 1] + " effort: ~", effortAssumptions);
    if (i + 1 < last)
      if (auto m = M::lookup(table, ladder[last]))
        maxEffort = scaled(in, *m / current, "Max: " + ladder[last], "Max to " + ladder[last] + " effort: ~",
                           effortAssumptions);
  }

  if (provider == Provider::codex) {
    const auto speed = snapshot.speedMode ? M::lookup(M::codexSpeed(), asciiLowercase(*snapshot.speedMode)) : std::nullopt;
    const bool fastInUse = speed && *speed > 1.0;
    const double m = fastInUse ? *speed : M::lookup(M::codexSpeed(), "fast-gpt-5.5").value_or(2.5);
    char assumption[96];
    std::snprintf(assumption, sizeof assumption, "Assumes Fast Mode ~%.1f\u00d7 the standard burn.", m);
    fastMode = fastInUse ? scaled(in, 1 / m, "Fast Mode off", "Turning Fast Mode off: ~", {assumption})
                         : scaled(in, m, "Fast Mode on", "Switching to Fast Mode: ~", {assumption});
  }

  std::vector<ScenarioResult> out;
  for (auto* s : {&lowerEffort, &higherEffort, &fastMode, &maxEffort})
    if (*s) out.push_back(std::move(**s));
  return out;
}

}  // namespace qd::ScenarioEngine
