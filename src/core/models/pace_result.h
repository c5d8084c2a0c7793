#pragma once
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "models/enum_cases.h"

namespace qd {

// Usage of a long window against the line of even spending over it.
struct PaceResult {
  enum class Verdict { underPace, onPace, overPace, noData };

  Verdict verdict = Verdict::noData;
  double elapsedRatio = 0;     // 0...1
  double idealUsageNow = 0;    // percent on the even-spend line now
  double paceDelta = 0;        // used minus ideal, points; positive is ahead of the line
  std::optional<double> projectedEnd;             // percent at the reset at this pace, 0...140
  std::optional<double> remainingDailyAllowance;  // percent per day
  double daysRemaining = 0;    // at least 0
  std::string summary;

  bool operator==(const PaceResult&) const = default;
};

template <>
struct EnumCases<PaceResult::Verdict> {
  static constexpr std::array<PaceResult::Verdict, 4> all{PaceResult::Verdict::underPace, PaceResult::Verdict::onPace,
                                                          PaceResult::Verdict::overPace, PaceResult::Verdict::noData};
};

// The raw values of the verdict are its display texts: "Under pace", "On pace", "Over pace", "No data".
[[nodiscard]] std::string_view rawValue(PaceResult::Verdict v);
[[nodiscard]] inline std::string_view label(PaceResult::Verdict v) { return rawValue(v); }

}  // namespace qd
