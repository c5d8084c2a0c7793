#pragma once
// Points in time and durations as the whole system speaks them: a timestamp is a
// UTC instant with microsecond resolution; durations are seconds as a double.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qd {

using Timestamp = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

// Seconds since 1970-01-01 UTC, with the fraction.
[[nodiscard]] double toUnixSeconds(Timestamp t);
[[nodiscard]] Timestamp fromUnixSeconds(double seconds);
// `to - from` in seconds (negative when `to` is earlier).
[[nodiscard]] double secondsBetween(Timestamp from, Timestamp to);
[[nodiscard]] Timestamp addSeconds(Timestamp t, double seconds);
// The whole second at or before `t` (files carry whole seconds, so "as old as"
// is judged to the second).
[[nodiscard]] inline Timestamp floorToSecond(Timestamp t) { return std::chrono::floor<std::chrono::seconds>(t); }

// "2026-12-07T04:59:59Z": UTC, no fraction (the form every file of the system writes).
[[nodiscard]] std::string formatISO8601(Timestamp t);
// RFC 3339 internet date-time: "YYYY-MM-DDTHH:MM:SS", an optional fraction of any
// length, then "Z" or "±hh:mm" (lower-case "t"/"z" accepted). Nothing else may follow.
// `requireFraction` true accepts only text with a fraction, false only text without.
[[nodiscard]] std::optional<Timestamp> parseISO8601(std::string_view text);
[[nodiscard]] std::optional<Timestamp> parseISO8601(std::string_view text, bool requireFraction);

}  // namespace qd
