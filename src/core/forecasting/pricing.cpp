#include "forecasting/pricing.h"

#include <algorithm>
#include <cctype>

namespace qd::Pricing {

namespace {

constexpr RateMilli kOpus{15000, 75000, 1500, 18750};
constexpr RateMilli kHaiku{800, 4000, 80, 1000};
constexpr RateMilli kDefault{3000, 15000, 300, 3750};

bool containsIgnoringCase(std::string_view text, std::string_view word) {
  auto it = std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == b;
  });
  return it != text.end();
}

}  // namespace

RateMilli claudeRateMilli(std::optional<std::string_view> model) {
  if (!model) return kDefault;
  if (containsIgnoringCase(*model, "opus")) return kOpus;
  if (containsIgnoringCase(*model, "haiku")) return kHaiku;
  return kDefault;
}

Rate claudeRate(std::optional<std::string_view> model) {
  const RateMilli m = claudeRateMilli(model);
  return Rate{static_cast<double>(m.input) / 1000.0, static_cast<double>(m.output) / 1000.0,
              static_cast<double>(m.cacheRead) / 1000.0, static_cast<double>(m.cacheWrite) / 1000.0};
}

}  // namespace qd::Pricing
