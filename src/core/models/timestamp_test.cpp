#include "models/timestamp.h"

#include <gtest/gtest.h>

#include <limits>

namespace qd {
namespace {

struct ParseCase {
  const char* text;
  std::optional<double> unixSeconds;
  friend void PrintTo(const ParseCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }
};

class ParseISO8601Test : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseISO8601Test, ReadsInternetDateTimes) {
  const auto& c = GetParam();
  auto t = parseISO8601(c.text);
  if (!c.unixSeconds) {
    EXPECT_FALSE(t.has_value()) << c.text;
  } else {
    ASSERT_TRUE(t.has_value()) << c.text;
    EXPECT_DOUBLE_EQ(toUnixSeconds(*t), *c.unixSeconds) << c.text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseISO8601Test,
    ::testing::Values(ParseCase{"1970-01-01T00:00:00Z", 0.0}, ParseCase{"2026-12-07T04:59:59Z", 1796619599.0},
                      ParseCase{"2026-12-07T04:59:59.943648+00:00", 1796619599.943648},
                      ParseCase{"2026-12-07T05:59:59.5+01:00", 1796619599.5},
                      ParseCase{"2026-12-06T23:59:59-05:00", 1796619599.0},
                      ParseCase{"2024-02-29T12:00:00z", 1709208000.0},
                      ParseCase{"2023-02-29T12:00:00Z", std::nullopt},
                      ParseCase{"2026-12-07T04:59:59", std::nullopt},
                      ParseCase{"2026-12-07 04:59:59Z", std::nullopt},
                      ParseCase{"2026-12-07T04:59:59.Z", std::nullopt},
                      ParseCase{" 2026-12-07T04:59:59Z", std::nullopt},
                      ParseCase{"2026-12-07T04:59:59Zjunk", std::nullopt},
                      ParseCase{"0000-01-01T00:29:00.0+14:00", std::nullopt},
                      ParseCase{"9999-12-31T23:59:59-01:00", std::nullopt},
                      ParseCase{"", std::nullopt}));

TEST(TimestampTest, FormatsUtcWithoutFraction) {
  EXPECT_EQ(formatISO8601(fromUnixSeconds(1796619599.943648)), "2026-12-07T04:59:59Z");
  EXPECT_EQ(formatISO8601(fromUnixSeconds(0)), "1970-01-01T00:00:00Z");
  EXPECT_EQ(formatISO8601(fromUnixSeconds(-1)), "1969-12-31T23:59:59Z");
}

TEST(TimestampTest, FractionRequirementSelectsTheForm) {
  EXPECT_FALSE(parseISO8601("2026-12-07T04:59:59Z", true));
  EXPECT_TRUE(parseISO8601("2026-12-07T04:59:59Z", false));
  EXPECT_TRUE(parseISO8601("2026-12-07T04:59:59.1Z", true));
  EXPECT_FALSE(parseISO8601("2026-12-07T04:59:59.1Z", false));
}

}  // namespace
}  // namespace qd

namespace qd {
namespace {

TEST(TimestampTest, ArithmeticSaturatesInsteadOfOverflowing) {
  const Timestamp t = fromUnixSeconds(1'800'000'000);
  EXPECT_EQ(addSeconds(t, 1.5), fromUnixSeconds(1'800'000'001.5));
  EXPECT_EQ(addSeconds(t, std::numeric_limits<double>::infinity()), t);
  const Timestamp late = addSeconds(t, 1e300);
  const Timestamp early = addSeconds(t, -1e300);
  EXPECT_EQ(late.time_since_epoch().count(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(addSeconds(late, 1e6), late);
  EXPECT_LT(early, t);
  EXPECT_GT(secondsBetween(early, late), 1.8e13);
  EXPECT_LT(secondsBetween(late, early), -1.8e13);
  EXPECT_EQ(secondsBetween(t, addSeconds(t, -90.25)), -90.25);
}

}  // namespace
}  // namespace qd
