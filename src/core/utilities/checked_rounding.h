#pragma once
// Conversions of doubles that came from outside (a file, a server, another
// program) into integers: llround and casts are undefined outside the target
// range, and 1e300 or NaN are valid JSON numbers.
#include <cmath>
#include <cstdint>
#include <optional>

namespace qd {

// `v` rounded to the nearest integer (halves away from zero), or nothing when `v`
// is not finite or the result lies outside [lo, hi].
[[nodiscard]] inline std::optional<int64_t> roundedWithin(double v, int64_t lo, int64_t hi) {
  if (!std::isfinite(v)) return std::nullopt;
  const double r = std::round(v);
  // The last test keeps the cast defined whatever the bounds round to as doubles.
  if (r < static_cast<double>(lo) || r > static_cast<double>(hi) || std::fabs(r) >= 9.2e18) return std::nullopt;
  return static_cast<int64_t>(r);
}

// `v` truncated toward zero, with the same bounds.
[[nodiscard]] inline std::optional<int64_t> truncatedWithin(double v, int64_t lo, int64_t hi) {
  if (!std::isfinite(v)) return std::nullopt;
  return roundedWithin(std::trunc(v), lo, hi);
}

}  // namespace qd
