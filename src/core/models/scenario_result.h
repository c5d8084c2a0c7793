#pragma once
#include <optional>
#include <string>
#include <vector>

#include "models/source_confidence.h"
#include "models/timestamp.h"

namespace qd {

// One what-if alternative for the rest of a window. Identity is `title`.
struct ScenarioResult {
  std::string title;        // "Lower: medium", "Fast Mode on"
  std::string description;  // one sentence with the projected usage at the reset
  std::optional<double> projectedUsedAtReset;    // percent, 0...140
  std::optional<double> estimatedSavingPercent;  // points; negative when the scenario costs more
  std::optional<Timestamp> runOutAt;
  SourceConfidence confidence = SourceConfidence::low;
  std::vector<std::string> assumptions;

  [[nodiscard]] const std::string& id() const { return title; }

  bool operator==(const ScenarioResult&) const = default;
};

}  // namespace qd
