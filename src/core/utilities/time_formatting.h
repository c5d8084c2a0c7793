#pragma once
// Duration and clock texts shared by every screen, summary and notification.
// "—" (U+2014) stands for an absent or non-finite value. Local times follow the
// C library's time zone (TZ honoured) and the user's LC_TIME locale.
#include <optional>
#include <string>

#include "models/timestamp.h"
#include "utilities/local_time.h"

namespace qd::TimeFormatting {

// "now" at or below 0; "<1m", "45m", "3h", "3h 25m" under a day; "2d", "2d 4h" from a day up.
[[nodiscard]] std::string countdown(std::optional<double> seconds);
// "in " + countdown for a positive finite value; "now" for zero, negative or -inf; "—" otherwise.
[[nodiscard]] std::string relativeCountdown(std::optional<double> seconds);
// Local 24-hour "HH:mm".
[[nodiscard]] std::string clock(std::optional<Timestamp> t);
// "resets 14:05 today", "resets 09:00 tomorrow", "resets Thu 09:00", "resets Mon 14 Dec 09:00";
// nothing when `resetAt` is absent or not later than `now`. Calendar days are
// local days counted from `now`.
[[nodiscard]] std::optional<std::string> resetPhrase(std::optional<Timestamp> resetAt, Timestamp now);
// The same with the names of `locale` instead of the user's.
[[nodiscard]] std::optional<std::string> resetPhrase(std::optional<Timestamp> resetAt, Timestamp now,
                                                     LocalTime::TimeLocale locale);

}  // namespace qd::TimeFormatting
