#include "utilities/time_formatting.h"

#include <algorithm>
#include <cmath>

namespace qd::TimeFormatting {

namespace {

constexpr const char* kDash = "\u2014";

}  // namespace

std::string countdown(std::optional<double> seconds) {
  if (!seconds || !std::isfinite(*seconds)) return kDash;
  if (*seconds <= 0) return "now";
  // Beyond any real window; keeps the integer arithmetic defined.
  const int64_t total = std::llround(std::min(*seconds, 9.0e15));
  const int64_t days = total / 86400;
  const int64_t hours = (total % 86400) / 3600;
  const int64_t minutes = (total % 3600) / 60;
  if (days == 0) {
    if (hours == 0 && minutes == 0) return "<1m";
    if (hours == 0) return std::to_string(minutes) + "m";
    if (minutes == 0) return std::to_string(hours) + "h";
    return std::to_string(hours) + "h " + std::to_string(minutes) + "m";
  }
  if (hours == 0) return std::to_string(days) + "d";
  return std::to_string(days) + "d " + std::to_string(hours) + "h";
}

std::string relativeCountdown(std::optional<double> seconds) {
  if (!seconds || std::isnan(*seconds) || *seconds == INFINITY) return kDash;
  if (*seconds <= 0) return "now";
  return "in " + countdown(seconds);
}

std::string clock(std::optional<Timestamp> t) {
  if (!t) return kDash;
  return LocalTime::format(*t, "%H:%M", LocalTime::TimeLocale::user());
}

std::optional<std::string> resetPhrase(std::optional<Timestamp> resetAt, Timestamp now,
                                       LocalTime::TimeLocale locale) {
  if (!resetAt || *resetAt <= now) return std::nullopt;
  const std::string time = LocalTime::format(*resetAt, "%H:%M", locale);
  const int days = LocalTime::calendarDaysBetween(now, *resetAt);
  if (days == 0) return "resets " + time + " today";
  if (days == 1) return "resets " + time + " tomorrow";
  if (days < 7) return "resets " + LocalTime::format(*resetAt, "%a", locale) + " " + time;
  return "resets " + LocalTime::format(*resetAt, "%a %-d %b", locale) + " " + time;
}

std::optional<std::string> resetPhrase(std::optional<Timestamp> resetAt, Timestamp now) {
  return resetPhrase(resetAt, now, LocalTime::TimeLocale::user());
}

}  // namespace qd::TimeFormatting
