#include "utilities/time_formatting.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <atomic>
#include <limits>
#include <thread>
#include <vector>

#include "utilities/local_time.h"

namespace qd {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const std::string kDash = "\u2014";

// POSIX rules, so the tests need no zone database.
constexpr const char* kLondon = "GMT0BST,M3.5.0/1,M10.5.0";
constexpr const char* kNewYork = "EST5EDT,M3.2.0,M11.1.0";

// Sets TZ for one test and restores it after.
class ScopedTZ {
 public:
  explicit ScopedTZ(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTZ() {
    if (saved_)
      setenv("TZ", saved_->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

Timestamp iso(const char* text) { return parseISO8601(text).value(); }

TEST(TimeFormattingTest, Countdown) {
  const std::pair<std::optional<double>, std::string> cases[] = {
      {std::nullopt, kDash},
      {kNaN, kDash},
      {kInf, kDash},
      {-kInf, kDash},
      {0, "now"},
      {-5, "now"},
      {0.4, "<1m"},
      {59, "<1m"},
      {59.6, "1m"},
      {2700, "45m"},
      {3600, "1h"},
      {3599.6, "1h"},
      {3 * 3600 + 25 * 60, "3h 25m"},
      {86399, "23h 59m"},
      {86400, "1d"},
      {86400 + 3600 + 61, "1d 1h"},
      {2 * 86400 + 4 * 3600 + 59 * 60, "2d 4h"},
      {2 * 86400 + 59 * 60, "2d"},
      {1e300, "104166666666d 16h"},
  };
  for (const auto& [in, out] : cases)
    EXPECT_EQ(TimeFormatting::countdown(in), out) << (in ? std::to_string(*in) : "absent");
}

TEST(TimeFormattingTest, RelativeCountdown) {
  const std::pair<std::optional<double>, std::string> cases[] = {
      {std::nullopt, kDash}, {kNaN, kDash}, {kInf, kDash},       {-kInf, "now"},
      {0, "now"},            {-10, "now"},  {5400, "in 1h 30m"}, {30, "in <1m"},
  };
  for (const auto& [in, out] : cases)
    EXPECT_EQ(TimeFormatting::relativeCountdown(in), out) << (in ? std::to_string(*in) : "absent");
}

TEST(TimeFormattingTest, ClockIsLocal24Hour) {
  const Timestamp t = iso("2026-12-07T20:05:59Z");
  struct Case {
    const char* tz;
    const char* text;
  };
  for (const Case& c : {Case{"UTC0", "20:05"}, Case{kNewYork, "15:05"}, Case{"<+0530>-5:30", "01:35"},
                        Case{kLondon, "20:05"}}) {
    ScopedTZ tz(c.tz);
    EXPECT_EQ(TimeFormatting::clock(t), c.text) << c.tz;
  }
  {
    ScopedTZ tz(kLondon);
    EXPECT_EQ(TimeFormatting::clock(iso("2026-07-01T20:05:00Z")), "21:05");  // summer time
  }
  EXPECT_EQ(TimeFormatting::clock(std::nullopt), kDash);
}

TEST(TimeFormattingTest, ResetPhraseCountsLocalCalendarDays) {
  struct Case {
    const char* name;
    const char* tz;
    const char* now;
    const char* reset;
    std::optional<std::string> phrase;
  };
  const Case cases[] = {
      {"later today", kLondon, "2026-12-07T10:00:00Z", "2026-12-07T14:05:00Z", "resets 14:05 today"},
      {"tomorrow", kLondon, "2026-12-07T10:00:00Z", "2026-12-08T09:00:00Z", "resets 09:00 tomorrow"},
      {"this week", kLondon, "2026-12-07T10:00:00Z", "2026-12-10T09:00:00Z", "resets Thu 09:00"},
      {"six days on", kLondon, "2026-12-07T10:00:00Z", "2026-12-13T23:59:00Z", "resets Sun 23:59"},
      {"seven days on", kLondon, "2026-12-07T10:00:00Z", "2026-12-14T09:00:00Z", "resets Mon 14 Dec 09:00"},
      {"equal to now", kLondon, "2026-12-07T10:00:00Z", "2026-12-07T10:00:00Z", std::nullopt},
      {"already past", kLondon, "2026-12-07T10:00:00Z", "2026-12-07T09:00:00Z", std::nullopt},
      // Local dates, not UTC dates: 22:00 Sunday to 01:00 Monday in New York.
      {"west of UTC", kNewYork, "2026-12-07T03:00:00Z", "2026-12-07T06:00:00Z", "resets 01:00 tomorrow"},
      // The spring change: 23:30 GMT Saturday to 00:30 BST Monday is two days, although 24 hours.
      {"spring forward", kLondon, "2026-03-28T23:30:00Z", "2026-03-29T23:30:00Z", "resets Mon 00:30"},
      {"spring forward, next day", kLondon, "2026-03-28T23:30:00Z", "2026-03-29T22:30:00Z",
       "resets 23:30 tomorrow"},
      // The autumn change: a 25-hour Sunday, 00:10 BST to 23:50 GMT is the same day.
      {"fall back, 24h40m later", kLondon, "2026-10-24T23:10:00Z", "2026-10-25T23:50:00Z", "resets 23:50 today"},
  };
  const auto c_locale = LocalTime::TimeLocale::c();
  for (const auto& c : cases) {
    ScopedTZ tz(c.tz);
    EXPECT_EQ(TimeFormatting::resetPhrase(iso(c.reset), iso(c.now), c_locale), c.phrase) << c.name;
  }
  EXPECT_EQ(TimeFormatting::resetPhrase(std::nullopt, iso("2026-12-07T10:00:00Z")), std::nullopt);
}

TEST(TimeFormattingTest, ResetPhraseUsesTheLocaleNames) {
  const auto german = LocalTime::TimeLocale::named("de_DE.UTF-8");
  if (!german) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
  ScopedTZ tz(kLondon);
  EXPECT_EQ(TimeFormatting::resetPhrase(iso("2026-12-10T09:00:00Z"), iso("2026-12-07T10:00:00Z"), *german),
            "resets Do 09:00");
  EXPECT_EQ(TimeFormatting::resetPhrase(iso("2026-12-14T09:00:00Z"), iso("2026-12-07T10:00:00Z"), *german),
            "resets Mo 14 Dez 09:00");
}

TEST(LocalTimeTest, DayArithmeticAcrossDSTChanges) {
  ScopedTZ tz(kLondon);
  // Midnight of the short day is GMT; of the day after, BST.
  EXPECT_EQ(LocalTime::startOfDay(iso("2026-03-29T12:00:00Z")), iso("2026-03-29T00:00:00Z"));
  EXPECT_EQ(LocalTime::startOfDay(iso("2026-03-30T12:00:00Z")), iso("2026-03-29T23:00:00Z"));
  EXPECT_EQ(LocalTime::startOfDay(iso("2026-03-29T23:30:00Z")), iso("2026-03-29T23:00:00Z"));
  // Same wall-clock time a day later: 23 and 25 hours across the changes.
  EXPECT_EQ(LocalTime::addDays(iso("2026-03-28T12:00:00Z"), 1), iso("2026-03-29T11:00:00Z"));
  EXPECT_EQ(LocalTime::addDays(iso("2026-10-24T12:00:00Z"), 1), iso("2026-10-25T13:00:00Z"));
  EXPECT_EQ(LocalTime::addDays(iso("2026-10-25T13:00:00Z"), -1), iso("2026-10-24T12:00:00Z"));
  EXPECT_EQ(LocalTime::addDays(iso("2026-12-31T12:00:00Z"), 1), iso("2027-01-01T12:00:00Z"));
  // A skipped reading moves past the gap; an ambiguous one takes the earlier instant.
  EXPECT_EQ(LocalTime::fromLocal(2026, 3, 29, 1, 30), iso("2026-03-29T01:30:00Z"));
  EXPECT_EQ(LocalTime::fromLocal(2026, 10, 25, 1, 30), iso("2026-10-25T00:30:00Z"));
  EXPECT_EQ(LocalTime::fromLocal(2026, 13, 1), std::nullopt);
  EXPECT_EQ(LocalTime::calendarDaysBetween(iso("2026-03-28T23:30:00Z"), iso("2026-03-29T23:30:00Z")), 2);
  EXPECT_EQ(LocalTime::calendarDaysBetween(iso("2026-03-29T23:30:00Z"), iso("2026-03-28T23:30:00Z")), -2);
  EXPECT_EQ(LocalTime::dayKey(iso("2026-06-30T23:30:00Z")), "2026-07-01");

  const auto d = LocalTime::toLocal(iso("2026-06-30T23:30:05Z"));
  EXPECT_EQ(d, (LocalTime::DateTime{2026, 7, 1, 0, 30, 5, 3, 3600, true}));
}

TEST(LocalTimeTest, TZIsReadOnEveryCall) {
  const Timestamp t = iso("2026-12-07T12:00:00Z");
  {
    ScopedTZ tz("UTC0");
    EXPECT_EQ(LocalTime::format(t, "%H:%M %a %-d %b", LocalTime::TimeLocale::c()), "12:00 Mon 7 Dec");
  }
  {
    ScopedTZ tz("<+14>-14");
    EXPECT_EQ(LocalTime::format(t, "%H:%M %a %-d %b", LocalTime::TimeLocale::c()), "02:00 Tue 8 Dec");
  }
}

TEST(LocalTimeTest, FormatsFromSeveralThreadsAtOnce) {
  ScopedTZ tz(kLondon);
  const Timestamp now = iso("2026-12-07T10:00:00Z");
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] {
      for (int k = 0; k < 200; ++k) {
        const auto locale = LocalTime::TimeLocale::named(i % 2 ? "C" : "C.UTF-8");
        if (!locale || TimeFormatting::resetPhrase(addSeconds(now, 3 * 86400), now, *locale) != "resets Thu 10:00" ||
            TimeFormatting::clock(now) != "10:00")
          ++mismatches;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace qd
