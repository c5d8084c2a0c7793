#include "settings/settings_logic.h"

#include <gtest/gtest.h>

#include "utilities/local_time.h"

namespace qd {
namespace {

using namespace SettingsLogic;

class SettingsLogicTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "Europe/London", 1);
    ::tzset();
  }
  void TearDown() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
};

TEST_F(SettingsLogicTest, UntilTomorrowIsNineOnTheNextCalendarDay) {
  struct Case { int day, hour, minute; int expectDay; };
  const Case cases[] = {{14, 23, 50, 15}, {15, 0, 10, 16}, {15, 8, 59, 16}, {15, 12, 0, 16}};
  for (const auto& c : cases) {
    const auto now = LocalTime::fromLocal(2027, 1, c.day, c.hour, c.minute);
    ASSERT_TRUE(now.has_value());
    const auto until = nineTomorrow(*now);
    ASSERT_TRUE(until.has_value());
    const auto local = LocalTime::toLocal(*until);
    EXPECT_EQ(local.day, c.expectDay) << c.day << " " << c.hour << ":" << c.minute;
    EXPECT_EQ(local.hour, 9);
    EXPECT_EQ(local.minute, 0);
  }
}

TEST_F(SettingsLogicTest, UntilTomorrowAcrossTheSpringClockChange) {
  // 28 March 2027: clocks go forward at 01:00; 09:00 still exists and is one hour closer.
  const auto now = LocalTime::fromLocal(2027, 3, 27, 22, 0);
  const auto until = nineTomorrow(*now);
  ASSERT_TRUE(until.has_value());
  EXPECT_DOUBLE_EQ(secondsBetween(*now, *until), 10 * 3600);
}

TEST_F(SettingsLogicTest, OverageBudgetLabelAndStepperBounds) {
  EXPECT_EQ(overageBudgetLabel(0), "Overage budget: off");
  EXPECT_EQ(overageBudgetLabel(stepped(0, 1, 5, 0, 1000)), "Overage budget: £5");
  EXPECT_DOUBLE_EQ(stepped(0, -1, 5, 0, 1000), 0);
  EXPECT_DOUBLE_EQ(stepped(1000, 1, 5, 0, 1000), 1000);
  struct Bounds { double lo, hi; };
  for (const Bounds b : {Bounds{50, 100}, Bounds{50, 140}, Bounds{10, 120}}) {
    EXPECT_DOUBLE_EQ(stepped(b.lo, -1, 5, b.lo, b.hi), b.lo);
    EXPECT_DOUBLE_EQ(stepped(b.hi, 1, 5, b.lo, b.hi), b.hi);
    EXPECT_DOUBLE_EQ(stepped(b.lo, 1, 5, b.lo, b.hi), b.lo + 5);
  }
}

TEST_F(SettingsLogicTest, BridgePills) {
  EXPECT_EQ(bridgePill("notInstalled").text, "Not installed");
  EXPECT_EQ(bridgePill("wrapping").text, "Wrapping existing");
  EXPECT_EQ(bridgePill("wrapping").role, Pill::Role::safe);
  EXPECT_EQ(bridgePill("foreign").role, Pill::Role::watch);
  EXPECT_EQ(bridgePill("error(\"bad json\")").text, "Error");
}

}  // namespace
}  // namespace qd
