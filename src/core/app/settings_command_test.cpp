#include "app/settings_command.h"

#include <gtest/gtest.h>

#include <sstream>

#include "app/app_state.h"
#include "app/manual_main_loop.h"
#include "app/testing/app_test_support.h"
#include "storage/atomic_file.h"
#include "storage/settings_store.h"

namespace qd {
namespace {

class SettingsCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { AppLogger::shared().setFileURL(dir.path() / "logs" / "app.log"); }

  struct Outcome {
    int status;
    std::string out, err;
  };
  Outcome set(const std::string& assignment) {
    std::ostringstream out, err;
    const int status = SettingsCommand::set(file(), assignment, out, err);
    return {status, out.str(), err.str()};
  }
  [[nodiscard]] std::filesystem::path file() const { return dir.path() / "settings.json"; }
  [[nodiscard]] AppSettings saved() const { return SettingsStore(file()).load(); }

  testing::TempDir dir;
};

TEST_F(SettingsCommandTest, AcceptedValuesAreWrittenInTheFilesOwnForm) {
  struct Case {
    std::string assignment;
    std::function<bool(const AppSettings&)> holds;
    std::string echoed;
  };
  const std::vector<Case> cases{
      {"notificationsEnabled=true", [](const AppSettings& s) { return s.notificationsEnabled; },
       "notificationsEnabled = true"},
      {"showRemaining=off", [](const AppSettings& s) { return !s.showRemaining; }, "showRemaining = false"},
      {"menuBarDisplayMode=Compact",
       [](const AppSettings& s) { return s.menuBarDisplayMode == MenuBarDisplayMode::compact; },
       "menuBarDisplayMode = compact"},
      {"menuBarDisplayMode=auto", [](const AppSettings& s) { return s.menuBarDisplayMode == MenuBarDisplayMode::auto_; },
       "menuBarDisplayMode = auto"},
      {"enabledProviders=claude, codex",
       [](const AppSettings& s) { return s.enabledProviders == std::set{Provider::codex, Provider::claude}; },
       "enabledProviders = codex,claude"},
      {"enabledProviders=none", [](const AppSettings& s) { return s.enabledProviders.empty(); },
       "enabledProviders = none"},
      {"notificationThresholds.fiveHourUsageAbove=85",
       [](const AppSettings& s) { return s.notificationThresholds.fiveHourUsageAbove == 85; },
       "notificationThresholds.fiveHourUsageAbove = 85"},
      {"retentionDays=90", [](const AppSettings& s) { return s.retentionDays == 90; }, "retentionDays = 90"},
      {"extraUsageBudgetGBP=12.5", [](const AppSettings& s) { return s.extraUsageBudgetGBP == 12.5; },
       "extraUsageBudgetGBP = 12.5"},
      {"notificationsSnoozedUntil=2030-01-02T09:00:00Z",
       [](const AppSettings& s) { return s.notificationsSnoozedUntil == parseISO8601("2030-01-02T09:00:00Z"); },
       "notificationsSnoozedUntil = 2030-01-02T09:00:00"},
      {"notificationsSnoozedUntil=none", [](const AppSettings& s) { return !s.notificationsSnoozedUntil; },
       "notificationsSnoozedUntil = none"},
      {"focusedWindow=sevenDay", [](const AppSettings& s) { return s.focusedWindow == WindowKind::sevenDay; },
       "focusedWindow = sevenDay"},
  };
  for (const Case& c : cases) {
    const Outcome o = set(c.assignment);
    EXPECT_EQ(o.status, 0) << c.assignment << ": " << o.err;
    EXPECT_TRUE(c.holds(saved())) << c.assignment;
    EXPECT_EQ(o.out.substr(0, c.echoed.size()), c.echoed) << c.assignment;
  }
}

TEST_F(SettingsCommandTest, OneSettingChangesAndTheOthersStay) {
  AppSettings before;
  before.retentionDays = 60;
  before.currencyGBP = false;
  before.previousClaudeStatusLineCommand = "~/bin/line.sh";
  ASSERT_TRUE(SettingsStore(file()).save(before));
  ASSERT_EQ(set("forecastBasis=last3h").status, 0);
  AppSettings expected = before;
  expected.forecastBasis = ForecastBasis::last3h;
  EXPECT_EQ(saved(), expected);
}

TEST_F(SettingsCommandTest, RefusedAssignmentsLeaveTheFileAndExitWithTwo) {
  ASSERT_TRUE(SettingsStore(file()).save(AppSettings{}));
  const std::string original = *readWholeFile(file());
  const std::vector<std::pair<std::string, std::string>> cases{
      {"colour=blue", "unknown setting 'colour'"},
      {"notificationsenabled=true", "did you mean 'notificationsEnabled'"},
      {"notificationsEnabled=maybe", "expects true or false"},
      {"menuBarDisplayMode=huge", "expects one of iconOnly, auto, compact"},
      {"enabledProviders=codex,gemini", "expects a comma list"},
      {"retentionDays=0", "expects a number from 1"},
      {"retentionDays=7.5", "whole number"},
      {"notificationThresholds.fiveHourUsageAbove=20", "from 50"},
      {"extraUsageBudgetGBP=nan", "expects a number"},
      {"notificationsSnoozedUntil=tomorrow", "ISO-8601"},
      {"claudeBridgeInstalled=true", "--install-claude-bridge"},
      {"startAtLogin=true", "settings screen"},
      {"notificationsEnabled", "KEY=VALUE"},
      {"=true", "KEY=VALUE"},
  };
  for (const auto& [assignment, message] : cases) {
    const Outcome o = set(assignment);
    EXPECT_EQ(o.status, 2) << assignment;
    EXPECT_NE(o.err.find(message), std::string::npos) << assignment << ": " << o.err;
    EXPECT_TRUE(o.out.empty()) << assignment;
  }
  EXPECT_EQ(*readWholeFile(file()), original);
}

TEST_F(SettingsCommandTest, AnUnwritableFileIsAFailure) {
  std::filesystem::create_directories(file());  // a directory where the file should be
  EXPECT_EQ(set("showRemaining=false").status, 1);
}

TEST_F(SettingsCommandTest, ListingShowsEverySettingWithValueAndDefault) {
  ASSERT_EQ(set("retentionDays=45").status, 0);
  std::ostringstream out;
  EXPECT_EQ(SettingsCommand::list(file(), out), 0);
  const std::string text = out.str();
  for (const char* key : {"enabledProviders", "forecastBasis", "menuBarDisplayMode", "notificationsEnabled",
                          "notificationThresholds.weeklyPaceAbovePoints", "notificationCooldownMinutes",
                          "notificationsSnoozedUntil", "extraUsageBudgetGBP", "startAtLogin", "demoMode",
                          "hasOnboarded", "showRemaining", "currencyGBP", "focusedProvider", "focusedWindow",
                          "focusAuto", "previousClaudeStatusLineCommand", "claudeBridgeInstalled"})
    EXPECT_NE(text.find(std::string("\n") + key + " "), std::string::npos) << key;
  const size_t row = text.find("\nretentionDays ");
  ASSERT_NE(row, std::string::npos);
  const std::string line = text.substr(row + 1, text.find('\n', row + 1) - row - 1);
  EXPECT_NE(line.find(" 45 "), std::string::npos) << line;
  EXPECT_NE(line.find(" 30 "), std::string::npos) << line;
  EXPECT_NE(line.find("1\u2013365"), std::string::npos) << line;
}

// A running copy watches settings.json: what `--set` writes is taken up and refreshed.
TEST_F(SettingsCommandTest, ARunningStateTakesUpTheChange) {
  ManualClock clock;
  ManualMainLoop loop{clock};
  AppStateOptions o;
  o.mainLoop = &loop;
  o.clock = &clock;
  o.supportDirectory = dir.path();
  o.startTimers = false;
  o.makeProvider = [](Provider, LiveSourceContext&) { return std::unique_ptr<UsageProvider>(); };
  auto state = AppState::create(std::move(o));
  ASSERT_TRUE(loop.runUntil([&] { return state->pendingRefreshes() == 0; }));
  ASSERT_FALSE(state->settings().notificationsEnabled);

  unsigned seen = 0;
  auto sub = state->subscribe([&](unsigned changes) { seen |= changes; });
  ASSERT_EQ(set("notificationsEnabled=true").status, 0);
  EXPECT_TRUE(loop.runUntil([&] { return state->settings().notificationsEnabled; }, 20));
  EXPECT_TRUE(seen & StateChange::settings);

  // A change of the running copy not saved yet stays, beside the one from outside.
  state->updateSettings([](AppSettings& s) { s.retentionDays = 20; });
  ASSERT_EQ(set("showRemaining=false").status, 0);
  EXPECT_TRUE(loop.runUntil([&] { return !state->settings().showRemaining; }, 20));
  EXPECT_EQ(state->settings().retentionDays, 20);
  EXPECT_TRUE(state->settings().notificationsEnabled);
  // Its save then holds both.
  state->flushSettingsSave();
  const AppSettings onDisk = saved();
  EXPECT_EQ(onDisk.retentionDays, 20);
  EXPECT_FALSE(onDisk.showRemaining);
}

TEST(MergeSettings, TakesUpOnlyWhatChangedOnDisk) {
  AppSettings base;
  base.notificationsSnoozedUntil = parseISO8601("2030-01-01T00:00:00Z");
  AppSettings live = base;
  live.retentionDays = 20;                                   // not saved yet
  live.notificationThresholds.fiveHourUsageAbove = 80;       // not saved yet
  AppSettings disk = base;
  disk.menuBarDisplayMode = MenuBarDisplayMode::compact;     // written by another process
  disk.notificationsSnoozedUntil.reset();                    // cleared by another process
  disk.notificationThresholds.weeklyPaceAbovePoints = 20;    // the record is one key: disk wins it

  AppSettings expected = live;
  expected.menuBarDisplayMode = MenuBarDisplayMode::compact;
  expected.notificationsSnoozedUntil.reset();
  expected.notificationThresholds = disk.notificationThresholds;
  EXPECT_EQ(mergeSettings(live, base, disk), expected);
  EXPECT_EQ(mergeSettings(live, base, base), live);
}

}  // namespace
}  // namespace qd
