#include "providers/demo_provider.h"

#include <gtest/gtest.h>

#include <cmath>

namespace qd {
namespace {

std::vector<UsageSnapshot> windowOf(const std::vector<UsageSnapshot>& all, WindowKind w) {
  std::vector<UsageSnapshot> out;
  for (const auto& s : all)
    if (s.windowKind == w) out.push_back(s);
  return out;
}

TEST(DemoProvider, ClaudeSeriesRunFromZeroToTheirPeaksAndEndAtNow) {
  const Timestamp now = fromUnixSeconds(1'800'000'000);
  const auto all = DemoProvider::history(Provider::claude, now);
  ASSERT_EQ(all.size(), 23u);
  const auto five = windowOf(all, WindowKind::fiveHour);
  const auto week = windowOf(all, WindowKind::sevenDay);
  ASSERT_EQ(five.size(), 13u);
  ASSERT_EQ(week.size(), 10u);
  EXPECT_EQ(five.front().usedPercent, 0.0);
  EXPECT_EQ(five.back().usedPercent, 28.0);
  EXPECT_EQ(five.back().remainingPercent, 72.0);
  EXPECT_EQ(five.back().timestamp, now);
  EXPECT_DOUBLE_EQ(secondsBetween(five.front().timestamp, now), 120 * 60);
  EXPECT_EQ(week.back().usedPercent, 41.0);
  // The weekly series starts exactly when its window opened.
  EXPECT_EQ(addSeconds(*week.front().resetAt, -7 * 86'400), week.front().timestamp);
  for (const auto& s : all) {
    EXPECT_EQ(s.source, "demo");
    EXPECT_EQ(s.sourceConfidence, SourceConfidence::high);
    EXPECT_EQ(s.modelDisplayName, "Opus 4.8");
    EXPECT_FALSE(s.speedMode.has_value());
    // One decimal, cut rather than rounded.
    EXPECT_DOUBLE_EQ(s.usedPercent * 10, std::floor(s.usedPercent * 10));
  }
  EXPECT_NE(all[0].id, all[1].id);
}

TEST(DemoProvider, CodexSpansOneHundredMinutesAndCarriesItsSpeed) {
  const Timestamp now = fromUnixSeconds(1'800'000'000);
  const auto all = DemoProvider::history(Provider::codex, now);
  const auto five = windowOf(all, WindowKind::fiveHour);
  EXPECT_DOUBLE_EQ(secondsBetween(five.front().timestamp, now), 100 * 60);
  EXPECT_EQ(five.back().usedPercent, 22.0);
  EXPECT_EQ(windowOf(all, WindowKind::sevenDay).back().usedPercent, 34.0);
  EXPECT_EQ(all.front().speedMode, "standard");
  EXPECT_EQ(all.front().planType, "Pro");
  EXPECT_EQ(all.front().limitId, "codex-5h");
}

TEST(DemoProvider, DailySeriesIsTheFixedWeekCut) {
  const auto three = DemoProvider::dailySeries(Provider::claude, 3);
  ASSERT_EQ(three.size(), 3u);
  EXPECT_EQ(three[0].first, "04");
  EXPECT_EQ(three[2].first, "06");
  EXPECT_EQ(three[1].second, 15'000'000);
  EXPECT_EQ(DemoProvider::dailySeries(Provider::codex, 30).size(), 7u);
  EXPECT_TRUE(DemoProvider::dailySeries(Provider::codex, -1).empty());
}

TEST(DemoProvider, HealthIsAlwaysDemo) {
  DemoProvider p(Provider::codex);
  EXPECT_EQ(p.health().state, ProviderHealth::State::demo);
  EXPECT_EQ(p.health().detail, "Synthetic data");
}

}  // namespace
}  // namespace qd
