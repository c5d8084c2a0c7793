#pragma once
// The settings screen's rules that are not plain bindings, as pure functions.
#include <optional>
#include <string>

#include "models/timestamp.h"

namespace qd::SettingsLogic {

// 09:00 local on the calendar day after `now` (the next existing time when a
// clock change skips 09:00; the first when it repeats).
[[nodiscard]] std::optional<Timestamp> nineTomorrow(Timestamp now);

// "Overage budget: £25" or "Overage budget: off".
[[nodiscard]] std::string overageBudgetLabel(double budget);
// One stepper move: `value` + `steps` × `step`, kept within [lo, hi].
[[nodiscard]] double stepped(double value, int steps, double step, double lo, double hi);

struct Pill {
  std::string text;
  enum class Role { neutral, safe, watch, limited } role;
};
// The bridge pill for the installer's state text ("installed", "notInstalled",
// "wrapping", "foreign", anything else an error).
[[nodiscard]] Pill bridgePill(const std::string& stateText);

}  // namespace qd::SettingsLogic
