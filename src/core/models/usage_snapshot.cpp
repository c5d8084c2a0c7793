#include "models/usage_snapshot.h"

#include <cmath>

namespace qd {

std::string UsageSnapshot::windowLabel() const {
  if (windowDurationMins && *windowDurationMins > 0 && std::isfinite(*windowDurationMins)) {
    const double hours = *windowDurationMins / 60.0;
    if (hours < 24) return std::to_string(std::llround(hours)) + "h";
    return std::to_string(std::llround(hours / 24.0)) + "d";
  }
  return std::string(shortLabel(windowKind));
}

}  // namespace qd
