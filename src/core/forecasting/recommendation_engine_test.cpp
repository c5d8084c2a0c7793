#include "forecasting/recommendation_engine.h"

#include <gtest/gtest.h>

namespace qd {
namespace {

using Input = RecommendationEngine::Input;

ForecastResult fiveHour(Provider p, ForecastStatus status, double remaining,
                        std::optional<double> timeToLimit = std::nullopt,
                        std::optional<double> untilReset = std::nullopt) {
  ForecastResult f;
  f.provider = p;
  f.windowKind = WindowKind::fiveHour;
  f.status = status;
  f.currentRemainingPercent = remaining;
  f.currentUsedPercent = 100 - remaining;
  f.estimatedTimeToLimit = timeToLimit;
  f.timeUntilReset = untilReset;
  return f;
}

ForecastResult weekly(Provider p, ForecastStatus status, std::optional<double> remainingAtReset) {
  ForecastResult f;
  f.provider = p;
  f.windowKind = WindowKind::sevenDay;
  f.status = status;
  f.projectedRemainingAtReset = remainingAtReset;
  return f;
}

Input in(Provider p, std::optional<ForecastResult> five, std::optional<ForecastResult> longWindow = std::nullopt) {
  Input i;
  i.provider = p;
  i.fiveHour = std::move(five);
  i.longWindow = std::move(longWindow);
  return i;
}

struct Advice {
  Provider provider;
  ForecastStatus status;
  std::string message;
};

void expectAdvice(const std::vector<Input>& inputs, const std::vector<Advice>& want, const char* name) {
  const auto got = RecommendationEngine::recommendations(inputs);
  ASSERT_EQ(got.size(), want.size()) << name;
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].provider, want[i].provider) << name << " #" << i;
    EXPECT_EQ(got[i].status, want[i].status) << name << " #" << i;
    EXPECT_EQ(got[i].message, want[i].message) << name << " #" << i;
  }
}

TEST(RecommendationTest, WeeklyAdvice) {
  struct Case {
    ForecastStatus status;
    std::optional<double> remaining;
    std::vector<Advice> advice;
  };
  const auto C = Provider::claude;
  const Case cases[] = {
      {ForecastStatus::safe, 62, {{C, ForecastStatus::safe,
                                   "Claude Code is on track: about 62% of your weekly left by reset (est.)."}}},
      {ForecastStatus::watch, 4.6, {{C, ForecastStatus::watch,
                                     "Claude Code weekly is getting tight, ~5% left by reset. Ease off for routine work."}}},
      {ForecastStatus::risky, 0, {{C, ForecastStatus::risky,
                                   "Claude Code weekly will run out before reset at this pace. Lower effort or slow down."}}},
      {ForecastStatus::limitLikely, 0, {{C, ForecastStatus::risky,
                                         "Claude Code weekly will run out before reset at this pace. Lower effort or slow down."}}},
      {ForecastStatus::limited, 0, {{C, ForecastStatus::risky,
                                     "Claude Code weekly will run out before reset at this pace. Lower effort or slow down."}}},
      {ForecastStatus::noData, 50, {}},
      {ForecastStatus::unknown, 50, {}},
      {ForecastStatus::risky, std::nullopt, {}},
  };
  for (const auto& c : cases)
    expectAdvice({in(C, std::nullopt, weekly(C, c.status, c.remaining))}, c.advice, rawValue(c.status).data());
}

TEST(RecommendationTest, FiveHourAdvice) {
  struct Case {
    ForecastResult forecast;
    std::vector<Advice> advice;
  };
  const auto X = Provider::codex;
  const Case cases[] = {
      {fiveHour(X, ForecastStatus::noData, 50), {}},
      {fiveHour(X, ForecastStatus::safe, 50), {}},
      {fiveHour(X, ForecastStatus::unknown, 50), {}},
      {fiveHour(X, ForecastStatus::watch, 15),
       {{X, ForecastStatus::watch, "Codex is near its 5h cap. Lower effort for routine edits."}}},
      {fiveHour(X, ForecastStatus::risky, 15),
       {{X, ForecastStatus::risky, "Codex 5h is risky. Lower effort or switch provider for routine edits."}}},
      {fiveHour(X, ForecastStatus::limitLikely, 5, 45 * 60),
       {{X, ForecastStatus::limitLikely, "Codex may hit the 5h limit in ~45m. Save it for complex work."}}},
      {fiveHour(X, ForecastStatus::limitLikely, 5),
       {{X, ForecastStatus::limitLikely, "Codex may hit the 5h limit in ~\u2014. Save it for complex work."}}},
      {fiveHour(X, ForecastStatus::limited, 0, 0, 90 * 60),
       {{X, ForecastStatus::limited, "Codex hit the 5h limit. Resets in 1h 30m."}}},
      {fiveHour(X, ForecastStatus::limited, 0, 0, -60),
       {{X, ForecastStatus::limited, "Codex hit the 5h limit. Resets now."}}},
  };
  for (const auto& c : cases)
    expectAdvice({in(X, c.forecast, std::nullopt)}, c.advice, rawValue(c.forecast.status).data());
}

TEST(RecommendationTest, WeeklyBeforeFiveHourInInputOrder) {
  const auto X = Provider::codex, C = Provider::claude;
  expectAdvice({in(X, fiveHour(X, ForecastStatus::watch, 20), weekly(X, ForecastStatus::safe, 62))},
               {{X, ForecastStatus::safe, "Codex is on track: about 62% of your weekly left by reset (est.)."},
                {X, ForecastStatus::watch, "Codex is near its 5h cap. Lower effort for routine edits."}},
               "one provider");
  expectAdvice({in(X, fiveHour(X, ForecastStatus::watch, 40), std::nullopt),
                in(C, fiveHour(C, ForecastStatus::watch, 45), weekly(C, ForecastStatus::safe, 10))},
               {{X, ForecastStatus::watch, "Codex is near its 5h cap. Lower effort for routine edits."},
                {C, ForecastStatus::safe, "Claude Code is on track: about 10% of your weekly left by reset (est.)."},
                {C, ForecastStatus::watch, "Claude Code is near its 5h cap. Lower effort for routine edits."}},
               "two providers, no cross advice");
}

TEST(RecommendationTest, CrossProviderAdvice) {
  const auto X = Provider::codex, C = Provider::claude;
  const std::string codexRisky = "Codex 5h is risky. Lower effort or switch provider for routine edits.";
  const std::string claudeHeadroom = "Claude Code has more headroom right now. Consider it for routine edits.";
  const std::string codexHeadroom = "Codex has more headroom right now. Consider it for routine edits.";
  struct Case {
    const char* name;
    std::vector<Input> inputs;
    std::vector<Advice> advice;
  };
  const Case cases[] = {
      {"one provider never gets it", {in(X, fiveHour(X, ForecastStatus::risky, 10))},
       {{X, ForecastStatus::risky, codexRisky}}},
      {"20 points more headroom",
       {in(X, fiveHour(X, ForecastStatus::risky, 10)), in(C, fiveHour(C, ForecastStatus::safe, 30))},
       {{X, ForecastStatus::risky, codexRisky}, {C, ForecastStatus::safe, claudeHeadroom}}},
      {"exactly 15 points is not enough",
       {in(X, fiveHour(X, ForecastStatus::risky, 10)), in(C, fiveHour(C, ForecastStatus::safe, 25))},
       {{X, ForecastStatus::risky, codexRisky}}},
      {"both strained: the first is the strained one",
       {in(X, fiveHour(X, ForecastStatus::risky, 5)), in(C, fiveHour(C, ForecastStatus::limitLikely, 40, 1800))},
       {{X, ForecastStatus::risky, codexRisky},
        {C, ForecastStatus::limitLikely, "Claude Code may hit the 5h limit in ~30m. Save it for complex work."},
        {C, ForecastStatus::safe, claudeHeadroom}}},
      {"the strained one has the most headroom",
       {in(X, fiveHour(X, ForecastStatus::risky, 50)), in(C, fiveHour(C, ForecastStatus::safe, 30))},
       {{X, ForecastStatus::risky, codexRisky}}},
      {"nobody strained",
       {in(X, fiveHour(X, ForecastStatus::safe, 5)), in(C, fiveHour(C, ForecastStatus::safe, 90))}, {}},
      {"strained second, codex has headroom",
       {in(X, fiveHour(X, ForecastStatus::safe, 80)), in(C, fiveHour(C, ForecastStatus::limited, 0, 0, 600))},
       {{C, ForecastStatus::limited, "Claude Code hit the 5h limit. Resets in 10m."},
        {X, ForecastStatus::safe, codexHeadroom}}},
      {"a provider without a five-hour forecast is left out",
       {in(X, fiveHour(X, ForecastStatus::risky, 10)), in(C, std::nullopt, weekly(C, ForecastStatus::noData, 90))},
       {{X, ForecastStatus::risky, codexRisky}}},
  };
  for (const auto& c : cases) expectAdvice(c.inputs, c.advice, c.name);
}

TEST(RecommendationTest, EqualAdviceIsEqualWhateverItsId) {
  const std::vector<Input> inputs{in(Provider::codex, fiveHour(Provider::codex, ForecastStatus::watch, 20))};
  const auto a = RecommendationEngine::recommendations(inputs);
  const auto b = RecommendationEngine::recommendations(inputs);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_NE(a[0].id, b[0].id);
  EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace qd
