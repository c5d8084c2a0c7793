#pragma once
// Number texts shared by every screen, summary and notification. "—" (U+2014)
// stands for an absent or non-finite value.
#include <cstdint>
#include <optional>
#include <string>

namespace qd::NumberFormatting {

// Rounded to the nearest integer (halves away from zero) + "%": "86%", "-1%".
[[nodiscard]] std::string percent(std::optional<double> value);
// "+" at or above 0, then the rounded integer and "pp": "+12pp", "+0pp", "-5pp".
[[nodiscard]] std::string signedPoints(std::optional<double> value);
// Spend is held in US dollars and shown in pounds as dollars × this factor.
inline constexpr double usdToGbp = 0.79;

// An amount held in US dollars; shown in pounds (× usdToGbp) when `gbp`. Whole
// units from 100 up, cents below: "$4.20", "£127".
[[nodiscard]] std::string money(double dollars, bool gbp);
// "950", "12K", "3M", "1.2B".
[[nodiscard]] std::string tokens(int64_t count);

}  // namespace qd::NumberFormatting
