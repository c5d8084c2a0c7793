#pragma once
// The local calendar the history keys its tables by: day keys "yyyy-MM-dd" and
// hours 0–23 in the process's time zone (TZ, daylight saving included).
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "models/timestamp.h"

namespace qd::LocalCalendar {

struct DayHour {
  std::array<char, 10> day{};  // "yyyy-MM-dd"
  int hour = 0;
  [[nodiscard]] std::string_view dayKey() const { return {day.data(), day.size()}; }
};

[[nodiscard]] DayHour dayHour(int64_t unixSeconds);
[[nodiscard]] std::string dayKey(Timestamp t);
[[nodiscard]] int hour(Timestamp t);
// The day key `offsetDays` calendar days from the local day of `t` (negative: earlier).
[[nodiscard]] std::string dayKeyOffset(Timestamp t, int offsetDays);
// The next whole local hour strictly after `t`.
[[nodiscard]] Timestamp nextHourStart(Timestamp t);
// The local zone's offset from UTC at `t`, in seconds.
[[nodiscard]] long utcOffsetSeconds(Timestamp t);

// Remembers the last 15-minute bucket it converted: zone offsets and their
// changes fall on quarter hours, so every instant of a bucket shares its local
// day and hour. Not thread-safe; one per scanning thread.
class Cache {
 public:
  [[nodiscard]] const DayHour& at(int64_t unixSeconds);

 private:
  int64_t bucket_ = INT64_MIN;
  DayHour value_{};
};

}  // namespace qd::LocalCalendar
