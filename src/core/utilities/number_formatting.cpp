#include "utilities/number_formatting.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qd::NumberFormatting {

namespace {

constexpr const char* kDash = "\u2014";

std::string printf1(const char* fmt, double v) {
  char buf[400];  // the widest "%.0f" of a finite double is 309 digits
  const int n = std::snprintf(buf, sizeof buf, fmt, v);
  return n > 0 ? std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1)) : std::string();
}

// Halves away from zero, without a "-0".
std::string roundedInteger(double v) {
  double r = std::round(v);
  if (r == 0) r = 0;
  return printf1("%.0f", r);
}

}  // namespace

std::string percent(std::optional<double> value) {
  if (!value || !std::isfinite(*value)) return kDash;
  return roundedInteger(*value) + "%";
}

std::string signedPoints(std::optional<double> value) {
  if (!value || !std::isfinite(*value)) return kDash;
  return (*value >= 0 ? "+" : "") + roundedInteger(*value) + "pp";
}

std::string money(double dollars, bool gbp) {
  const double amount = gbp ? dollars * usdToGbp : dollars;
  if (!std::isfinite(amount)) return kDash;
  return std::string(gbp ? "\u00a3" : "$") + printf1(amount >= 100 ? "%.0f" : "%.2f", amount);
}

std::string tokens(int64_t count) {
  const double v = static_cast<double>(count);
  if (count >= 1'000'000'000) return printf1("%.1fB", v / 1e9);
  if (count >= 1'000'000) return printf1("%.0fM", v / 1e6);
  if (count >= 1000) return printf1("%.0fK", v / 1000);
  return std::to_string(count);
}

}  // namespace qd::NumberFormatting
