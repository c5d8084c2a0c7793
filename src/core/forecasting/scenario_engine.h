#pragma once
// What-if alternatives for the rest of a window: other effort levels and the
// Codex fast mode. Pure; safe from any thread.
#include <vector>

#include "models/provider.h"
#include "models/scenario_result.h"
#include "models/source_confidence.h"
#include "models/usage_snapshot.h"

namespace qd::ScenarioEngine {

// `currentUsed` and `futureAdditional` are points (the forecast's current use, and
// max(0, its projection - current use)); `snapshot` is the newest of the window.
// Zero to four results, in the order lower, higher, fast mode (Codex), maximum.
[[nodiscard]] std::vector<ScenarioResult> scenarios(Provider provider, double currentUsed, double futureAdditional,
                                                    const UsageSnapshot& snapshot, SourceConfidence confidence);

}  // namespace qd::ScenarioEngine
