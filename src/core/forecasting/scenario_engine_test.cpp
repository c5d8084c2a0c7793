#include "forecasting/scenario_engine.h"

#include <gtest/gtest.h>

#include "forecasting/scenario_multipliers.h"

namespace qd {
namespace {

const Timestamp kT0 = fromUnixSeconds(1'800'000'000);
const std::string kDefaults = "Estimate based on conservative default multipliers.";
const std::string kAssumedHigh = "Current effort unknown; assumed high.";

UsageSnapshot snapshotWith(std::optional<std::string> effort, std::optional<std::string> speed = std::nullopt,
                           std::optional<double> resetAfter = 10 * 3600.0) {
  UsageSnapshot s;
  s.timestamp = kT0;
  s.effortLevel = std::move(effort);
  s.speedMode = std::move(speed);
  if (resetAfter) s.resetAt = addSeconds(kT0, *resetAfter);
  return s;
}

struct Expected {
  std::string title;
  double projection;
  double saving;
};

void expectScenarios(const std::vector<ScenarioResult>& got, const std::vector<Expected>& want, const char* name) {
  ASSERT_EQ(got.size(), want.size()) << name;
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].title, want[i].title) << name;
    EXPECT_NEAR(*got[i].projectedUsedAtReset, want[i].projection, 1e-9) << name << " " << want[i].title;
    EXPECT_NEAR(*got[i].estimatedSavingPercent, want[i].saving, 1e-9) << name << " " << want[i].title;
  }
}

TEST(ScenarioTest, StepsAlongTheEffortLadder) {
  struct Case {
    const char* name;
    Provider provider;
    std::optional<std::string> effort;
    double used, future;
    std::vector<Expected> expected;
  };
  const Case cases[] = {
      {"claude at high", Provider::claude, "high", 40, 50,
       {{"Lower: medium", 77.5, 12.5}, {"Higher: xhigh", 105, -15}, {"Max: max", 120, -30}}},
      {"codex at high", Provider::codex, "high", 40, 50,
       {{"Lower: medium", 80, 10}, {"Higher: xhigh", 105, -15}, {"Fast Mode on", 140, -75}}},
      {"codex at low", Provider::codex, "low", 40, 50,
       {{"Higher: medium", 40 + 50 * 0.8 / 0.6, 50 * (1 - 0.8 / 0.6)},
        {"Fast Mode on", 140, -75},
        {"Max: xhigh", 140, 50 * (1 - 1.3 / 0.6)}}},
      {"codex at minimal: off the ladder", Provider::codex, "minimal", 40, 50, {{"Fast Mode on", 140, -75}}},
      {"claude at max: nothing above", Provider::claude, "max", 40, 50, {{"Lower: xhigh", 40 + 50 * 1.3 / 1.6, 50 * (1 - 1.3 / 1.6)}}},
      {"claude at xhigh: max is one step", Provider::claude, "xhigh", 40, 50,
       {{"Lower: high", 40 + 50 / 1.3, 50 * (1 - 1 / 1.3)}, {"Higher: max", 40 + 50 * 1.6 / 1.3, 50 * (1 - 1.6 / 1.3)}}},
      {"upper-case level", Provider::claude, "MEDIUM", 10, 20,
       {{"Lower: low", 10 + 20 * 0.55 / 0.75, 20 * (1 - 0.55 / 0.75)},
        {"Higher: high", 10 + 20 / 0.75, 20 * (1 - 1 / 0.75)},
        {"Max: max", 10 + 20 * 1.6 / 0.75, 20 * (1 - 1.6 / 0.75)}}},
      {"unknown level: no effort scenario", Provider::claude, "turbo", 40, 50, {}},
      {"projection clamped, saving not", Provider::codex, "high", 50, 200,
       {{"Lower: medium", 140, 40}, {"Higher: xhigh", 140, -60}, {"Fast Mode on", 140, -300}}},
      {"nothing left to use", Provider::codex, "medium", 40, 0,
       {{"Lower: low", 40, 0}, {"Higher: high", 40, 0}, {"Fast Mode on", 40, 0}, {"Max: xhigh", 40, 0}}},
  };
  for (const auto& c : cases)
    expectScenarios(ScenarioEngine::scenarios(c.provider, c.used, c.future, snapshotWith(c.effort),
                                              SourceConfidence::medium),
                    c.expected, c.name);
}

TEST(ScenarioTest, DescriptionsAndAssumptions) {
  const auto r = ScenarioEngine::scenarios(Provider::claude, 40, 50, snapshotWith("high"), SourceConfidence::high);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].description, "Lower to medium effort: ~78% used by reset");
  EXPECT_EQ(r[1].description, "Higher to xhigh effort: ~105% used by reset");
  EXPECT_EQ(r[2].description, "Max to max effort: ~120% used by reset");
  for (const auto& s : r) {
    EXPECT_EQ(s.assumptions, std::vector<std::string>{kDefaults}) << s.title;
    EXPECT_EQ(s.confidence, SourceConfidence::high);
    EXPECT_EQ(s.id(), s.title);
  }
}

TEST(ScenarioTest, UnknownEffortIsAssumedHigh) {
  const auto r = ScenarioEngine::scenarios(Provider::codex, 40, 50, snapshotWith(std::nullopt), SourceConfidence::low);
  expectScenarios(r, {{"Lower: medium", 80, 10}, {"Higher: xhigh", 105, -15}, {"Fast Mode on", 140, -75}},
                  "no effort");
  EXPECT_EQ(r[0].assumptions, (std::vector<std::string>{kDefaults, kAssumedHigh}));
  EXPECT_EQ(r[1].assumptions, (std::vector<std::string>{kDefaults, kAssumedHigh}));
  EXPECT_EQ(r[2].assumptions, std::vector<std::string>{"Assumes Fast Mode ~2.5\u00d7 the standard burn."});
}

TEST(ScenarioTest, FastMode) {
  struct Case {
    const char* name;
    std::optional<std::string> speed;
    const char* title;
    const char* description;
    double projection;
    double saving;
    const char* assumption;
  };
  const Case cases[] = {
      {"no speed", std::nullopt, "Fast Mode on", "Switching to Fast Mode: ~65% used by reset", 65, -15,
       "Assumes Fast Mode ~2.5\u00d7 the standard burn."},
      {"standard", "standard", "Fast Mode on", "Switching to Fast Mode: ~65% used by reset", 65, -15,
       "Assumes Fast Mode ~2.5\u00d7 the standard burn."},
      {"raw setting, not a key", "true", "Fast Mode on", "Switching to Fast Mode: ~65% used by reset", 65, -15,
       "Assumes Fast Mode ~2.5\u00d7 the standard burn."},
      {"fast 5.4", "fast-gpt-5.4", "Fast Mode off", "Turning Fast Mode off: ~45% used by reset", 45, 5,
       "Assumes Fast Mode ~2.0\u00d7 the standard burn."},
      {"fast 5.5, upper case", "FAST-GPT-5.5", "Fast Mode off", "Turning Fast Mode off: ~44% used by reset", 44, 6,
       "Assumes Fast Mode ~2.5\u00d7 the standard burn."},
  };
  for (const auto& c : cases) {
    const auto r =
        ScenarioEngine::scenarios(Provider::codex, 40, 10, snapshotWith("minimal", c.speed), SourceConfidence::low);
    ASSERT_EQ(r.size(), 1u) << c.name;
    EXPECT_EQ(r[0].title, c.title) << c.name;
    EXPECT_EQ(r[0].description, c.description) << c.name;
    EXPECT_NEAR(*r[0].projectedUsedAtReset, c.projection, 1e-9) << c.name;
    EXPECT_NEAR(*r[0].estimatedSavingPercent, c.saving, 1e-9) << c.name;
    EXPECT_EQ(r[0].assumptions, std::vector<std::string>{c.assumption}) << c.name;
  }
  // Claude has no fast mode.
  EXPECT_TRUE(ScenarioEngine::scenarios(Provider::claude, 40, 10, snapshotWith("turbo", "fast-gpt-5.5"),
                                        SourceConfidence::low)
                  .empty());
}

TEST(ScenarioTest, RunOutAlongTheLineToTheScenarioProjection) {
  // Claude at high, u 40, f 50, reset 10 h after the snapshot.
  const auto r = ScenarioEngine::scenarios(Provider::claude, 40, 50, snapshotWith("high"), SourceConfidence::low);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_FALSE(r[0].runOutAt);  // 77.5 stays under 100
  ASSERT_TRUE(r[1].runOutAt);   // 105: (100-40)/(105-40) of 10 h
  EXPECT_NEAR(secondsBetween(kT0, *r[1].runOutAt), 60.0 / 65 * 36000, 1e-3);
  ASSERT_TRUE(r[2].runOutAt);  // 120: 60/80 of 10 h
  EXPECT_NEAR(secondsBetween(kT0, *r[2].runOutAt), 0.75 * 36000, 1e-3);

  const auto noReset = ScenarioEngine::scenarios(Provider::claude, 40, 50, snapshotWith("high", std::nullopt, std::nullopt),
                                                 SourceConfidence::low);
  for (const auto& s : noReset) EXPECT_FALSE(s.runOutAt) << s.title;
  // Already at the limit: no run-out time.
  const auto full = ScenarioEngine::scenarios(Provider::claude, 100, 20, snapshotWith("high"), SourceConfidence::low);
  for (const auto& s : full) EXPECT_FALSE(s.runOutAt) << s.title;
}

TEST(ScenarioMultipliersTest, Tables) {
  namespace M = ScenarioMultipliers;
  EXPECT_EQ(M::lookup(M::claudeEffort(), "max"), 1.6);
  EXPECT_EQ(M::lookup(M::codexEffort(), "minimal"), 0.45);
  EXPECT_EQ(M::lookup(M::codexSpeed(), "fast-gpt-5.5"), 2.5);
  EXPECT_EQ(M::lookup(M::codexSpeed(), "Standard"), std::nullopt);
  EXPECT_EQ(M::codexLadder(), (std::vector<std::string>{"low", "medium", "high", "xhigh"}));
  EXPECT_EQ(M::claudeLadder().back(), "max");
}

}  // namespace
}  // namespace qd
