#include "forecasting/scenario_multipliers.h"

namespace qd::ScenarioMultipliers {

const Table& claudeEffort() {
  static const Table table{{"low", 0.55}, {"medium", 0.75}, {"high", 1.0}, {"xhigh", 1.3}, {"max", 1.6}};
  return table;
}

const Table& codexEffort() {
  static const Table table{{"minimal", 0.45}, {"low", 0.6}, {"medium", 0.8}, {"high", 1.0}, {"xhigh", 1.3}};
  return table;
}

const Table& codexSpeed() {
  static const Table table{{"standard", 1.0}, {"fast-gpt-5.5", 2.5}, {"fast-gpt-5.4", 2.0}, {"unknown-fast", 2.0}};
  return table;
}

const std::vector<std::string>& claudeLadder() {
  static const std::vector<std::string> ladder{"low", "medium", "high", "xhigh", "max"};
  return ladder;
}

const std::vector<std::string>& codexLadder() {
  static const std::vector<std::string> ladder{"low", "medium", "high", "xhigh"};
  return ladder;
}

std::optional<double> lookup(const Table& table, std::string_view key) {
  const auto it = table.find(key);
  if (it == table.end()) return std::nullopt;
  return it->second;
}

}  // namespace qd::ScenarioMultipliers
