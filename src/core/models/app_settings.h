#pragma once
#include <array>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "models/enum_cases.h"
#include "models/forecast_basis.h"
#include "models/provider.h"
#include "models/timestamp.h"
#include "models/window_kind.h"

namespace qd {

// What the menu-bar title shows; declaration order is the order of the choices.
enum class MenuBarDisplayMode { iconOnly, auto_, compact, forecast, providerFocus, minimal };

template <>
struct EnumCases<MenuBarDisplayMode> {
  static constexpr std::array<MenuBarDisplayMode, 6> all{
      MenuBarDisplayMode::iconOnly, MenuBarDisplayMode::auto_,         MenuBarDisplayMode::compact,
      MenuBarDisplayMode::forecast, MenuBarDisplayMode::providerFocus, MenuBarDisplayMode::minimal};
};

// "iconOnly", "auto", "compact", ... (`auto_` is spelt without the underscore).
[[nodiscard]] std::string_view rawValue(MenuBarDisplayMode m);
[[nodiscard]] std::string_view label(MenuBarDisplayMode m);     // "Icon only", "Auto", "Both providers", ...
[[nodiscard]] std::string_view helpText(MenuBarDisplayMode m);  // the line under the picker

// The caption always shown under the display-mode picker.
inline constexpr std::string_view kMenuBarDisplayModeCaption =
    "Icon only stays visible on a crowded or notched menu bar.";

// Alert thresholds, in percent, minutes and percentage points.
struct NotificationThresholds {
  double fiveHourUsageAbove = 70;
  double fiveHourForecastAbove = 90;
  double timeToLimitUnderMinutes = 60;
  double weeklyProjectedAbove = 100;
  double weeklyPaceAbovePoints = 10;

  bool operator==(const NotificationThresholds&) const = default;
};

// The values the settings screen's steppers and `quotadial --set` accept.
struct SettingRange {
  double lo;
  double hi;
  [[nodiscard]] constexpr bool contains(double v) const { return v >= lo && v <= hi; }
};
namespace SettingLimits {
inline constexpr SettingRange fiveHourUsageAbove{50, 100};
inline constexpr SettingRange fiveHourForecastAbove{50, 140};
inline constexpr SettingRange timeToLimitUnderMinutes{10, 120};
inline constexpr SettingRange weeklyProjectedAbove{50, 140};
inline constexpr SettingRange weeklyPaceAbovePoints{0, 100};
inline constexpr SettingRange notificationCooldownMinutes{1, 1440};
inline constexpr SettingRange extraUsageBudgetGBP{0, 1000};
inline constexpr SettingRange retentionDays{1, 365};
}  // namespace SettingLimits

// The user's preferences. A default-constructed value is the default settings.
struct AppSettings {
  std::set<Provider> enabledProviders{Provider::codex, Provider::claude};
  ForecastBasis forecastBasis = ForecastBasis::last1h;
  MenuBarDisplayMode menuBarDisplayMode = MenuBarDisplayMode::iconOnly;
  bool notificationsEnabled = false;
  NotificationThresholds notificationThresholds{};
  double notificationCooldownMinutes = 30;
  std::optional<Timestamp> notificationsSnoozedUntil;
  double extraUsageBudgetGBP = 0;  // 0 = no budget
  bool startAtLogin = false;
  int retentionDays = 30;
  bool demoMode = false;
  bool hasOnboarded = false;
  bool showRemaining = true;
  bool currencyGBP = true;
  Provider focusedProvider = Provider::claude;
  WindowKind focusedWindow = WindowKind::fiveHour;
  bool focusAuto = true;
  std::optional<std::string> previousClaudeStatusLineCommand;
  bool claudeBridgeInstalled = false;

  bool operator==(const AppSettings&) const = default;

  [[nodiscard]] static AppSettings defaults() { return AppSettings{}; }
};

}  // namespace qd
