#include "utilities/number_formatting.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qd {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const std::string kDash = "\u2014";

TEST(NumberFormattingTest, Percent) {
  const std::pair<std::optional<double>, std::string> cases[] = {
      {86, "86%"},     {85.5, "86%"},   {85.49, "85%"},   {-1, "-1%"},     {-0.4, "0%"},    {0, "0%"},
      {-1.5, "-2%"},   {140, "140%"},   {std::nullopt, kDash}, {kNaN, kDash}, {kInf, kDash}, {-kInf, kDash},
  };
  EXPECT_EQ(NumberFormatting::percent(1e300).back(), '%');  // absurd values print, no overflow
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(NumberFormatting::percent(in), out) << (in ? std::to_string(*in) : "absent");
  }
}

TEST(NumberFormattingTest, SignedPoints) {
  const std::pair<std::optional<double>, std::string> cases[] = {
      {12, "+12pp"}, {0, "+0pp"}, {0.4, "+0pp"}, {-5, "-5pp"}, {-10, "-10pp"}, {3.5, "+4pp"},
      {std::nullopt, kDash}, {kNaN, kDash}, {kInf, kDash},
  };
  for (const auto& [in, out] : cases)
    EXPECT_EQ(NumberFormatting::signedPoints(in), out) << (in ? std::to_string(*in) : "absent");
}

TEST(NumberFormattingTest, Money) {
  struct Case {
    double dollars;
    bool gbp;
    const char* text;
  };
  const Case cases[] = {
      {4.2, false, "$4.20"},      {99.994, false, "$99.99"}, {100, false, "$100"},     {160.76, true, "\u00a3127"},
      {100, true, "\u00a379.00"}, {0, false, "$0.00"},       {1234.5, false, "$1234"}, {kNaN, false, "\u2014"},
  };
  for (const auto& c : cases) EXPECT_EQ(NumberFormatting::money(c.dollars, c.gbp), c.text) << c.dollars;
}

TEST(NumberFormattingTest, Tokens) {
  const std::pair<int64_t, std::string> cases[] = {
      {0, "0"},           {950, "950"},         {999, "999"},          {1000, "1K"},
      {12'000, "12K"},    {3'000'000, "3M"},    {1'200'000'000, "1.2B"}, {-5, "-5"},
      {2'499'999, "2M"},  {999'999'999, "1000M"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(NumberFormatting::tokens(in), out) << in;
}

}  // namespace
}  // namespace qd
