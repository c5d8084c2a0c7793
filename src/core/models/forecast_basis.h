#pragma once
#include <array>
#include <optional>
#include <string_view>

#include "models/enum_cases.h"

namespace qd {

// Which stretch of recent history a forecast projects from.
enum class ForecastBasis { last30m, last1h, last3h, last6h, last24h, sinceWindowStart, smart };

template <>
struct EnumCases<ForecastBasis> {
  static constexpr std::array<ForecastBasis, 7> all{
      ForecastBasis::last30m, ForecastBasis::last1h,           ForecastBasis::last3h, ForecastBasis::last6h,
      ForecastBasis::last24h, ForecastBasis::sinceWindowStart, ForecastBasis::smart};
};

[[nodiscard]] std::string_view rawValue(ForecastBasis b);
[[nodiscard]] std::string_view label(ForecastBasis b);     // "30m", "1h", ..., "Start", "Smart"
[[nodiscard]] std::string_view helpText(ForecastBasis b);
// The trailing span in seconds for the first five cases; nothing for the others.
[[nodiscard]] std::optional<double> trailingSpanSeconds(ForecastBasis b);

}  // namespace qd
