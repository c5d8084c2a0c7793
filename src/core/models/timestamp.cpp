#include "models/timestamp.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace qd {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
constexpr int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool digits(std::string_view s, size_t pos, size_t n, int& out) {
  if (pos + n > s.size()) return false;
  int v = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  out = v;
  return true;
}

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

double toUnixSeconds(Timestamp t) {
  return static_cast<double>(t.time_since_epoch().count()) / 1e6;
}

Timestamp fromUnixSeconds(double seconds) {
  if (!std::isfinite(seconds)) return Timestamp{};
  // Clamp to what 64-bit microseconds can hold (about ±292,000 years).
  constexpr double kLimit = 9.0e12;
  if (seconds > kLimit) seconds = kLimit;
  if (seconds < -kLimit) seconds = -kLimit;
  return Timestamp{std::chrono::microseconds{static_cast<int64_t>(std::llround(seconds * 1e6))}};
}

double secondsBetween(Timestamp from, Timestamp to) {
  const int64_t a = to.time_since_epoch().count();
  const int64_t b = from.time_since_epoch().count();
  int64_t d;
  // Far-apart instants (a hostile duration pushed one to the end of the range) lose only precision.
  if (__builtin_sub_overflow(a, b, &d)) return (static_cast<double>(a) - static_cast<double>(b)) / 1e6;
  return static_cast<double>(d) / 1e6;
}

Timestamp addSeconds(Timestamp t, double seconds) {
  if (!std::isfinite(seconds)) return t;
  // Saturates at the ends of the 64-bit microsecond range instead of overflowing.
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  const double us = seconds * 1e6;
  const int64_t delta = us >= 9.2e18 ? kMax : us <= -9.2e18 ? -kMax : static_cast<int64_t>(std::llround(us));
  int64_t out;
  if (__builtin_add_overflow(t.time_since_epoch().count(), delta, &out)) out = delta > 0 ? kMax : -kMax;
  return Timestamp{std::chrono::microseconds{out}};
}

std::string formatISO8601(Timestamp t) {
  using namespace std::chrono;
  const auto secs = floor<seconds>(t);
  const auto day = floor<days>(secs);
  const year_month_day ymd{day};
  const hh_mm_ss hms{secs - day};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                static_cast<int>(hms.seconds().count()));
  return buf;
}

std::optional<Timestamp> parseISO8601(std::string_view s, bool requireFraction) {
  int year, month, day, hour, minute, second;
  if (!digits(s, 0, 4, year) || s.size() < 19 || s[4] != '-' || !digits(s, 5, 2, month) ||
      s[7] != '-' || !digits(s, 8, 2, day) || (s[10] != 'T' && s[10] != 't') ||
      !digits(s, 11, 2, hour) || s[13] != ':' || !digits(s, 14, 2, minute) || s[16] != ':' ||
      !digits(s, 17, 2, second))
    return std::nullopt;
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return std::nullopt;
  if (day > kDays[month - 1] + (month == 2 && isLeap(year) ? 1 : 0)) return std::nullopt;
  if (hour > 23 || minute > 59 || second > 60) return std::nullopt;

  size_t pos = 19;
  int64_t micros = 0;
  bool hasFraction = false;
  if (pos < s.size() && s[pos] == '.') {
    ++pos;
    size_t start = pos;
    int64_t scale = 100000;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
      micros += (s[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == start) return std::nullopt;
    hasFraction = true;
  }
  if (hasFraction != requireFraction) return std::nullopt;

  int offsetSeconds = 0;
  if (pos < s.size() && (s[pos] == 'Z' || s[pos] == 'z')) {
    ++pos;
  } else if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
    int oh, om;
    if (!digits(s, pos + 1, 2, oh) || pos + 3 >= s.size() || s[pos + 3] != ':' ||
        !digits(s, pos + 4, 2, om) || oh > 23 || om > 59)
      return std::nullopt;
    offsetSeconds = (oh * 3600 + om * 60) * (s[pos] == '-' ? -1 : 1);
    pos += 6;
  } else {
    return std::nullopt;
  }
  if (pos != s.size()) return std::nullopt;

  const int64_t days = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  const int64_t total = days * 86400 + hour * 3600 + minute * 60 + second - offsetSeconds;
  // An offset can carry the instant outside the four-digit years the text form can
  // write back; such a moment is no real reading.
  static constexpr int64_t kFirst = daysFromCivil(0, 1, 1) * 86400;
  static constexpr int64_t kEnd = daysFromCivil(10000, 1, 1) * 86400;
  if (total < kFirst || total >= kEnd) return std::nullopt;
  return Timestamp{std::chrono::microseconds{total * 1000000 + micros}};
}

std::optional<Timestamp> parseISO8601(std::string_view text) {
  if (auto t = parseISO8601(text, true)) return t;
  return parseISO8601(text, false);
}

}  // namespace qd
