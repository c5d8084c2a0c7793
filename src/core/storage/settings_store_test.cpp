#include "storage/settings_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "storage/atomic_file.h"
#include "testing/temp_dir.h"
#include "utilities/app_logger.h"

namespace qd {
namespace {

AppSettings decoded(const std::string& json) {
  auto s = decodeSettings(json);
  EXPECT_TRUE(s) << json;
  return s.value_or(AppSettings{});
}

TEST(SettingsDecodeTest, EachBadKeyFallsBackOnItsOwn) {
  struct Case {
    const char* json;
    std::function<bool(const AppSettings&)> holds;
  };
  const AppSettings d;
  const Case cases[] = {
      {"{}", [&](const AppSettings& s) { return s == d; }},
      {R"({"showRemaining":false})",
       [&](const AppSettings& s) {
         AppSettings e;
         e.showRemaining = false;
         return s == e;
       }},
      {R"({"notificationThresholds":{"fiveHourUsageAbove":1,"fiveHourForecastAbove":2,"timeToLimitUnderMinutes":3,"weeklyProjectedAbove":4,"weeklyPaceAbovePoints":"5"}})",
       [&](const AppSettings& s) { return s.notificationThresholds == NotificationThresholds{}; }},
      {R"({"notificationThresholds":{"fiveHourUsageAbove":1,"fiveHourForecastAbove":2,"timeToLimitUnderMinutes":3,"weeklyProjectedAbove":4,"weeklyPaceAbovePoints":5}})",
       [&](const AppSettings& s) { return s.notificationThresholds == NotificationThresholds{1, 2, 3, 4, 5}; }},
      {R"({"forecastBasis":"last2h","menuBarDisplayMode":"huge","focusedProvider":"gemini","retentionDays":7})",
       [&](const AppSettings& s) {
         return s.forecastBasis == ForecastBasis::last1h && s.menuBarDisplayMode == MenuBarDisplayMode::iconOnly &&
                s.focusedProvider == Provider::claude && s.retentionDays == 7;
       }},
      {R"({"notificationsEnabled":null,"showRemaining":null,"currencyGBP":null,"focusAuto":null})",
       [&](const AppSettings& s) { return !s.notificationsEnabled && s.showRemaining && s.currencyGBP && s.focusAuto; }},
      {R"({"enabledProviders":[]})", [&](const AppSettings& s) { return s.enabledProviders.empty(); }},
      {R"({"enabledProviders":["claude","claude"]})",
       [&](const AppSettings& s) { return s.enabledProviders == std::set<Provider>{Provider::claude}; }},
      {R"({"enabledProviders":["claude","gemini"],"demoMode":true})",
       [&](const AppSettings& s) { return s.enabledProviders == d.enabledProviders && s.demoMode; }},
      {R"({"enabledProviders":"codex","startAtLogin":"yes","hasOnboarded":1})",
       [&](const AppSettings& s) { return s == d; }},
      {R"({"menuBarDisplayMode":"auto","focusedWindow":"sevenDay","focusAuto":false})",
       [&](const AppSettings& s) {
         return s.menuBarDisplayMode == MenuBarDisplayMode::auto_ && s.focusedWindow == WindowKind::sevenDay &&
                !s.focusAuto;
       }},
      {R"({"retentionDays":7.5})", [&](const AppSettings& s) { return s.retentionDays == 30; }},
      {R"({"retentionDays":0})", [&](const AppSettings& s) { return s.retentionDays == 30; }},
      {R"({"retentionDays":-3})", [&](const AppSettings& s) { return s.retentionDays == 30; }},
      {R"({"retentionDays":1e300})", [&](const AppSettings& s) { return s.retentionDays == 30; }},
      {R"({"notificationsSnoozedUntil":0,"previousClaudeStatusLineCommand":"~/bin/status.sh"})",
       [&](const AppSettings& s) {
         return s.notificationsSnoozedUntil == parseISO8601("2001-01-01T00:00:00Z") &&
                s.previousClaudeStatusLineCommand == "~/bin/status.sh";
       }},
      {R"({"notificationsSnoozedUntil":"tomorrow","previousClaudeStatusLineCommand":7})",
       [&](const AppSettings& s) { return !s.notificationsSnoozedUntil && !s.previousClaudeStatusLineCommand; }},
  };
  for (const auto& c : cases) EXPECT_TRUE(c.holds(decoded(c.json))) << c.json;
}

TEST(SettingsDecodeTest, NotAnObjectIsAFailure) {
  for (const char* text : {"", "[]", "null", "42", "{\"a\":", "{} {}", "\xff"}) EXPECT_FALSE(decodeSettings(text)) << text;
}

TEST(SettingsEncodeTest, DefaultsGiveSeventeenSortedKeys) {
  const std::string text = *encodeSettings(AppSettings{});
  const auto j = nlohmann::ordered_json::parse(text);
  std::vector<std::string> keys;
  for (const auto& [k, v] : j.items()) keys.push_back(k);
  EXPECT_EQ(keys.size(), 17u);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_EQ(j["enabledProviders"], nlohmann::ordered_json::parse(R"(["codex","claude"])"));
  EXPECT_NE(text.find("\n  "), std::string::npos);  // pretty-printed
}

TEST(SettingsEncodeTest, RoundTripKeepsEveryField) {
  AppSettings s;
  s.enabledProviders = {Provider::claude};
  s.forecastBasis = ForecastBasis::smart;
  s.menuBarDisplayMode = MenuBarDisplayMode::minimal;
  s.notificationsEnabled = true;
  s.notificationThresholds = {71.5, 91, 45, 99, 12.25};
  s.notificationCooldownMinutes = 5;
  s.notificationsSnoozedUntil = parseISO8601("2026-12-07T04:59:59.123456Z");
  s.extraUsageBudgetGBP = 12.5;
  s.startAtLogin = true;
  s.retentionDays = 90;
  s.demoMode = true;
  s.hasOnboarded = true;
  s.showRemaining = false;
  s.currencyGBP = false;
  s.focusedProvider = Provider::codex;
  s.focusedWindow = WindowKind::weekly;
  s.focusAuto = false;
  s.previousClaudeStatusLineCommand = "bash -c 'echo \"hi\" / there'";
  s.claudeBridgeInstalled = true;
  EXPECT_EQ(decodeSettings(*encodeSettings(s)), s);
  // Seconds since 2001 on disk: 2026-12-07T04:59:59.123456Z is 818312399.123456.
  const auto j = nlohmann::json::parse(*encodeSettings(s));
  EXPECT_NEAR(j["notificationsSnoozedUntil"].get<double>(), 818312399.123456, 1e-6);
}

TEST(SettingsStoreTest, LoadIsForgivingAndSaveIsAtomic) {
  testing::TempDir dir;
  AppLogger::shared().setFileURL(dir / "app.log");
  SettingsStore store(dir / "settings.json");
  EXPECT_EQ(store.load(), AppSettings{});  // missing file, no log line
  AppLogger::shared().flush();
  EXPECT_FALSE(std::filesystem::exists(dir / "app.log"));

  ASSERT_TRUE(writeFileAtomically(dir / "settings.json", "{ not json"));
  EXPECT_EQ(store.load(), AppSettings{});
  AppLogger::shared().flush();
  const std::string log = readWholeFile(dir / "app.log").value_or("");
  EXPECT_NE(log.find("] WARN Settings decode failed; using defaults\n"), std::string::npos) << log;

  AppSettings s;
  s.retentionDays = 9;
  ASSERT_TRUE(store.save(s));
  EXPECT_EQ(store.load(), s);
  EXPECT_FALSE(SettingsStore(dir / "missing-dir" / "x" / "settings.json").load().demoMode);
}

TEST(SettingsStoreTest, SaveWritesThroughALinkAndRefusesAReadOnlyFile) {
  testing::TempDir dir;
  AppLogger::shared().setFileURL(dir / "app.log");
  std::filesystem::create_directories(dir / "dotfiles");
  std::filesystem::create_symlink(dir / "dotfiles" / "quotadial.json", dir / "settings.json");
  SettingsStore store(dir / "settings.json");
  AppSettings s;
  s.retentionDays = 12;
  ASSERT_TRUE(store.save(s));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "settings.json"));
  EXPECT_EQ(SettingsStore(dir / "dotfiles" / "quotadial.json").load(), s);

  ::chmod((dir / "dotfiles" / "quotadial.json").c_str(), 0444);
  s.retentionDays = 13;
  EXPECT_FALSE(store.save(s));
  EXPECT_EQ(store.load().retentionDays, 12);
  AppLogger::shared().flush();
  EXPECT_NE(readWholeFile(dir / "app.log").value_or("").find("ERROR Settings save failed: settings.json is read-only"),
            std::string::npos);
}

}  // namespace
}  // namespace qd
