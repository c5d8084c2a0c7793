#include <gtest/gtest.h>

#include <unordered_set>

#include "models/forecast_basis.h"
#include "models/forecast_status.h"
#include "models/provider.h"
#include "models/usage_snapshot.h"

namespace qd {
namespace {

TEST(WindowLabelTest, FromDurationOrKind) {
  struct Case {
    WindowKind kind;
    std::optional<double> minutes;
    const char* expected;
  };
  const Case cases[] = {
      {WindowKind::fiveHour, 300, "5h"}, {WindowKind::sevenDay, 10080, "7d"}, {WindowKind::unknown, 1440, "1d"},
      {WindowKind::unknown, 1410, "24h"}, {WindowKind::unknown, 90, "2h"},    {WindowKind::weekly, std::nullopt, "Weekly"},
      {WindowKind::weekly, 0, "Weekly"},  {WindowKind::weekly, 10080, "7d"},  {WindowKind::monthly, -5, "Monthly"},
      // Durations from a hostile file or server: beyond a year is no real window.
      {WindowKind::sevenDay, 1e300, "7d"}, {WindowKind::fiveHour, 1e19, "5h"}, {WindowKind::unknown, 527'040, "366d"},
      {WindowKind::weekly, 527'041 + 720, "Weekly"}, {WindowKind::fiveHour, -1e300, "5h"},
  };
  for (const auto& c : cases) {
    UsageSnapshot s;
    s.windowKind = c.kind;
    s.windowDurationMins = c.minutes;
    EXPECT_EQ(s.windowLabel(), c.expected) << rawValue(c.kind);
  }
}

TEST(ForecastStatusTest, WorstKeepsFirstAmongEqualSeverity) {
  EXPECT_EQ(worstStatus({ForecastStatus::watch, ForecastStatus::limitLikely}), ForecastStatus::limitLikely);
  EXPECT_EQ(worstStatus({ForecastStatus::noData, ForecastStatus::unknown}), ForecastStatus::noData);
  EXPECT_EQ(worstStatus({ForecastStatus::unknown, ForecastStatus::noData}), ForecastStatus::unknown);
  EXPECT_EQ(worstStatus({}), ForecastStatus::noData);
}

TEST(EnumTest, RawValuesRoundTripInDeclarationOrder) {
  EXPECT_EQ(allCases<Provider>().front(), Provider::codex);
  for (auto b : allCases<ForecastBasis>()) EXPECT_EQ(enumFromRaw<ForecastBasis>(rawValue(b)), b);
  for (auto s : allCases<ForecastStatus>()) EXPECT_EQ(enumFromRaw<ForecastStatus>(rawValue(s)), s);
  EXPECT_FALSE(enumFromRaw<Provider>("Codex"));
}

TEST(UuidTest, RandomIsVersion4AndRoundTrips) {
  std::unordered_set<Uuid> seen;
  for (int i = 0; i < 100; ++i) {
    Uuid u = Uuid::random();
    std::string s = u.str();
    ASSERT_EQ(s.size(), 36u);
    EXPECT_EQ(s[14], '4');
    EXPECT_EQ(Uuid::parse(s), u);
    seen.insert(u);
  }
  EXPECT_EQ(seen.size(), 100u);
  EXPECT_EQ(Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")->str(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_FALSE(Uuid::parse("e621e1f8c36c-495a-93fc-0c247a3e6e5f0"));
}

}  // namespace
}  // namespace qd
