#pragma once
// Conservative default cost multipliers of effort levels and Codex speeds,
// relative to "high" effort and standard speed. Keys are lower case. The tables
// are built once on first use and only read afterwards (thread-safe).
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qd::ScenarioMultipliers {

using Table = std::map<std::string, double, std::less<>>;

[[nodiscard]] const Table& claudeEffort();  // low 0.55, medium 0.75, high 1.0, xhigh 1.3, max 1.6
[[nodiscard]] const Table& codexEffort();   // minimal 0.45, low 0.6, medium 0.8, high 1.0, xhigh 1.3
[[nodiscard]] const Table& codexSpeed();    // standard 1.0, fast-gpt-5.5 2.5, fast-gpt-5.4 2.0, unknown-fast 2.0

// Effort levels from cheapest to dearest, as the scenarios step along them.
[[nodiscard]] const std::vector<std::string>& claudeLadder();  // low ... max
[[nodiscard]] const std::vector<std::string>& codexLadder();   // low ... xhigh ("minimal" is off the ladder)

[[nodiscard]] std::optional<double> lookup(const Table& table, std::string_view key);

}  // namespace qd::ScenarioMultipliers
