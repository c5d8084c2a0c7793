#include "popover/theme.h"

#include <gtest/gtest.h>

namespace qd {
namespace {

TEST(PopoverHeight, ReadsOnlyAWholeNumberAfterTheFlag) {
  struct Case { QStringList args; double height; };
  const Case cases[] = {
      {{"quotadial"}, 720},
      {{"quotadial", "--capture-height", "900"}, 900},
      {{"quotadial", "--capture-height", "812.5", "--preview"}, 812.5},
      {{"quotadial", "--capture-height", "abc"}, 720},
      {{"quotadial", "--capture-height", " 900"}, 720},
      {{"quotadial", "--capture-height", "900px"}, 720},
      {{"quotadial", "--capture-height"}, 720},
      {{"quotadial", "--capture-height", ""}, 720},
      {{"quotadial", "--capture-height", "-50"}, 720},
      {{"quotadial", "--capture-height", "nan"}, 720},
  };
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(Theme::popoverHeightFromArguments(c.args), c.height) << c.args.join(' ').toStdString();
}

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
