#pragma once
// The local day and hour the usage history keys its tables by, on top of the
// shared LocalTime (TZ, daylight saving included), with a cache for scanning.
#include <array>
#include <cstdint>
#include <string_view>

#include "models/timestamp.h"

namespace qd::LocalCalendar {

struct DayHour {
  std::array<char, 10> day{};  // "yyyy-MM-dd"
  int hour = 0;
  [[nodiscard]] std::string_view dayKey() const { return {day.data(), day.size()}; }
};

[[nodiscard]] DayHour dayHour(int64_t unixSeconds);
// The next whole local hour strictly after `t`.
[[nodiscard]] Timestamp nextHourStart(Timestamp t);

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
