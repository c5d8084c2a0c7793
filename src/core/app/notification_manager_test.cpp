#include "app/notification_manager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "app/manual_main_loop.h"
#include "app/testing/app_test_support.h"
#include "utilities/local_time.h"

namespace qd {
namespace {

class NotificationManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    if (tz) savedTZ = tz;
    hadTZ = tz != nullptr;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    settings.notificationsEnabled = true;
  }
  void TearDown() override {
    if (hadTZ)
      ::setenv("TZ", savedTZ.c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

  ForecastResult fiveHour(Provider p, double used) {
    ForecastResult f;
    f.provider = p;
    f.windowKind = WindowKind::fiveHour;
    f.currentUsedPercent = used;
    f.currentRemainingPercent = 100 - used;
    return f;
  }

  std::vector<std::string> titles() const {
    std::vector<std::string> out;
    for (const auto& d : sink.delivered) out.push_back(d.title);
    return out;
  }

  std::string savedTZ;
  bool hadTZ = false;
  // Sunday 6 December 2026, 12:00 UTC.
  ManualClock clock{fromUnixSeconds(1'796'558'400)};
  testing::RecordingSink sink;
  NotificationManager manager{&sink, clock};
  AppSettings settings;
};

TEST_F(NotificationManagerTest, FiveHourUsageFiresAtTheThresholdWithItsText) {
  settings.notificationThresholds.fiveHourUsageAbove = 70;
  manager.evaluate({fiveHour(Provider::codex, 69.6)}, {}, settings);
  EXPECT_TRUE(sink.delivered.empty());
  manager.evaluate({fiveHour(Provider::codex, 70)}, {}, settings);
  ASSERT_EQ(sink.delivered.size(), 1u);
  EXPECT_EQ(sink.delivered[0].title, "Codex 5h usage high");
  EXPECT_EQ(sink.delivered[0].body, "5h usage is above 70% (now 70%).");
  EXPECT_EQ(sink.delivered[0].identifier.rfind("codex-5h-usage-", 0), 0u);
  EXPECT_EQ(sink.delivered[0].identifier.size(), std::string("codex-5h-usage-").size() + 36);
}

TEST_F(NotificationManagerTest, TheCooldownHoldsBackARepeat) {
  settings.notificationCooldownMinutes = 30;
  manager.evaluate({fiveHour(Provider::claude, 80)}, {}, settings);
  clock.advance(5 * 60);
  manager.evaluate({fiveHour(Provider::claude, 80)}, {}, settings);
  EXPECT_EQ(sink.delivered.size(), 1u);
  clock.advance(26 * 60);  // 31 minutes after the first
  manager.evaluate({fiveHour(Provider::claude, 80)}, {}, settings);
  EXPECT_EQ(titles(), (std::vector<std::string>{"Claude Code 5h usage high", "Claude Code 5h usage high"}));
}

TEST_F(NotificationManagerTest, ForecastAndTimeToLimitAlerts) {
  ForecastResult f = fiveHour(Provider::codex, 40);
  f.basis = ForecastBasis::sinceWindowStart;
  f.projectedUsedAtReset = 93.4;
  f.estimatedTimeToLimit = 60 * 60;  // exactly the threshold: not under it
  manager.evaluate({f}, {}, settings);
  ASSERT_EQ(sink.delivered.size(), 1u);
  EXPECT_EQ(sink.delivered[0].title, "Codex burn rate high");
  EXPECT_EQ(sink.delivered[0].body, "At your Start pace, projected 93% by reset.");

  f.estimatedTimeToLimit = 59 * 60;
  manager.evaluate({f}, {}, settings);
  ASSERT_EQ(sink.delivered.size(), 2u);
  EXPECT_EQ(sink.delivered[1].title, "Codex close to limit");
  EXPECT_EQ(sink.delivered[1].body, "You may hit the 5h limit in ~59m.");
}

TEST_F(NotificationManagerTest, AtTheLimitTheAlertSaysItIsReached) {
  struct Case {
    double used;
    ForecastStatus status;
    std::optional<double> timeToLimit, timeUntilReset;
    const char* body;
  };
  const Case cases[] = {
      {100, ForecastStatus::limited, 0, 2 * 3600 + 5 * 60, "You have reached the 5h limit. It resets in 2h 5m."},
      {100, ForecastStatus::limited, 0, -10, "You have reached the 5h limit. It resets now."},
      {97, ForecastStatus::limited, std::nullopt, 600, "You have reached the 5h limit. It resets in 10m."},
  };
  for (const Case& c : cases) {
    NotificationManager fresh{&sink, clock};
    sink.delivered.clear();
    ForecastResult f = fiveHour(Provider::claude, c.used);
    f.status = c.status;
    f.estimatedTimeToLimit = c.timeToLimit;
    f.timeUntilReset = c.timeUntilReset;
    settings.notificationThresholds.fiveHourUsageAbove = 101;
    fresh.evaluate({f}, {}, settings);
    ASSERT_EQ(sink.delivered.size(), 1u) << c.body;
    EXPECT_EQ(sink.delivered[0].title, "Claude Code 5h limit reached");
    EXPECT_EQ(sink.delivered[0].body, c.body);
  }
}

TEST_F(NotificationManagerTest, WeeklyAlertsComeFromPacesOnly) {
  ForecastResult weekly = fiveHour(Provider::claude, 99);
  weekly.windowKind = WindowKind::sevenDay;
  weekly.projectedUsedAtReset = 140;
  PaceResult pace;
  pace.paceDelta = 12.4;
  pace.projectedEnd = 104.6;
  manager.evaluate({weekly}, {{Provider::claude, pace}}, settings);
  ASSERT_EQ(sink.delivered.size(), 2u);
  EXPECT_EQ(sink.delivered[0].title, "Claude Code weekly pace warning");
  EXPECT_EQ(sink.delivered[0].body, "Projected finish 105%.");
  EXPECT_EQ(sink.delivered[1].title, "Claude Code above weekly pace");
  EXPECT_EQ(sink.delivered[1].body, "You are +12pp above ideal pace.");
}

// Start-up with live data crosses several thresholds at once: one refresh
// sends one notification per provider, listing every alert, and each alert
// keeps its own cooldown.
TEST_F(NotificationManagerTest, OneRefreshSendsOneNotificationPerProvider) {
  settings.extraUsageBudgetGBP = 20;
  ForecastResult codex = fiveHour(Provider::codex, 82);
  codex.basis = ForecastBasis::last1h;
  codex.projectedUsedAtReset = 130;
  codex.estimatedTimeToLimit = 37 * 60;
  ForecastResult claude = fiveHour(Provider::claude, 75);
  PaceResult pace;
  pace.projectedEnd = 112;
  pace.paceDelta = 4;
  const auto refresh = [&] {
    manager.beginBatch();
    manager.evaluate({codex, claude}, {{Provider::codex, pace}}, settings);
    manager.evaluateRunOut({}, settings, clock.now());
    manager.evaluateBudget(NotificationManager::Overage{true, 21, std::nullopt}, settings, clock.now());
    manager.endBatch();
  };
  refresh();
  ASSERT_EQ(titles(), (std::vector<std::string>{"Codex 5h usage high", "Claude Code 5h usage high"}));
  EXPECT_EQ(sink.delivered[0].body,
            "5h usage is above 70% (now 82%).\n"
            "Burn rate high: At your 1h pace, projected 130% by reset.\n"
            "Close to limit: You may hit the 5h limit in ~37m.\n"
            "Weekly pace warning: Projected finish 112%.");
  EXPECT_EQ(sink.delivered[1].body,
            "5h usage is above 70% (now 75%).\n"
            "Overage budget reached: Claude overage spend is \u00a321.00 \u2014 at/over your \u00a320 budget.");
  EXPECT_EQ(sink.delivered[0].identifier.rfind("codex-5h-usage-", 0), 0u);
  EXPECT_EQ(manager.lastFired().size(), 6u);

  // Within the cooldown nothing repeats; a new alert alone goes out as itself.
  clock.advance(60);
  pace.paceDelta = 15;
  refresh();
  ASSERT_EQ(sink.delivered.size(), 3u);
  EXPECT_EQ(sink.delivered[2].title, "Codex above weekly pace");
  EXPECT_EQ(sink.delivered[2].body, "You are +15pp above ideal pace.");
}

TEST_F(NotificationManagerTest, GatesSilenceEveryRuleAndLeaveLastFiredAlone) {
  CalibratedProjection q{118, 0, 0, 4, 10, 2.1, 5, false};
  auto runAll = [&](const AppSettings& s) {
    manager.evaluate({fiveHour(Provider::codex, 99)}, {}, s);
    manager.evaluateRunOut({{Provider::claude, q}}, s, clock.now());
    manager.evaluateBudget(NotificationManager::Overage{true, 30, std::nullopt}, s, clock.now());
    manager.weeklyRecap("text", s, clock.now());
  };
  AppSettings off = settings;
  off.notificationsEnabled = false;
  AppSettings demo = settings;
  demo.demoMode = true;
  AppSettings snoozed = settings;
  snoozed.notificationsSnoozedUntil = addSeconds(clock.now(), 60);
  snoozed.extraUsageBudgetGBP = 20;
  for (const AppSettings& s : {off, demo, snoozed}) runAll(s);
  EXPECT_TRUE(sink.delivered.empty());
  EXPECT_TRUE(manager.lastFired().empty());

  snoozed.notificationsSnoozedUntil = addSeconds(clock.now(), -1);  // the snooze is over
  manager.evaluate({fiveHour(Provider::codex, 99)}, {}, snoozed);
  EXPECT_EQ(sink.delivered.size(), 1u);
}

TEST_F(NotificationManagerTest, RunOutNamesTheWeekdayAndTheDaysToSpare) {
  CalibratedProjection q;
  q.projectedUsedAtReset = 118;
  q.daysOfHeadroom = 2.1;
  q.daysRemaining = 4;
  manager.evaluateRunOut({{Provider::claude, q}}, settings, clock.now());
  ASSERT_EQ(sink.delivered.size(), 1u);
  const std::string weekday = LocalTime::format(addSeconds(clock.now(), 2.1 * 86'400), "%a");
  EXPECT_EQ(weekday, "Tue");
  EXPECT_EQ(sink.delivered[0].title, "Claude Code will run out early");
  EXPECT_EQ(sink.delivered[0].body, "At your usual pace it runs out Tue (~2d before reset).");
  EXPECT_TRUE(manager.lastFired().contains("claude-runout-20793"));

  q.daysOfHeadroom = 3.5;  // 0.5 days to spare is not early enough
  clock.advance(86'400);
  manager.evaluateRunOut({{Provider::claude, q}}, settings, clock.now());
  EXPECT_EQ(sink.delivered.size(), 1u);
}

TEST_F(NotificationManagerTest, BudgetAlertsAtEightyAndOneHundredPercent) {
  settings.extraUsageBudgetGBP = 20;
  manager.evaluateBudget(NotificationManager::Overage{true, 15.9, std::nullopt}, settings, clock.now());
  EXPECT_TRUE(sink.delivered.empty());
  manager.evaluateBudget(NotificationManager::Overage{true, 17.12, std::nullopt}, settings, clock.now());
  ASSERT_EQ(sink.delivered.size(), 1u);
  EXPECT_EQ(sink.delivered[0].title, "Overage budget at 86%");
  EXPECT_EQ(sink.delivered[0].body, "Claude overage spend is \u00a317.12 of your \u00a320 budget.");
  manager.evaluateBudget(NotificationManager::Overage{true, 21, std::nullopt}, settings, clock.now());
  ASSERT_EQ(sink.delivered.size(), 2u);
  EXPECT_EQ(sink.delivered[1].title, "Overage budget reached");
  EXPECT_EQ(sink.delivered[1].body,
            "Claude overage spend is \u00a321.00 \u2014 at/over your \u00a320 budget.");
  manager.evaluateBudget(NotificationManager::Overage{false, 50, std::nullopt}, settings, clock.now());
  settings.extraUsageBudgetGBP = 0;
  manager.evaluateBudget(NotificationManager::Overage{true, 50, std::nullopt}, settings, clock.now());
  EXPECT_EQ(sink.delivered.size(), 2u);
}

TEST_F(NotificationManagerTest, WeeklyRecapOnlyOnSundayEveningOncePerWeek) {
  const Timestamp sunday = fromUnixSeconds(1'796'558'400);  // 12:00
  clock.set(addSeconds(sunday, 5 * 3600 + 59 * 60));         // 17:59
  manager.weeklyRecap("Codex: 40% of weekly used", settings, clock.now());
  EXPECT_TRUE(sink.delivered.empty());
  clock.set(addSeconds(sunday, 6 * 3600));  // 18:00
  manager.weeklyRecap("", settings, clock.now());
  EXPECT_TRUE(sink.delivered.empty());
  manager.weeklyRecap("Codex: 40% of weekly used", settings, clock.now());
  ASSERT_EQ(sink.delivered.size(), 1u);
  EXPECT_EQ(sink.delivered[0].title, "Your week in AI usage");
  EXPECT_EQ(sink.delivered[0].body, "Codex: 40% of weekly used");
  clock.set(addSeconds(sunday, 9 * 3600 + 59 * 60));  // 21:59
  manager.weeklyRecap("again", settings, clock.now());
  clock.set(addSeconds(sunday, 10 * 3600));  // 22:00
  manager.weeklyRecap("again", settings, clock.now());
  EXPECT_EQ(sink.delivered.size(), 1u);
  clock.set(addSeconds(sunday, 7 * 86'400 + 6 * 3600));  // the next Sunday, 18:00
  manager.weeklyRecap("next week", settings, clock.now());
  EXPECT_EQ(sink.delivered.size(), 2u);
  EXPECT_FALSE(NotificationManager::recapWindowOpen(addSeconds(sunday, 86'400 + 6 * 3600)));  // Monday
}

TEST_F(NotificationManagerTest, PermissionAnswerIsRemembered) {
  EXPECT_FALSE(manager.authorized());
  manager.requestAuthorizationIfNeeded();
  EXPECT_TRUE(manager.authorized());
}

}  // namespace
}  // namespace qd
