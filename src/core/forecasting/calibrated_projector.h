#pragma once
// The history-calibrated projection of a long window: the percent one local
// transcript token costs in this window, times the tokens a typical day uses,
// over the days of typical use left before the reset.
#include <optional>

#include "models/calibrated_projection.h"
#include "models/provider.h"
#include "models/timestamp.h"
#include "models/usage_snapshot.h"

namespace qd {

class UsageHistory;

namespace CalibratedProjector {

// Nothing without a reset time and duration, without tokens this window, at 0 %
// used, or without any use in the last seven days. `effortScale` multiplies the
// burn (1.0 for Codex; the Claude effort scale otherwise).
[[nodiscard]] std::optional<CalibratedProjection> project(Provider provider, const UsageSnapshot& latest,
                                                          const UsageHistory& history, double effortScale,
                                                          Timestamp now);

}  // namespace CalibratedProjector
}  // namespace qd
