#include "forecasting/local_calendar.h"

#include <time.h>

#include <cmath>
#include <cstdio>

namespace qd::LocalCalendar {

namespace {

int64_t floorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

bool toLocal(int64_t unixSeconds, struct tm& out) {
  const time_t t = static_cast<time_t>(unixSeconds);
  return ::localtime_r(&t, &out) != nullptr;
}

void formatDay(const struct tm& tm, std::array<char, 10>& out) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  for (size_t i = 0; i < out.size(); ++i) out[i] = buf[i];
}

int64_t wholeSeconds(Timestamp t) {
  return floorDiv(t.time_since_epoch().count(), 1000000);
}

}  // namespace

DayHour dayHour(int64_t unixSeconds) {
  DayHour r;
  struct tm tm{};
  if (!toLocal(unixSeconds, tm)) {
    r.day.fill('0');
    return r;
  }
  formatDay(tm, r.day);
  r.hour = tm.tm_hour;
  return r;
}

std::string dayKey(Timestamp t) { return std::string(dayHour(wholeSeconds(t)).dayKey()); }

int hour(Timestamp t) { return dayHour(wholeSeconds(t)).hour; }

std::string dayKeyOffset(Timestamp t, int offsetDays) {
  struct tm tm{};
  if (!toLocal(wholeSeconds(t), tm)) return std::string(10, '0');
  // Noon never falls into a daylight-saving gap, so normalising it lands on the wanted day.
  tm.tm_mday += offsetDays;
  tm.tm_hour = 12;
  tm.tm_min = 0;
  tm.tm_sec = 0;
  tm.tm_isdst = -1;
  if (::mktime(&tm) == static_cast<time_t>(-1)) return std::string(10, '0');
  DayHour r;
  formatDay(tm, r.day);
  return std::string(r.dayKey());
}

long utcOffsetSeconds(Timestamp t) {
  struct tm tm{};
  if (!toLocal(wholeSeconds(t), tm)) return 0;
  return tm.tm_gmtoff;
}

Timestamp nextHourStart(Timestamp t) {
  const int64_t secs = wholeSeconds(t);
  const long off = utcOffsetSeconds(t);
  const int64_t local = secs + off;
  int64_t next = (floorDiv(local, 3600) + 1) * 3600 - off;
  // A zone change inside the hour (daylight saving) can move the boundary; never go backwards.
  if (next <= secs) next = secs + 1;
  return fromUnixSeconds(static_cast<double>(next));
}

const DayHour& Cache::at(int64_t unixSeconds) {
  const int64_t bucket = floorDiv(unixSeconds, 900);
  if (bucket != bucket_) {
    value_ = dayHour(bucket * 900);
    bucket_ = bucket;
  }
  return value_;
}

}  // namespace qd::LocalCalendar
