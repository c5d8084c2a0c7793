#include "models/usage_snapshot.h"

#include <cmath>

#include "utilities/checked_rounding.h"

namespace qd {

std::string UsageSnapshot::windowLabel() const {
  // No rate-limit window lasts longer than a year; a longer one is a bad reading.
  constexpr int64_t kMaxWindowDays = 366;
  if (windowDurationMins && *windowDurationMins > 0) {
    const double hours = *windowDurationMins / 60.0;
    if (hours < 24) {
      if (auto h = roundedWithin(hours, 0, 24)) return std::to_string(*h) + "h";
    } else if (auto d = roundedWithin(hours / 24.0, 1, kMaxWindowDays)) {
      return std::to_string(*d) + "d";
    }
  }
  return std::string(shortLabel(windowKind));
}

}  // namespace qd
