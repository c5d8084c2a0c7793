#include "settings/settings_logic.h"

#include <algorithm>
#include <cmath>

#include "utilities/local_time.h"

namespace qd::SettingsLogic {

std::optional<Timestamp> nineTomorrow(Timestamp now) {
  const auto day = LocalTime::toLocal(LocalTime::addDays(now, 1));
  return LocalTime::fromLocal(day.year, day.month, day.day, 9, 0, 0);
}

std::string overageBudgetLabel(double budget) {
  if (!(budget > 0)) return "Overage budget: off";
  return "Overage budget: £" + std::to_string(static_cast<long long>(budget));
}

double stepped(double value, int steps, double step, double lo, double hi) {
  const double next = value + steps * step;
  return std::clamp(std::isfinite(next) ? next : lo, lo, hi);
}

Pill bridgePill(const std::string& stateText) {
  if (stateText == "notInstalled") return {"Not installed", Pill::Role::neutral};
  if (stateText == "installed") return {"Installed", Pill::Role::safe};
  if (stateText == "wrapping") return {"Wrapping existing", Pill::Role::safe};
  if (stateText == "foreign") return {"Other status line", Pill::Role::watch};
  return {"Error", Pill::Role::limited};
}

}  // namespace qd::SettingsLogic
