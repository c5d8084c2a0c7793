#include "cards/card_logic.h"

#include <gtest/gtest.h>

#include <ctime>

namespace qd {
namespace {

using namespace CardLogic;

// 2027-01-15 10:00:00 UTC
const Timestamp now = fromUnixSeconds(1'831'629'600);

class CardLogicTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
};

ForecastResult fiveHour(double used, std::optional<double> projected, ForecastStatus status,
                        std::optional<double> burn, double resetHours = 4) {
  ForecastResult f;
  f.windowKind = WindowKind::fiveHour;
  f.currentUsedPercent = used;
  f.projectedUsedAtReset = projected;
  f.status = status;
  f.burnRatePercentPerHour = burn;
  f.resetAt = addSeconds(now, resetHours * 3600);
  f.timeUntilReset = resetHours * 3600;
  return f;
}

TEST_F(CardLogicTest, RunOutIsWhereTheLineCrossesTheLimit) {
  const auto t = runOut(fiveHour(60, 140, ForecastStatus::risky, 20, 4), now);
  ASSERT_TRUE(t.has_value());
  EXPECT_DOUBLE_EQ(secondsBetween(now, *t), 2 * 3600);
  EXPECT_FALSE(runOut(fiveHour(60, 100, ForecastStatus::risky, 20), now).has_value());
  EXPECT_FALSE(runOut(fiveHour(100, 140, ForecastStatus::limited, 20), now).has_value());
  EXPECT_EQ(runOutSuffix(*t, now), "· runs out 12:00 (2h)");
  // With the engine's run-out instant (taken from the last reading, not from now), that instant is used.
  ForecastResult withInstant = fiveHour(60, 140, ForecastStatus::risky, 20, 4);
  withInstant.runOutAt = addSeconds(now, 2 * 3600 - 50);
  EXPECT_EQ(runOut(withInstant, now), withInstant.runOutAt);
}

TEST_F(CardLogicTest, FiveHourOutlookHidesQuietSafeWindows) {
  struct Case {
    const char* name;
    ForecastResult f;
    bool shown;
  };
  const Case cases[] = {
      {"burn exactly 0.5", fiveHour(10, 90, ForecastStatus::safe, 0.5), false},
      {"no burn", fiveHour(10, 90, ForecastStatus::safe, std::nullopt), false},
      {"small difference", fiveHour(40, 41, ForecastStatus::safe, 2), false},
      {"no projection", fiveHour(40, std::nullopt, ForecastStatus::watch, 2), false},
      {"at the limit", fiveHour(100, 120, ForecastStatus::limited, 2), false},
      {"safe and moving", fiveHour(40, 80, ForecastStatus::safe, 2), true},
      {"watch, quiet", fiveHour(40, 41, ForecastStatus::watch, 0.1), true},
  };
  for (const auto& c : cases) EXPECT_EQ(fiveHourOutlook(c.f, false, now).has_value(), c.shown) << c.name;
}

TEST_F(CardLogicTest, FiveHourOutlookTexts) {
  const auto safe = fiveHourOutlook(fiveHour(40, 80, ForecastStatus::safe, 2), false, now);
  ASSERT_TRUE(safe.has_value());
  EXPECT_EQ(safe->symbol, "checkmark.circle.fill");
  EXPECT_EQ(safe->lead, "On track: ~80% used by reset");
  EXPECT_EQ(safe->tail, "· at recent pace");
  EXPECT_FALSE(safe->runOut.has_value());

  const auto risky = fiveHourOutlook(fiveHour(60, 140, ForecastStatus::risky, 20), true, now);
  ASSERT_TRUE(risky.has_value());
  EXPECT_EQ(risky->symbol, "exclamationmark.triangle.fill");
  EXPECT_EQ(risky->lead, "~0% left by reset");
  EXPECT_EQ(risky->runOut, "· runs out 12:00 (2h)");
  EXPECT_EQ(risky->tail, "");
}

TEST_F(CardLogicTest, LongWindowOutlookNamesItsBasis) {
  auto f = fiveHour(30, 70, ForecastStatus::safe, 1, 72);
  f.windowKind = WindowKind::sevenDay;
  EXPECT_EQ(longWindowOutlook(f, false, ForecastBasis::last3h, true, now)->tail, "· at 3h pace");
  EXPECT_FALSE(longWindowOutlook(f, false, ForecastBasis::last3h, true, now)->spiking);
  const auto smart = longWindowOutlook(f, true, ForecastBasis::smart, true, now);
  EXPECT_EQ(smart->tail, "· from your history");
  EXPECT_TRUE(smart->spiking);
  EXPECT_EQ(smart->lead, "On track: ~30% left at reset");
}

TEST_F(CardLogicTest, SummaryRowsFollowShowRemaining) {
  auto f = fiveHour(40, 120, ForecastStatus::risky, 10, 3 + 25.0 / 60);
  f.runOutAt = addSeconds(now, 3600);
  f.confidence = SourceConfidence::high;
  const auto used = summaryRows(f, std::nullopt, false, false, ForecastBasis::last1h, now);
  ASSERT_EQ(used.size(), 5u);
  EXPECT_EQ(used[0].value, "40% used");
  EXPECT_EQ(used[1].label, "At 1h pace");
  EXPECT_EQ(used[1].value, "~120% used by reset");
  EXPECT_EQ(used[1].tone, Tone::risky);
  EXPECT_EQ(used[2].label, "Time to limit");
  EXPECT_EQ(used[2].value, "~11:00 (in 1h)");
  EXPECT_EQ(used[3].label, "Resets");
  EXPECT_EQ(used[3].value, "13:25 today (3h 25m)");
  EXPECT_EQ(used[4].value, "high confidence");

  const auto left = summaryRows(f, std::nullopt, false, true, ForecastBasis::smart, now);
  EXPECT_EQ(left[0].value, "60% left");
  EXPECT_EQ(left[1].label, "At Smart pace");
  EXPECT_EQ(left[1].value, "~0% left by reset");
  EXPECT_EQ(left[2].label, "Runs out");
}

TEST_F(CardLogicTest, SummaryRowsWithoutBurnOrPace) {
  auto f = fiveHour(40, std::nullopt, ForecastStatus::noData, std::nullopt);
  f.windowKind = WindowKind::monthly;
  PaceResult pace;
  pace.verdict = PaceResult::Verdict::overPace;
  const auto rows = summaryRows(f, pace, true, false, ForecastBasis::last1h, now);
  std::vector<std::string> labels;
  for (const auto& r : rows) labels.push_back(r.label);
  EXPECT_EQ(labels, (std::vector<std::string>{"Current", "Pace", "Resets", "Status"}));
  EXPECT_EQ(rows[1].value, "Over pace");
  EXPECT_EQ(rows[1].tone, Tone::watch);

  f.burnRatePercentPerHour = 1;
  const auto noRunOut = summaryRows(f, std::nullopt, false, false, ForecastBasis::last1h, now);
  EXPECT_EQ(noRunOut[1].value, "not before reset");
}

TEST_F(CardLogicTest, RangeTitlesAndScopes) {
  EXPECT_EQ(rangeTitle(WindowKind::fiveHour), "5-hour range");
  EXPECT_EQ(rangeTitle(WindowKind::monthly), "Monthly range");
  EXPECT_EQ(rangeTitle(WindowKind::unknown), "Range");
  EXPECT_EQ(scenarioScope(WindowKind::weekly), "this week");
  EXPECT_EQ(scenarioScope(WindowKind::fiveHour), "5h");
  EXPECT_EQ(scenarioScope(WindowKind::unknown), "Window");
}

TEST_F(CardLogicTest, ScenarioDetailLines) {
  ScenarioResult s;
  s.estimatedSavingPercent = 0.4;
  EXPECT_FALSE(scenarioDetail(s).has_value());
  s.estimatedSavingPercent = 12;
  EXPECT_EQ(scenarioDetail(s), "saves ~12%");
  s.estimatedSavingPercent = -7.6;
  EXPECT_EQ(scenarioDetail(s), "costs ~8% more");
  s.runOutAt = addSeconds(now, 5400);
  EXPECT_EQ(scenarioDetail(s), "runs out ~11:30");
}

TEST_F(CardLogicTest, BannerTintFollowsTheFirstThreeOnly) {
  auto rec = [](ForecastStatus s) {
    Recommendation r;
    r.status = s;
    return r;
  };
  EXPECT_FALSE(bannerTint({}).has_value());
  EXPECT_FALSE(bannerTint({rec(ForecastStatus::noData)}).has_value());
  EXPECT_EQ(bannerTint({rec(ForecastStatus::safe), rec(ForecastStatus::watch), rec(ForecastStatus::safe),
                        rec(ForecastStatus::limited), rec(ForecastStatus::limited)}),
            ColorRole::watch);
  EXPECT_EQ(bannerTint({rec(ForecastStatus::limitLikely)}), ColorRole::risky);
  EXPECT_EQ(recommendationSymbol(ForecastStatus::watch), "eye.fill");
  EXPECT_EQ(recommendationSymbol(ForecastStatus::limited), "xmark.octagon.fill");
  EXPECT_EQ(recommendationSymbol(ForecastStatus::unknown), "info.circle.fill");
}

TEST_F(CardLogicTest, ExtraUsageAgainstBudgetOrServerLimit) {
  EXPECT_FALSE(extraUsage(true, 0, std::nullopt, 0).has_value());
  EXPECT_FALSE(extraUsage(false, 60, std::nullopt, 50).has_value());
  const auto over = extraUsage(true, 60, std::nullopt, 50);
  ASSERT_TRUE(over.has_value());
  EXPECT_EQ(over->usedText, "£60.00 used");
  EXPECT_EQ(over->barPercent, 100);
  EXPECT_EQ(over->barColour, ColorRole::limited);
  EXPECT_EQ(over->detail, "£60.00 of £50.00 budget · 120%");
  const auto server = extraUsage(true, 12.34, 50.0, 0);
  EXPECT_EQ(server->detail, "£12.34 of £50.00 budget · 25%");
  EXPECT_EQ(server->barColour, ColorRole::safe);
  EXPECT_EQ(extraUsage(true, 41, 50.0, 0)->barColour, ColorRole::watch);
  EXPECT_EQ(extraUsage(true, 5, std::nullopt, 0)->detail,
            "Real money beyond your plan. Set a budget in Settings to get warned.");
}

TEST_F(CardLogicTest, TrendDeltaTextsAndTones) {
  struct Case { double delta; const char* symbol; const char* text; Tone tone; };
  const Case cases[] = {{-3, "arrow.down.right", "-3%", Tone::neutral},
                        {0, "arrow.up.right", "+0%", Tone::neutral},
                        {12.4, "arrow.up.right", "+12%", Tone::watch},
                        {-8, "arrow.down.right", "-8%", Tone::safe}};
  for (const auto& c : cases) {
    const auto d = trendDelta(c.delta);
    EXPECT_EQ(d.symbol, c.symbol);
    EXPECT_EQ(d.text, c.text);
    EXPECT_EQ(d.tone, c.tone);
  }
}

}  // namespace
}  // namespace qd
