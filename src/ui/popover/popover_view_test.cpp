#include "popover/popover_view.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPushButton>

#include "cards/forecast_card.h"
#include "settings/settings_view.h"
#include "testing/ui_test_support.h"

namespace qd {
namespace {

using namespace testing;

TEST(PopoverScreens, FirstLaunchShowsTheWelcomeUntilDone) {
  UiFixture f(std::vector<std::string>{});
  PopoverView view(f.ctx);
  EXPECT_EQ(view.screen(), PopoverView::Screen::welcome);
  EXPECT_TRUE(containsText(&view, "Welcome to Quotadial"));
  EXPECT_TRUE(containsText(&view, "Codex connects automatically."));
  auto* done = findButton<QPushButton>(&view, "Done");
  ASSERT_NE(done, nullptr);
  done->click();
  waitUntil([&] { return view.screen() == PopoverView::Screen::main; });
  EXPECT_TRUE(f.state->settings().hasOnboarded);
}

TEST(PopoverScreens, StartSettingsOpensOnTheSettingsScreenAndBackReturns) {
  UiFixture f;
  f.ctx.startSettings = true;
  PopoverView view(f.ctx);
  EXPECT_EQ(view.screen(), PopoverView::Screen::settings);
  for (const char* section : {"PROVIDERS", "FORECAST", "MENU BAR", "NOTIFICATIONS", "CLAUDE BRIDGE", "CODEX",
                              "MORE PROVIDERS", "DATA", "DIAGNOSTICS"})
    EXPECT_TRUE(containsText(&view, section)) << section;
  view.setShowSettings(false);
  EXPECT_EQ(view.screen(), PopoverView::Screen::main);
}

TEST(PopoverScreens, DemoMainScreenHasEveryCardAndTheFooter) {
  UiFixture f;
  PopoverView view(f.ctx);
  view.rebuild();
  EXPECT_EQ(view.screen(), PopoverView::Screen::main);
  for (const char* text : {"Quotadial", "AI coding range meter", "Codex", "Claude Code", "Demo data", "Quit"})
    EXPECT_TRUE(containsText(&view, text)) << text;
  EXPECT_TRUE(containsTextStartingWith(&view, "Updated "));
  EXPECT_TRUE(containsTextStartingWith(&view, "What-ifs · "));
  EXPECT_FALSE(containsText(&view, "Check for updates"));
  EXPECT_FALSE(containsText(&view, "Nothing connected yet"));
}

TEST(PopoverScreens, CaptureHidesTheDemoBadge) {
  UiFixture f;
  f.ctx.capture = true;
  PopoverView view(f.ctx);
  EXPECT_FALSE(containsText(&view, "Demo data"));
}

TEST(PopoverScreens, NoUpdatedTextBeforeTheFirstRefresh) {
  UiFixture f(std::vector<std::string>{}, false, [](AppStateOptions& o) {
    // Onboarded, live mode, nothing stored.
    o.arguments = {};
  });
  f.state->updateSettings([](AppSettings& s) { s.hasOnboarded = true; });
  PopoverView view(f.ctx);
  EXPECT_FALSE(containsTextStartingWith(&view, "Updated "));
  f.settle();
  view.rebuild();
  EXPECT_TRUE(containsTextStartingWith(&view, "Updated "));
}

TEST(EmptyState, TextDependsOnCodexBeingInstalled) {
  for (bool found : {true, false}) {
    UiFixture f(std::vector<std::string>{});
    f.state->updateSettings([](AppSettings& s) {
      s.hasOnboarded = true;
      s.enabledProviders = {Provider::codex};
    });
    f.codexFound = found;
    f.settle();
    PopoverView view(f.ctx);
    EXPECT_TRUE(containsText(&view, found ? "Connecting to Codex…" : "Nothing connected yet")) << found;
  }
}

TEST(EmptyState, DemoModeButtonFillsTheScreen) {
  UiFixture f(std::vector<std::string>{});
  f.state->updateSettings([](AppSettings& s) {
    s.hasOnboarded = true;
    s.enabledProviders = {Provider::codex};
  });
  f.settle();
  PopoverView view(f.ctx);
  auto* demo = findButton<QPushButton>(&view, "Demo mode");
  ASSERT_NE(demo, nullptr);
  demo->click();
  ASSERT_TRUE(waitUntil([&] { return !f.state->workingSnapshots().empty(); }));
  f.settle();
  view.rebuild();
  EXPECT_TRUE(containsText(&view, "Demo data"));
  EXPECT_FALSE(containsText(&view, "Nothing connected yet"));
}

TEST(ForecastCardView, TabsOnlyWithTwoProvidersAndTheBasisSelector) {
  UiFixture f;
  ForecastCard card(f.ctx);
  card.refresh();
  int tabs = 0;
  for (QToolButton* b : card.findChildren<QToolButton*>())
    if (b->property("providerTab").toBool() && b->isVisibleTo(&card)) ++tabs;
  EXPECT_EQ(tabs, 2);
  for (const char* seg : {"30m", "1h", "3h", "6h", "24h", "Start", "Smart"}) EXPECT_TRUE(containsText(&card, seg)) << seg;

  f.state->toggleProvider(Provider::claude, false);
  f.settle();
  card.refresh();
  tabs = 0;
  for (QToolButton* b : card.findChildren<QToolButton*>())
    if (b->property("providerTab").toBool() && b->isVisibleTo(&card)) ++tabs;
  EXPECT_EQ(tabs, 0);
}

TEST(ForecastCardView, ChoosingABasisSegmentSetsTheBasis) {
  UiFixture f;
  ForecastCard card(f.ctx);
  card.refresh();
  auto* smart = findButton<QToolButton>(&card, "Smart");
  ASSERT_NE(smart, nullptr);
  smart->click();
  EXPECT_EQ(f.state->settings().forecastBasis, ForecastBasis::smart);
}

TEST(SettingsScreen, OverageStepperAndThresholdBounds) {
  UiFixture f;
  f.state->updateSettings([](AppSettings& s) { s.notificationsEnabled = true; });
  SettingsView view(f.ctx, [] {});
  view.rebuild();
  EXPECT_TRUE(containsText(&view, "Overage budget: off"));
  Stepper* overage = nullptr;
  for (Stepper* candidate : view.findChildren<Stepper*>())
    if (candidate->property("overage").toBool()) overage = candidate;
  ASSERT_NE(overage, nullptr);
  overage->stepBy(-1);
  EXPECT_DOUBLE_EQ(f.state->settings().extraUsageBudgetGBP, 0);
  overage->stepBy(1);
  EXPECT_TRUE(waitUntil([&] { return containsText(&view, "Overage budget: £5"); }));
  EXPECT_DOUBLE_EQ(f.state->settings().extraUsageBudgetGBP, 5);

  struct Bound { const char* label; double hi; };
  for (const Bound b : {Bound{"5h usage above", 100}, Bound{"5h forecast above", 140},
                        Bound{"Time to limit under (min)", 120}}) {
    view.rebuild();
    Stepper* s = nullptr;
    for (Stepper* candidate : view.findChildren<Stepper*>())
      if (candidate->property("threshold").toString() == b.label && candidate->isVisibleTo(&view)) s = candidate;
    ASSERT_NE(s, nullptr) << b.label;
    s->stepBy(1000);
    EXPECT_DOUBLE_EQ(s->value(), b.hi) << b.label;
  }
  EXPECT_DOUBLE_EQ(f.state->settings().notificationThresholds.fiveHourUsageAbove, 100);
  EXPECT_DOUBLE_EQ(f.state->settings().notificationThresholds.timeToLimitUnderMinutes, 120);
}

TEST(SettingsScreen, PastSnoozeShowsTheSnoozeMenu) {
  UiFixture f;
  f.state->updateSettings([](AppSettings& s) {
    s.notificationsEnabled = true;
    s.notificationsSnoozedUntil = fromUnixSeconds(1'000'000'000);
  });
  SettingsView view(f.ctx, [] {});
  view.rebuild();
  EXPECT_TRUE(containsText(&view, "Snooze alerts"));
  EXPECT_FALSE(containsTextStartingWith(&view, "Snoozed until "));
  f.state->updateSettings([&](AppSettings& s) { s.notificationsSnoozedUntil = addSeconds(f.state->clock().now(), 3600); });
  view.rebuild();
  EXPECT_TRUE(containsTextStartingWith(&view, "Snoozed until "));
  EXPECT_TRUE(containsText(&view, "Resume"));
  EXPECT_FALSE(containsText(&view, "Snooze alerts"));
}

TEST(SettingsScreen, RefusedLoginItemLeavesTheSwitchOff) {
  UiFixture f;
  class RefusingDesktop final : public DesktopServices {
   public:
    bool revealFile(const std::filesystem::path&) override { return false; }
    bool copyToClipboard(const std::string&) override { return false; }
    [[nodiscard]] bool loginItemEnabled() const override { return false; }
    bool setLoginItemEnabled(bool) override { return false; }
  } refusing;
  f.ctx.desktop = &refusing;
  SettingsView view(f.ctx, [] {});
  view.rebuild();
  auto* box = findSwitch(&view, "Start at login");
  ASSERT_NE(box, nullptr);
  box->click();
  EXPECT_FALSE(f.state->settings().startAtLogin);
  waitUntil([] { return false; }, 30);
  box = findSwitch(&view, "Start at login");
  ASSERT_NE(box, nullptr);
  EXPECT_FALSE(box->isChecked());
}

TEST(SettingsScreen, DiagnosticsCopiesTheRedactedText) {
  UiFixture f;
  SettingsView view(f.ctx, [] {});
  view.rebuild();
  EXPECT_TRUE(containsTextStartingWith(&view, "Last update: "));
  auto* copy = findButton<QPushButton>(&view, "Copy redacted diagnostics");
  ASSERT_NE(copy, nullptr);
  EXPECT_FALSE(containsText(&view, "Copied to the clipboard."));
  copy->click();
  EXPECT_EQ(f.desktop.clipboard, f.state->diagnosticsText());
  EXPECT_FALSE(f.desktop.clipboard.empty());
  EXPECT_TRUE(containsText(&view, "Copied to the clipboard."));
}

}  // namespace
}  // namespace qd
