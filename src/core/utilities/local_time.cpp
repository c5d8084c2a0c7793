#include "utilities/local_time.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>

namespace qd::LocalTime {

namespace {

constexpr int64_t kMicrosPerSecond = 1'000'000;

int64_t floorSeconds(Timestamp t) {
  const int64_t us = t.time_since_epoch().count();
  return us >= 0 ? us / kMicrosPerSecond : -((-us + kMicrosPerSecond - 1) / kMicrosPerSecond);
}

int64_t subSecondMicros(Timestamp t) { return t.time_since_epoch().count() - floorSeconds(t) * kMicrosPerSecond; }

Timestamp fromSeconds(int64_t secs) { return Timestamp{std::chrono::microseconds{secs * kMicrosPerSecond}}; }

int64_t daysFromCivil(int y, int m, int d) {
  using namespace std::chrono;
  return sys_days{year{y} / month{static_cast<unsigned>(m)} / day{static_cast<unsigned>(d)}}.time_since_epoch().count();
}

// Seconds since the epoch of a wall-clock reading taken as if it were UTC.
int64_t wallAsUTC(int y, int m, int d, int hh, int mm, int ss) {
  return daysFromCivil(y, m, d) * 86400 + hh * 3600 + mm * 60 + ss;
}

bool localTm(int64_t secs, std::tm& out) {
  // The C library guards its zone state with a lock the thread sanitizer cannot
  // see; one lock of ours makes the pairing of tzset and localtime_r visible.
  static std::mutex zoneMutex;
  std::lock_guard lock(zoneMutex);
  tzset();  // re-read TZ: localtime_r alone may keep the zone of its first call
  const time_t tt = static_cast<time_t>(secs);
  return localtime_r(&tt, &out) != nullptr;
}

DateTime fromTm(const std::tm& tm) {
  DateTime d;
  d.year = tm.tm_year + 1900;
  d.month = tm.tm_mon + 1;
  d.day = tm.tm_mday;
  d.hour = tm.tm_hour;
  d.minute = tm.tm_min;
  d.second = tm.tm_sec;
  d.weekday = tm.tm_wday;
  d.utcOffsetSeconds = tm.tm_gmtoff;
  d.isDST = tm.tm_isdst > 0;
  return d;
}

DateTime toLocalSeconds(int64_t secs) {
  std::tm tm{};
  if (localTm(secs, tm)) return fromTm(tm);
  // Out of the C library's range: fall back to UTC.
  using namespace std::chrono;
  const sys_seconds s{seconds{secs}};
  const auto dayPoint = floor<days>(s);
  const year_month_day ymd{dayPoint};
  const hh_mm_ss hms{s - dayPoint};
  DateTime d;
  d.year = static_cast<int>(ymd.year());
  d.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  d.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  d.hour = static_cast<int>(hms.hours().count());
  d.minute = static_cast<int>(hms.minutes().count());
  d.second = static_cast<int>(hms.seconds().count());
  d.weekday = static_cast<int>(weekday{dayPoint}.c_encoding());
  return d;
}

bool sameWall(const DateTime& d, int y, int m, int day, int hh, int mm, int ss) {
  return d.year == y && d.month == m && d.day == day && d.hour == hh && d.minute == mm && d.second == ss;
}

std::optional<int64_t> fromLocalSeconds(int y, int m, int d, int hh, int mm, int ss) {
  if (m < 1 || m > 12 || d < 1 || d > 31 || hh < 0 || hh > 23 || mm < 0 || mm > 59 || ss < 0 || ss > 60)
    return std::nullopt;
  const int64_t wall = wallAsUTC(y, m, d, hh, mm, ss);
  // The offsets in force a day either side cover any single transition near `wall`.
  const long before = toLocalSeconds(wall - 86400).utcOffsetSeconds;
  const long after = toLocalSeconds(wall + 86400).utcOffsetSeconds;
  std::optional<int64_t> best;
  for (long off : {before, after}) {
    const int64_t candidate = wall - off;
    if (sameWall(toLocalSeconds(candidate), y, m, d, hh, mm, ss) && (!best || candidate < *best)) best = candidate;
  }
  // Skipped by a forward change: read the wall time with the earlier offset, landing past the gap.
  return best ? best : std::optional<int64_t>(wall - before);
}

locale_t makeLocale(const char* name) { return newlocale(LC_TIME_MASK, name, static_cast<locale_t>(nullptr)); }

}  // namespace

DateTime toLocal(Timestamp t) { return toLocalSeconds(floorSeconds(t)); }

std::optional<Timestamp> fromLocal(int year, int month, int day, int hour, int minute, int second) {
  const auto s = fromLocalSeconds(year, month, day, hour, minute, second);
  if (!s) return std::nullopt;
  return fromSeconds(*s);
}

Timestamp startOfDay(Timestamp t) {
  const DateTime d = toLocal(t);
  return fromLocal(d.year, d.month, d.day).value_or(t);
}

Timestamp addDays(Timestamp t, int days) {
  using namespace std::chrono;
  const DateTime d = toLocal(t);
  const year_month_day ymd{sys_days{std::chrono::days{daysFromCivil(d.year, d.month, d.day) + days}}};
  const auto s = fromLocalSeconds(static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
                                  static_cast<int>(static_cast<unsigned>(ymd.day())), d.hour, d.minute, d.second);
  if (!s) return t;
  return fromSeconds(*s) + microseconds{subSecondMicros(t)};
}

int calendarDaysBetween(Timestamp from, Timestamp to) {
  const DateTime a = toLocal(from);
  const DateTime b = toLocal(to);
  return static_cast<int>(daysFromCivil(b.year, b.month, b.day) - daysFromCivil(a.year, a.month, a.day));
}

std::string zoneFingerprint() {
  const char* tz = std::getenv("TZ");
  std::string out = tz ? std::string("TZ=") + tz : std::string("system");
  // 2025-01-15 and 2025-07-15, 12:00 UTC: either side of every zone's daylight saving.
  for (int64_t secs : {int64_t{1736942400}, int64_t{1752580800}}) {
    std::tm tm{};
    if (!localTm(secs, tm)) continue;
    char buf[64];
    std::snprintf(buf, sizeof buf, "|%ld %s", static_cast<long>(tm.tm_gmtoff), tm.tm_zone ? tm.tm_zone : "");
    out += buf;
  }
  for (char& c : out)
    if (c < 0x20 || c > 0x7e) c = '?';  // stored in a JSON cache: printable ASCII only
  return out;
}

std::string dayKey(Timestamp t) {
  const DateTime d = toLocal(t);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d.year, d.month, d.day);
  return buf;
}

TimeLocale TimeLocale::user() {
  static const locale_t loc = [] {
    locale_t l = makeLocale("");
    return l ? l : makeLocale("C");
  }();
  return TimeLocale(loc);
}

TimeLocale TimeLocale::c() {
  static const locale_t loc = makeLocale("C");
  return TimeLocale(loc);
}

std::optional<TimeLocale> TimeLocale::named(std::string_view name) {
  // Each distinct locale is made once and kept (never destroyed): handles stay valid for the process.
  static std::mutex mutex;
  static auto& made = *new std::map<std::string, locale_t, std::less<>>;
  std::lock_guard lock(mutex);
  auto it = made.find(name);
  if (it == made.end()) it = made.emplace(std::string(name), makeLocale(std::string(name).c_str())).first;
  if (!it->second) return std::nullopt;
  return TimeLocale(it->second);
}

std::string format(Timestamp t, const char* strftimePattern, TimeLocale locale) {
  std::tm tm{};
  if (!localTm(floorSeconds(t), tm) || !locale.handle()) return {};
  char buf[256];
  const size_t n = strftime_l(buf, sizeof buf, strftimePattern, &tm, locale.handle());
  return std::string(buf, n);
}

std::string format(Timestamp t, const char* strftimePattern) {
  return format(t, strftimePattern, TimeLocale::user());
}

}  // namespace qd::LocalTime
