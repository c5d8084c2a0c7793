#pragma once
#include <array>
#include <string_view>
#include <vector>

#include "models/enum_cases.h"

namespace qd {

// The verdict on one window.
enum class ForecastStatus { noData, safe, watch, risky, limitLikely, limited, unknown };

template <>
struct EnumCases<ForecastStatus> {
  static constexpr std::array<ForecastStatus, 7> all{
      ForecastStatus::noData, ForecastStatus::safe,    ForecastStatus::watch,  ForecastStatus::risky,
      ForecastStatus::limitLikely, ForecastStatus::limited, ForecastStatus::unknown};
};

// Named colour roles of the theme; the colours themselves are the UI's business.
enum class ColorRole { neutral, safe, watch, risky, limited };

[[nodiscard]] std::string_view rawValue(ForecastStatus s);
[[nodiscard]] std::string_view label(ForecastStatus s);  // the pill text, e.g. "Limit likely"
[[nodiscard]] ColorRole colorRole(ForecastStatus s);
[[nodiscard]] int severity(ForecastStatus s);  // higher is worse
[[nodiscard]] std::string_view rawValue(ColorRole r);

// The worst of several statuses; among equal severities the first one met wins.
// An empty list gives `noData`.
[[nodiscard]] ForecastStatus worstStatus(const std::vector<ForecastStatus>& statuses);

}  // namespace qd
