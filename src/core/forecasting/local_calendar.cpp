#include "forecasting/local_calendar.h"

#include <cstdio>

#include "utilities/local_time.h"

namespace qd::LocalCalendar {

namespace {

int64_t floorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

DayHour dayHour(int64_t unixSeconds) {
  const LocalTime::DateTime d = LocalTime::toLocal(fromUnixSeconds(static_cast<double>(unixSeconds)));
  DayHour r;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d.year, d.month, d.day);
  for (size_t i = 0; i < r.day.size(); ++i) r.day[i] = buf[i];
  r.hour = d.hour;
  return r;
}

Timestamp nextHourStart(Timestamp t) {
  const int64_t secs = floorDiv(t.time_since_epoch().count(), 1'000'000);
  const long off = LocalTime::toLocal(t).utcOffsetSeconds;
  int64_t next = (floorDiv(secs + off, 3600) + 1) * 3600 - off;
  // A zone change inside the hour can move the boundary; never go backwards.
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
