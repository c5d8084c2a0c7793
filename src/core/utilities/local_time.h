#pragma once
// Local calendar arithmetic and formatting through the C library: the time zone
// is the one TZ names (re-read on every call, so a changed TZ takes effect), or
// the system's; names of weekdays and months come from a locale's LC_TIME.
// Thread-safe: the C library guards its zone state; locales are read-only.
#include <locale.h>

#include <optional>
#include <string>
#include <string_view>

#include "models/timestamp.h"

namespace qd::LocalTime {

// A wall-clock reading in the local zone.
struct DateTime {
  int year = 1970;
  int month = 1;   // 1...12
  int day = 1;     // 1...31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = 4;  // 0 = Sunday ... 6 = Saturday
  long utcOffsetSeconds = 0;
  bool isDST = false;

  bool operator==(const DateTime&) const = default;
};

[[nodiscard]] DateTime toLocal(Timestamp t);
// The instant of a local wall-clock reading. A reading skipped by a DST change
// moves forward by the gap; an ambiguous one takes the earlier instant.
[[nodiscard]] std::optional<Timestamp> fromLocal(int year, int month, int day, int hour = 0, int minute = 0,
                                                 int second = 0);
// Local midnight of the day of `t` (or the first instant of that day when midnight was skipped).
[[nodiscard]] Timestamp startOfDay(Timestamp t);
// The same wall-clock time `days` calendar days later (earlier when negative).
[[nodiscard]] Timestamp addDays(Timestamp t, int days);
// Local calendar days from the day of `from` to the day of `to` (negative when `to` is earlier).
[[nodiscard]] int calendarDaysBetween(Timestamp from, Timestamp to);
// "yyyy-MM-dd" of the local day of `t`.
[[nodiscard]] std::string dayKey(Timestamp t);
// Names the local zone's rules: TZ, and the UTC offsets and abbreviations in a
// winter and a summer month. Equal texts give the same local days and hours.
[[nodiscard]] std::string zoneFingerprint();

// A set of LC_TIME conventions. Copyable handle; the underlying locale lives for the process.
class TimeLocale {
 public:
  // The user's LC_TIME (from LC_ALL, LC_TIME or LANG), made once; "C" if that locale is not installed.
  [[nodiscard]] static TimeLocale user();
  [[nodiscard]] static TimeLocale c();
  // A named locale ("de_DE.UTF-8"), or nothing when it is not installed.
  [[nodiscard]] static std::optional<TimeLocale> named(std::string_view name);

  [[nodiscard]] locale_t handle() const { return handle_; }

 private:
  explicit TimeLocale(locale_t h) : handle_(h) {}
  locale_t handle_;
};

// `t` in the local zone with a strftime pattern ("%H:%M", "%a %-d %b"), names in `locale`.
[[nodiscard]] std::string format(Timestamp t, const char* strftimePattern, TimeLocale locale);
// The same in the user's locale.
[[nodiscard]] std::string format(Timestamp t, const char* strftimePattern);

}  // namespace qd::LocalTime
