#include "popover/theme.h"

#include <gtest/gtest.h>

namespace qd {
namespace {

TEST(ThemeColours, StatusColoursDifferFromEachOtherInBothVariants) {
  for (const Theme& t : {Theme::light(), Theme::darkTheme()}) {
    EXPECT_NE(t.statusColor(ForecastStatus::safe), t.statusColor(ForecastStatus::watch));
    EXPECT_NE(t.statusColor(ForecastStatus::risky), t.statusColor(ForecastStatus::limited));
    EXPECT_EQ(t.statusColor(ForecastStatus::limitLikely), t.risky);
    EXPECT_EQ(t.statusColor(ForecastStatus::unknown), t.neutral);
  }
}

}  // namespace
}  // namespace qd
