#pragma once
#include <optional>
#include <string>

#include "models/timestamp.h"

namespace qd {

// What Claude Code is believed to be using now: model, effort and thinking, as
// the status-line bridge and the transcripts report them. Published by the
// application state as `claudeCurrent`. Equality compares every field.
struct ClaudeCurrentSettings {
  std::optional<std::string> modelId;
  std::optional<std::string> modelDisplayName;
  std::optional<std::string> effortLevel;
  std::optional<bool> thinkingEnabled;
  std::optional<Timestamp> capturedAt;

  bool operator==(const ClaudeCurrentSettings&) const = default;
};

}  // namespace qd
