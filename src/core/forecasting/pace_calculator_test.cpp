#include "forecasting/pace_calculator.h"

#include <gtest/gtest.h>

namespace qd {
namespace {

const Timestamp kReset = fromUnixSeconds(1'800'000'000);
constexpr double kWeekMins = 7 * 1440;

UsageSnapshot weekly(double used, std::optional<double> remaining = std::nullopt,
                     std::optional<double> windowMins = kWeekMins) {
  UsageSnapshot s;
  s.provider = Provider::claude;
  s.windowKind = WindowKind::sevenDay;
  s.timestamp = addSeconds(kReset, -3.5 * 86400);
  s.usedPercent = used;
  s.remainingPercent = remaining.value_or(100 - used);
  s.resetAt = kReset;
  s.windowDurationMins = windowMins;
  return s;
}

Timestamp daysBeforeReset(double days) { return addSeconds(kReset, -days * 86400); }

TEST(PaceTest, VerdictsAgainstTheEvenSpendLine) {
  struct Case {
    const char* name;
    double used;
    PaceResult::Verdict verdict;
    double delta;
    const char* summary;
  };
  // 3.5 of 7 days elapsed: the ideal is 50%.
  const Case cases[] = {
      {"over pace", 60, PaceResult::Verdict::overPace, 10, "Over pace by +10pp. Daily budget ~14.3%."},
      {"under pace", 40, PaceResult::Verdict::underPace, -10, "Under pace by -10pp. Headroom of ~17%/day."},
      {"on pace", 53, PaceResult::Verdict::onPace, 3, "On pace. ~13%/day available."},
      {"exactly +5 is on pace", 55, PaceResult::Verdict::onPace, 5, "On pace. ~13%/day available."},
      {"exactly -5 is on pace", 45, PaceResult::Verdict::onPace, -5, "On pace. ~16%/day available."},
      {"just over +5", 55.01, PaceResult::Verdict::overPace, 5.01, "Over pace by +5pp. Daily budget ~14.3%."},
  };
  for (const auto& c : cases) {
    const auto p = PaceCalculator::pace(weekly(c.used), daysBeforeReset(3.5));
    EXPECT_EQ(p.verdict, c.verdict) << c.name;
    EXPECT_NEAR(p.elapsedRatio, 0.5, 1e-12) << c.name;
    EXPECT_NEAR(p.idealUsageNow, 50, 1e-9) << c.name;
    EXPECT_NEAR(p.paceDelta, c.delta, 1e-9) << c.name;
    EXPECT_NEAR(p.daysRemaining, 3.5, 1e-9) << c.name;
    EXPECT_NEAR(*p.projectedEnd, c.used * 2, 1e-9) << c.name;
    EXPECT_NEAR(*p.remainingDailyAllowance, (100 - c.used) / 3.5, 1e-9) << c.name;
    EXPECT_EQ(p.summary, c.summary) << c.name;
  }
}

TEST(PaceTest, DailyShareTreatsShortWindowsAsOneDay) {
  auto s = weekly(90, 10, 300);
  s.resetAt = addSeconds(kReset, 0);
  const auto p = PaceCalculator::pace(s, addSeconds(kReset, -2.5 * 3600));
  EXPECT_NEAR(p.elapsedRatio, 0.5, 1e-12);
  EXPECT_EQ(p.summary, "Over pace by +40pp. Daily budget ~100.0%.");
}

TEST(PaceTest, WindowEdges) {
  struct Case {
    const char* name;
    Timestamp now;
    double ratio;
    double daysRemaining;
    bool hasProjectedEnd;
    double allowance;
  };
  const Case cases[] = {
      // 30% remaining two hours before the reset: divided by 0.1 day, not 0.083.
      {"two hours left", addSeconds(kReset, -7200), 1 - 7200.0 / (7 * 86400), 7200.0 / 86400, true, 30 / 0.1},
      {"before the window started", daysBeforeReset(8), 0, 8, false, 30 / 8.0},
      {"after the reset", addSeconds(kReset, 3600), 1, 0, true, 30 / 0.1},
      {"barely started", daysBeforeReset(6.95), 0.05 / 7, 6.95, false, 30 / 6.95},
  };
  for (const auto& c : cases) {
    const auto p = PaceCalculator::pace(weekly(70), c.now);
    EXPECT_NEAR(p.elapsedRatio, c.ratio, 1e-9) << c.name;
    EXPECT_NEAR(p.daysRemaining, c.daysRemaining, 1e-9) << c.name;
    EXPECT_EQ(p.projectedEnd.has_value(), c.hasProjectedEnd) << c.name;
    EXPECT_NEAR(*p.remainingDailyAllowance, c.allowance, 1e-6) << c.name;
    EXPECT_NEAR(p.paceDelta, 70 - c.ratio * 100, 1e-6) << c.name;
  }
}

TEST(PaceTest, ProjectedEndIsCappedAt140) {
  const auto p = PaceCalculator::pace(weekly(90), daysBeforeReset(6));
  EXPECT_EQ(p.projectedEnd, 140);
}

TEST(PaceTest, NoWindowDataGivesNoData) {
  auto noReset = weekly(50);
  noReset.resetAt.reset();
  const UsageSnapshot cases[] = {weekly(50, 50, std::nullopt), weekly(50, 50, 0), weekly(50, 50, -10), noReset};
  for (const auto& s : cases) {
    const auto p = PaceCalculator::pace(s, daysBeforeReset(3));
    PaceResult expected;
    expected.summary = "Pace unavailable (no window data).";
    EXPECT_EQ(p, expected);
    EXPECT_EQ(rawValue(p.verdict), "No data");
  }
}

TEST(PaceTest, VerdictTextsAreTheRawValues) {
  EXPECT_EQ(rawValue(PaceResult::Verdict::underPace), "Under pace");
  EXPECT_EQ(rawValue(PaceResult::Verdict::onPace), "On pace");
  EXPECT_EQ(rawValue(PaceResult::Verdict::overPace), "Over pace");
  EXPECT_EQ(enumFromRaw<PaceResult::Verdict>("Over pace"), PaceResult::Verdict::overPace);
}

}  // namespace
}  // namespace qd
