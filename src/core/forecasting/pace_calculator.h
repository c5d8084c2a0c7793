#pragma once
// Pace of a long window against even spending over it. Pure; safe from any thread.
#include "models/pace_result.h"
#include "models/timestamp.h"
#include "models/usage_snapshot.h"

namespace qd::PaceCalculator {

// Never fails: a snapshot without reset time or duration gives the noData verdict.
[[nodiscard]] PaceResult pace(const UsageSnapshot& snapshot, Timestamp now);

}  // namespace qd::PaceCalculator
