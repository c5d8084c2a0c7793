#pragma once
// Learns, per Claude Code effort level, how many percent of the weekly window
// one transcript token costs, from consecutive status-line readings taken at the
// same effort; kept in "claude-effort-rates.json".
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "models/timestamp.h"
#include "models/usage_snapshot.h"
#include "providers/claude/claude_estimator.h"

namespace qd::ClaudeEffortCalibration {

struct Rate {
  double pctPerToken = 0;  // smoothed percent of the weekly window per transcript token
  int64_t samples = 0;
  bool operator==(const Rate&) const = default;
};

struct Store {
  std::map<std::string, Rate> byEffort;  // lower-case effort level
  std::optional<Timestamp> learnedUpTo;  // newest status-line reading already examined
  bool operator==(const Store&) const = default;
};

[[nodiscard]] std::string encode(const Store& store);
[[nodiscard]] std::optional<Store> decode(std::string_view json);
// A missing or undecodable file is an empty store.
[[nodiscard]] Store load(const std::filesystem::path& file);

// Examines the newest pair of weekly status-line readings in `snaps` and folds a
// measurement into the store. Runs on the compute queue (not thread-safe).
void learn(const std::vector<UsageSnapshot>& snaps, const ClaudeStageContext& context);

// Learnt rate of `current` over that of `recent`, when both have more than two samples.
[[nodiscard]] std::optional<double> measuredScale(std::optional<std::string_view> current,
                                                  std::optional<std::string_view> recent,
                                                  const ClaudeStageContext& context);

}  // namespace qd::ClaudeEffortCalibration
