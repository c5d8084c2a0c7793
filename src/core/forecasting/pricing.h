#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace qd::Pricing {

// US dollars per million tokens.
struct Rate {
  double input = 0;
  double output = 0;
  double cacheRead = 0;
  double cacheWrite = 0;
  bool operator==(const Rate&) const = default;
};

// The same rates in thousandths of a dollar per million tokens, so that
// tokens × rate is an exact integer number of nano-dollars (1e-9 US dollars).
struct RateMilli {
  int64_t input = 0;
  int64_t output = 0;
  int64_t cacheRead = 0;
  int64_t cacheWrite = 0;
};

// Claude rates by model text: case-insensitive substring "opus", then "haiku";
// anything else, an empty text or no model gets the default rates.
[[nodiscard]] Rate claudeRate(std::optional<std::string_view> model);
[[nodiscard]] RateMilli claudeRateMilli(std::optional<std::string_view> model);

// Codex spend: uncached input, cached input, output and reasoning tokens.
inline constexpr int64_t codexInputMilli = 1250;
inline constexpr int64_t codexCachedInputMilli = 125;
inline constexpr int64_t codexOutputMilli = 10000;

// Spend is held in US dollars and shown in pounds as dollars × this factor.
inline constexpr double usdToGbp = 0.79;

inline constexpr double nanoDollarsToUSD(int64_t nano) { return static_cast<double>(nano) / 1e9; }

}  // namespace qd::Pricing
