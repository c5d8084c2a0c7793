#include "app/menu_bar_title_builder.h"

#include <gtest/gtest.h>

#include <cmath>

namespace qd {
namespace {

using Mode = MenuBarDisplayMode;

ForecastResult make(Provider p, WindowKind w, double used, ForecastStatus status,
                    std::optional<double> timeToLimit = std::nullopt) {
  ForecastResult f;
  f.provider = p;
  f.windowKind = w;
  f.currentUsedPercent = used;
  f.currentRemainingPercent = 100 - used;
  f.status = status;
  f.estimatedTimeToLimit = timeToLimit;
  return f;
}

MenuBarTitleBuilder::Inputs inputs(Mode mode, std::vector<ForecastResult> forecasts, bool showRemaining = false,
                                   std::vector<Provider> enabled = {Provider::codex, Provider::claude}) {
  MenuBarTitleBuilder::Inputs in;
  in.mode = mode;
  in.showRemaining = showRemaining;
  in.sortedEnabledProviders = std::move(enabled);
  for (auto& f : forecasts) in.forecasts[f.id()] = f;
  return in;
}

const auto kCodexSafe = make(Provider::codex, WindowKind::fiveHour, 28, ForecastStatus::safe);
const auto kClaudeSafe = make(Provider::claude, WindowKind::fiveHour, 42, ForecastStatus::safe);
const auto kCodexWeek = make(Provider::codex, WindowKind::sevenDay, 61, ForecastStatus::safe);

TEST(MenuBarTitle, EveryModeWithTwoQuietProviders) {
  const std::vector<ForecastResult> both{kCodexSafe, kClaudeSafe, kCodexWeek};
  struct Case {
    Mode mode;
    bool showRemaining;
    std::string expected;
  };
  const Case cases[] = {
      {Mode::iconOnly, false, ""},
      {Mode::compact, false, "AI  C 28% \u00b7 Cl 42%"},
      {Mode::compact, true, "AI  C 72% \u00b7 Cl 58%"},
      {Mode::minimal, false, "AI 28/42"},
      {Mode::forecast, false, "AI  Safe"},
      {Mode::auto_, false, "AI  C 28% \u00b7 Cl 42%"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MenuBarTitleBuilder::title(inputs(c.mode, both, c.showRemaining)), c.expected)
        << rawValue(c.mode);

  auto focus = inputs(Mode::providerFocus, both);
  focus.focusedProvider = Provider::codex;
  EXPECT_EQ(MenuBarTitleBuilder::title(focus), "Codex 28% \u00b7 7d 61%");
  focus.focusedProvider = Provider::claude;
  EXPECT_EQ(MenuBarTitleBuilder::title(focus), "Claude Code 42%");
}

TEST(MenuBarTitle, NoFiveHourForecastGivesTheDashInEveryModeButIconOnly) {
  for (Mode mode : allCases<Mode>()) {
    const std::string t = MenuBarTitleBuilder::title(inputs(mode, {kCodexWeek}));
    EXPECT_EQ(t, mode == Mode::iconOnly ? "" : "AI \u2014") << rawValue(mode);
  }
}

TEST(MenuBarTitle, AutoWithOneCandidateFocusesIt) {
  auto claudeWeek = make(Provider::claude, WindowKind::weekly, 10, ForecastStatus::safe);
  EXPECT_EQ(MenuBarTitleBuilder::title(inputs(Mode::auto_, {kClaudeSafe, claudeWeek})),
            "Claude Code 42% \u00b7 Weekly 10%");
}

TEST(MenuBarTitle, AutoUnderStrainShowsTheWorstCountdown) {
  auto codexRisky = make(Provider::codex, WindowKind::fiveHour, 70, ForecastStatus::risky);
  auto claudeLikely = make(Provider::claude, WindowKind::fiveHour, 80, ForecastStatus::limitLikely, 48 * 60);
  EXPECT_EQ(MenuBarTitleBuilder::title(inputs(Mode::auto_, {codexRisky, claudeLikely})), "AI  48m left");
  claudeLikely.estimatedTimeToLimit.reset();
  EXPECT_EQ(MenuBarTitleBuilder::title(inputs(Mode::forecast, {codexRisky, claudeLikely})), "AI  Limit likely");
  auto codexWatch = make(Provider::codex, WindowKind::fiveHour, 70, ForecastStatus::watch);
  auto claudeWatch = make(Provider::claude, WindowKind::fiveHour, 80, ForecastStatus::watch);
  EXPECT_EQ(MenuBarTitleBuilder::title(inputs(Mode::forecast, {codexWatch, claudeWatch})), "AI  Watch");
}

TEST(MenuBarTitle, OverusedAndOddValues) {
  auto over = make(Provider::codex, WindowKind::fiveHour, 104, ForecastStatus::limited);
  EXPECT_EQ(MenuBarTitleBuilder::title(inputs(Mode::compact, {over}, false, {Provider::codex})), "AI  C 104%");
  EXPECT_EQ(MenuBarTitleBuilder::title(inputs(Mode::compact, {over}, true, {Provider::codex})), "AI  C 0%");
  auto nan = make(Provider::codex, WindowKind::fiveHour, NAN, ForecastStatus::safe);
  EXPECT_EQ(MenuBarTitleBuilder::title(inputs(Mode::minimal, {nan}, false, {Provider::codex})), "AI 0");
  auto inf = make(Provider::codex, WindowKind::fiveHour, INFINITY, ForecastStatus::safe);
  EXPECT_EQ(MenuBarTitleBuilder::title(inputs(Mode::minimal, {inf}, false, {Provider::codex})), "AI \u2014");
}

TEST(MenuBarTitle, FocusFallsBackWhenTheFocusedProviderHasNoFiveHourForecast) {
  auto in = inputs(Mode::providerFocus, {kCodexSafe});
  in.focusedProvider = Provider::claude;
  EXPECT_EQ(MenuBarTitleBuilder::title(in), "Codex 28%");
  // A disabled provider's forecast is not a candidate.
  EXPECT_EQ(MenuBarTitleBuilder::title(inputs(Mode::compact, {kCodexSafe, kClaudeSafe}, false, {Provider::claude})),
            "AI  Cl 42%");
}

}  // namespace
}  // namespace qd
