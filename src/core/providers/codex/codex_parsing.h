#pragma once
#include <optional>
#include <vector>

#include "models/timestamp.h"
#include "models/usage_snapshot.h"
#include "models/window_kind.h"
#include "providers/codex/codex_rate_limits_payload.h"

namespace qd {

// Turns Codex rate-limit windows into snapshots. Pure; safe from any thread.
namespace CodexParsing {

// fiveHour for 240…360 minutes, sevenDay for 9000…11000, monthly for 43000…45000
// (bounds inclusive), unknown otherwise or when absent. Never `weekly`.
[[nodiscard]] WindowKind windowKind(std::optional<double> windowDurationMins);

// One snapshot per window that has a `usedPercent`, primary before secondary,
// stamped with `now`; model, effort and speed are left for the provider.
[[nodiscard]] std::vector<UsageSnapshot> snapshots(const CodexRateLimitBucket& bucket, Timestamp now);

}  // namespace CodexParsing
}  // namespace qd
