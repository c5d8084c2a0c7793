#include "forecasting/forecast_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "forecasting/burn_rate_calculator.h"

namespace qd {
namespace {

const Timestamp kT0 = fromUnixSeconds(1'800'000'000);

Timestamp at(double seconds) { return addSeconds(kT0, seconds); }

struct Sample {
  double t;      // seconds after kT0
  double used;
  std::optional<double> resetIn = 5 * 3600.0;  // reset time, seconds after kT0
  std::optional<double> windowMins = 300;
};

UsageSnapshot snap(const Sample& s) {
  UsageSnapshot u;
  u.provider = Provider::codex;
  u.windowKind = WindowKind::fiveHour;
  u.timestamp = at(s.t);
  u.usedPercent = s.used;
  u.remainingPercent = 100 - s.used;
  if (s.resetIn) u.resetAt = at(*s.resetIn);
  u.windowDurationMins = s.windowMins;
  u.source = SnapshotSource::codexAppServer;
  u.sourceConfidence = SourceConfidence::high;
  return u;
}

std::vector<UsageSnapshot> series(std::initializer_list<Sample> samples) {
  std::vector<UsageSnapshot> out;
  for (const auto& s : samples) out.push_back(snap(s));
  return out;
}

std::vector<double> usedOf(const std::vector<UsageSnapshot>& v) {
  std::vector<double> out;
  for (const auto& s : v) out.push_back(s.usedPercent);
  return out;
}

// --- current-window series ---------------------------------------------------

TEST(LatestSeriesTest, CutsAtTheLastReset) {
  struct Case {
    const char* name;
    std::vector<UsageSnapshot> input;
    std::vector<double> expected;
  };
  const Case cases[] = {
      {"empty", {}, {}},
      {"single", series({{0, 40}}), {40}},
      {"drop to a new window", series({{0, 70}, {60, 75}, {120, 5}}), {5}},
      {"77 then 6 is a reset", series({{0, 77}, {60, 6}}), {6}},
      {"77 then 75 is not", series({{0, 77}, {60, 75}}), {77, 75}},
      {"a drop of exactly 12 is not", series({{0, 50}, {60, 38}}), {50, 38}},
      {"a drop just over 12 is", series({{0, 50}, {60, 37.9}}), {37.9}},
      {"reset time 11 minutes later", series({{0, 30}, {60, 31, 5 * 3600.0 + 660}}), {31}},
      {"reset time 11 minutes earlier", series({{0, 30}, {60, 31, 5 * 3600.0 - 660}}), {31}},
      {"reset time 9 minutes later", series({{0, 30}, {60, 31, 5 * 3600.0 + 540}}), {30, 31}},
      {"one reset time missing", series({{0, 30, std::nullopt}, {60, 31, 99999}}), {30, 31}},
      {"the last of several resets", series({{0, 90}, {60, 10}, {120, 20}, {180, 2}, {240, 4}}), {2, 4}},
  };
  for (const auto& c : cases) EXPECT_EQ(usedOf(BurnRateCalculator::latestSeries(c.input)), c.expected) << c.name;
}

// --- burn rate -----------------------------------------------------------------

TEST(BurnRateTest, FixedLookBacksAnchorAtTheNewestSample) {
  // 10 %/h steady, one sample every 10 minutes over 8 hours; `now` far later changes nothing.
  std::vector<UsageSnapshot> s;
  for (int i = 0; i <= 48; ++i) s.push_back(snap({i * 600.0, i * 10.0 / 6, 9 * 3600.0}));
  struct Case {
    ForecastBasis basis;
    int samples;
    double spanHours;
  };
  const Case cases[] = {
      {ForecastBasis::last30m, 4, 0.5}, {ForecastBasis::last1h, 7, 1},  {ForecastBasis::last3h, 19, 3},
      {ForecastBasis::last6h, 37, 6},   {ForecastBasis::last24h, 49, 8},
  };
  for (const auto& c : cases) {
    const auto r = BurnRateCalculator::burnRate(s, c.basis, at(1e6));
    ASSERT_TRUE(r) << rawValue(c.basis);
    EXPECT_NEAR(r->percentPerHour, 10, 1e-9) << rawValue(c.basis);
    EXPECT_EQ(r->sampleCount, c.samples) << rawValue(c.basis);
    EXPECT_NEAR(r->spanHours, c.spanHours, 1e-9) << rawValue(c.basis);
    EXPECT_EQ(r->basis, c.basis);
  }
}

TEST(BurnRateTest, AbsentWhenItCannotBeMeasured) {
  struct Case {
    const char* name;
    std::vector<UsageSnapshot> input;
    ForecastBasis basis;
  };
  const Case cases[] = {
      {"no samples", {}, ForecastBasis::sinceWindowStart},
      {"one sample", series({{0, 40}}), ForecastBasis::sinceWindowStart},
      {"one sample, smart", series({{0, 40}}), ForecastBasis::smart},
      {"one sample in the look-back", series({{0, 10}, {7200, 40}}), ForecastBasis::last1h},
      {"span of exactly 36 s", series({{0, 10}, {36, 11}}), ForecastBasis::last1h},
      {"no reset time", series({{0, 10, std::nullopt}, {600, 11, std::nullopt}}), ForecastBasis::sinceWindowStart},
      {"no duration", series({{0, 10, 3600, std::nullopt}, {600, 11, 3600, std::nullopt}}),
       ForecastBasis::sinceWindowStart},
      {"window starts at the newest sample", series({{0, 10, 18000}, {600, 11, 18600}}),
       ForecastBasis::sinceWindowStart},
  };
  for (const auto& c : cases) EXPECT_FALSE(BurnRateCalculator::burnRate(c.input, c.basis, kT0)) << c.name;
}

TEST(BurnRateTest, ThirtySevenSecondsIsEnough) {
  const auto r = BurnRateCalculator::burnRate(series({{0, 10}, {37, 11}}), ForecastBasis::last1h, kT0);
  ASSERT_TRUE(r);
  EXPECT_NEAR(r->percentPerHour, 3600.0 / 37, 1e-9);
}

TEST(BurnRateTest, SinceWindowStartAssumesTheWindowStartedEmpty) {
  // Window of 5 h resetting at +5h started at 0; newest sample at +2h with 30%.
  const auto r = BurnRateCalculator::burnRate(series({{0, 1}, {3600, 12}, {7200, 30}}),
                                              ForecastBasis::sinceWindowStart, kT0);
  ASSERT_TRUE(r);
  EXPECT_NEAR(r->percentPerHour, 15, 1e-9);
  EXPECT_EQ(r->sampleCount, 3);
  EXPECT_NEAR(r->spanHours, 2, 1e-9);
  EXPECT_EQ(r->basis, ForecastBasis::sinceWindowStart);
}

TEST(BurnRateTest, SmartTakesTheFirstLookBackThatWorks) {
  struct Case {
    const char* name;
    std::vector<UsageSnapshot> input;
    std::optional<ForecastBasis> expected;
  };
  const Case cases[] = {
      {"recent samples", series({{0, 10}, {1200, 12}, {2400, 14}}), ForecastBasis::last1h},
      {"two hours apart", series({{0, 10}, {7200, 20}}), ForecastBasis::last3h},
      {"five hours apart", series({{0, 10}, {5 * 3600, 20, 30000}}), ForecastBasis::last6h},
      {"eight hours apart", series({{0, 10, 30000, 600}, {8 * 3600, 20, 30000, 600}}),
       ForecastBasis::sinceWindowStart},
      {"eight hours apart, no duration", series({{0, 10, 30000, std::nullopt}, {8 * 3600, 20, 30000, std::nullopt}}),
       std::nullopt},
      // 30 minutes would succeed, but smart never tries it.
      {"only last30m-sized gaps beyond 6h", series({{0, 10, std::nullopt}, {7 * 3600, 20, std::nullopt}}),
       std::nullopt},
  };
  for (const auto& c : cases) {
    const auto r = BurnRateCalculator::burnRate(c.input, ForecastBasis::smart, kT0);
    ASSERT_EQ(r.has_value(), c.expected.has_value()) << c.name;
    if (r) {
      EXPECT_EQ(r->basis, *c.expected) << c.name;
    }
  }
}

// --- forecast cases A-F -----------------------------------------------------------

ForecastResult run(const std::vector<UsageSnapshot>& s, double nowOffset,
                   ForecastBasis basis = ForecastBasis::last1h) {
  return ForecastEngine::forecast(Provider::codex, WindowKind::fiveHour, s, basis, at(nowOffset));
}

TEST(ForecastTest, CaseANoData) {
  const auto r = ForecastEngine::forecast(Provider::claude, WindowKind::sevenDay, {}, ForecastBasis::smart, kT0);
  ForecastResult expected;
  expected.provider = Provider::claude;
  expected.windowKind = WindowKind::sevenDay;
  expected.basis = ForecastBasis::smart;
  expected.currentUsedPercent = 0;
  expected.currentRemainingPercent = 100;
  expected.confidence = SourceConfidence::low;
  expected.status = ForecastStatus::noData;
  expected.humanSummary = "Not enough activity to forecast yet.";
  EXPECT_EQ(r, expected);
  EXPECT_EQ(r.id(), "claude-sevenDay");
}

TEST(ForecastTest, CaseBLimitReached) {
  struct Case {
    const char* name;
    std::vector<UsageSnapshot> input;
    double now;
    const char* summary;
  };
  auto reached = series({{0, 60}, {600, 70}});
  reached.back().rateLimitReachedType = "primary";
  reached.back().sourceConfidence = SourceConfidence::medium;
  const Case cases[] = {
      {"at 100%", series({{0, 90}, {600, 100, 7200 + 300}}), 0, "Limit reached. Resets in 2h 5m."},
      {"over 100%", series({{0, 90}, {600, 104}}), 6 * 3600, "Limit reached. Resets now."},
      {"limit flagged", reached, 5 * 3600, "Limit reached. Resets now."},
      {"no reset time", series({{0, 100, std::nullopt}}), 0, "Limit reached. Resets \u2014."},
  };
  for (const auto& c : cases) {
    const auto r = run(c.input, c.now);
    EXPECT_EQ(r.status, ForecastStatus::limited) << c.name;
    EXPECT_EQ(r.humanSummary, c.summary) << c.name;
    EXPECT_EQ(r.projectedUsedAtReset, 100) << c.name;
    EXPECT_EQ(r.projectedRemainingAtReset, 0) << c.name;
    EXPECT_EQ(r.estimatedTimeToLimit, 0) << c.name;
    EXPECT_TRUE(r.limitBeforeReset) << c.name;
    EXPECT_EQ(r.sampleCount, 0) << c.name;
    EXPECT_EQ(r.confidence, c.input.back().sourceConfidence) << c.name;
    EXPECT_EQ(r.resetAt, c.input.back().resetAt) << c.name;
    EXPECT_EQ(r.currentUsedPercent, c.input.back().usedPercent) << c.name;
  }
}

TEST(ForecastTest, CaseCResetUnknown) {
  const auto r = run(series({{0, 10, std::nullopt}, {600, 42.4, std::nullopt}}), 600);
  EXPECT_EQ(r.status, ForecastStatus::noData);
  EXPECT_EQ(r.confidence, SourceConfidence::low);
  EXPECT_EQ(r.humanSummary, "Current usage 42%. Reset time unknown.");
  EXPECT_EQ(r.currentUsedPercent, 42.4);
  EXPECT_FALSE(r.timeUntilReset);
  EXPECT_FALSE(r.projectedUsedAtReset);
}

TEST(ForecastTest, CaseDNotEnoughActivity) {
  struct Case {
    const char* name;
    std::vector<UsageSnapshot> input;
    ForecastStatus status;
    const char* summary;
  };
  const Case cases[] = {
      {"one sample under 80", series({{0, 79.6}}), ForecastStatus::safe,
       "Not enough activity to forecast yet. Current 80%."},
      {"one sample at 80", series({{0, 80}}), ForecastStatus::watch,
       "Not enough activity to forecast yet. Current 80%."},
      // 70 and 75, then 5: a new window holding one sample.
      {"after a reset", series({{-1200, 70}, {-600, 75}, {0, 5}}), ForecastStatus::safe,
       "Not enough activity to forecast yet. Current 5%."},
      {"look-back holds one sample", series({{-7200, 10}, {0, 20}}), ForecastStatus::safe,
       "Not enough activity to forecast yet. Current 20%."},
  };
  for (const auto& c : cases) {
    const auto r = run(c.input, 600);
    const double used = c.input.back().usedPercent;
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.humanSummary, c.summary) << c.name;
    EXPECT_EQ(r.projectedUsedAtReset, used) << c.name;
    EXPECT_EQ(r.projectedRemainingAtReset, 100 - used) << c.name;
    EXPECT_FALSE(r.burnRatePercentPerHour) << c.name;
    EXPECT_EQ(r.confidence, SourceConfidence::low) << c.name;
    EXPECT_EQ(r.sampleCount, 0) << c.name;
    EXPECT_EQ(r.timeUntilReset, 5 * 3600.0 - 600) << c.name;
  }
}

TEST(ForecastTest, CaseENoRecentBurn) {
  struct Case {
    const char* name;
    std::vector<UsageSnapshot> input;
    SourceConfidence confidence;
  };
  std::vector<UsageSnapshot> flat;
  for (int i = 0; i < 30; ++i) flat.push_back(snap({i * 60.0, 85}));
  const Case cases[] = {
      {"flat", series({{0, 40}, {600, 40}}), SourceConfidence::low},
      {"falling a little", series({{0, 41}, {600, 40}}), SourceConfidence::low},
      {"0.01 %/h exactly", series({{0, 40}, {3600, 40.01}}), SourceConfidence::low},
      {"many flat samples", flat, SourceConfidence::high},
  };
  for (const auto& c : cases) {
    const auto r = run(c.input, secondsBetween(kT0, c.input.back().timestamp));
    const double used = c.input.back().usedPercent;
    EXPECT_EQ(r.burnRatePercentPerHour, 0) << c.name;
    EXPECT_EQ(r.confidence, c.confidence) << c.name;
    EXPECT_EQ(r.sampleCount, 0) << c.name;
    EXPECT_EQ(r.projectedUsedAtReset, used) << c.name;
    EXPECT_EQ(r.status, used >= 80 ? ForecastStatus::watch : ForecastStatus::safe) << c.name;
    EXPECT_EQ(r.humanSummary, "No recent burn. Holding at " + std::string(used >= 80 ? "85%" : "40%") + ".")
        << c.name;
  }
}

TEST(ForecastTest, CaseFProjection) {
  // 10 %/h over the last hour; now = newest sample; the reset 3 hours later.
  const double reset = 3600 + 3 * 3600;
  const auto s = series({{0, 30, reset}, {1800, 35, reset}, {3600, 40, reset}});
  const auto r = run(s, 3600);
  EXPECT_EQ(r.basis, ForecastBasis::last1h);
  EXPECT_NEAR(*r.burnRatePercentPerHour, 10, 1e-9);
  EXPECT_NEAR(*r.projectedUsedAtReset, 70, 1e-9);
  EXPECT_NEAR(*r.projectedRemainingAtReset, 30, 1e-9);
  EXPECT_FALSE(r.limitBeforeReset);
  EXPECT_FALSE(r.estimatedTimeToLimit);
  EXPECT_FALSE(r.runOutAt);
  EXPECT_EQ(r.status, ForecastStatus::safe);
  EXPECT_EQ(r.sampleCount, 3);
  EXPECT_EQ(r.confidence, SourceConfidence::low);
  EXPECT_EQ(r.humanSummary, "At 1h pace: ~70% by reset (est.) \u00b7 limit not before reset");
}

TEST(ForecastTest, CaseFGrades) {
  struct Case {
    const char* name;
    double used;
    double ratePerHour;
    double resetAfterHours;  // after the newest sample, which is `now`
    ForecastStatus status;
    bool limitBeforeReset;
    const char* summary;
  };
  const Case cases[] = {
      {"safe", 20, 10, 5, ForecastStatus::safe, false, "At 1h pace: ~70% by reset (est.) \u00b7 limit not before reset"},
      {"watch at 80", 30, 10, 5, ForecastStatus::watch, false,
       "At 1h pace: ~80% by reset (est.) \u00b7 limit not before reset"},
      {"risky at 100, limit exactly at the reset", 50, 10, 5, ForecastStatus::risky, false,
       "At 1h pace: ~100% by reset (est.) \u00b7 limit not before reset"},
      {"risky, limit before the reset", 50, 10, 5.5, ForecastStatus::risky, true,
       "At 1h pace: ~105% by reset (est.) \u00b7 limit in ~5h"},
      {"limit likely within the hour", 80, 25, 0.5, ForecastStatus::limitLikely, false,
       "At 1h pace: ~93% by reset (est.) \u00b7 limit not before reset"},
      {"clamped at 140", 40, 24, 5, ForecastStatus::risky, true,
       "At 1h pace: ~140% by reset (est.) \u00b7 limit in ~2h 30m"},
  };
  for (const auto& c : cases) {
    const double t1 = 3600;
    const double reset = t1 + c.resetAfterHours * 3600;
    const auto r = run(series({{0, c.used - c.ratePerHour, reset}, {t1, c.used, reset}}), t1);
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.limitBeforeReset, c.limitBeforeReset) << c.name;
    EXPECT_EQ(r.humanSummary, c.summary) << c.name;
    EXPECT_EQ(r.estimatedTimeToLimit.has_value(), c.limitBeforeReset) << c.name;
  }
}

TEST(ForecastTest, CaseFLimitLikelyEvenWhenTheResetComesFirst) {
  // 20% left at 25 %/h: 48 minutes to the limit, reset in 30 minutes.
  const auto r = run(series({{0, 55, 5400}, {3600, 80, 5400}}), 3600);
  EXPECT_EQ(r.status, ForecastStatus::limitLikely);
  EXPECT_FALSE(r.limitBeforeReset);
  EXPECT_FALSE(r.estimatedTimeToLimit);
  EXPECT_EQ(r.humanSummary, "At 1h pace: ~93% by reset (est.) \u00b7 limit not before reset");
}

TEST(ForecastTest, CaseFProjectionClampAndRunOut) {
  // 50% at the newest sample, reset 10 h later, 10 %/h: projection 150, clamped to 140.
  const double reset = 3600 + 10 * 3600;
  auto r = run(series({{0, 40, reset, 600}, {3600, 50, reset, 600}}), 3600);
  EXPECT_EQ(r.projectedUsedAtReset, 140);
  EXPECT_EQ(r.projectedRemainingAtReset, 0);
  ASSERT_TRUE(r.runOutAt);
  // The line to the clamped projection: (100-50)/(140-50) of the 10 hours.
  EXPECT_NEAR(secondsBetween(at(3600), *r.runOutAt), 50.0 / 90 * 36000, 1e-3);
  EXPECT_NEAR(*r.estimatedTimeToLimit, 5 * 3600, 1e-6);

  // Unclamped: 15 %/h over 10 h from 50% gives 200 -> 140 too; use 5 %/h to land at 100 exactly: no run-out.
  r = run(series({{0, 45, reset, 600}, {3600, 50, reset, 600}}), 3600);
  EXPECT_NEAR(*r.projectedUsedAtReset, 100, 1e-9);
  EXPECT_FALSE(r.runOutAt);
}

TEST(ForecastTest, RunOutInterpolatesFromTheNewestSampleNotFromNow) {
  // Newest sample 50% at +1h, 5 %/h; now is 2 h after it, reset 10 h after the sample.
  // Projection from now: 50 + 8 * 5 = 90... use 10 %/h: 50 + 8*10 = 130.
  const double reset = 3600 + 10 * 3600;
  const auto r = run(series({{0, 40, reset}, {3600, 50, reset}}), 3 * 3600);
  EXPECT_NEAR(*r.projectedUsedAtReset, 130, 1e-9);
  ASSERT_TRUE(r.runOutAt);
  EXPECT_NEAR(secondsBetween(at(3600), *r.runOutAt), 50.0 / 80 * 36000, 1e-3);
}

TEST(ForecastTest, ResetAlreadyPast) {
  // 40% at 10 %/h, reset one hour ago: projection 30, safe, no limit before reset.
  const auto r = run(series({{0, 30, 7200}, {3600, 40, 7200}}), 3 * 3600);
  EXPECT_NEAR(*r.timeUntilReset, -3600, 1e-9);
  EXPECT_NEAR(*r.projectedUsedAtReset, 30, 1e-9);
  EXPECT_EQ(r.status, ForecastStatus::safe);
  EXPECT_FALSE(r.limitBeforeReset);
  EXPECT_FALSE(r.runOutAt);
  EXPECT_EQ(r.humanSummary, "At 1h pace: ~30% by reset (est.) \u00b7 limit not before reset");
}

TEST(ForecastTest, ConfidenceFollowsTheSampleCount) {
  struct Case {
    int samples;
    SourceConfidence confidence;
  };
  for (const Case& c : {Case{3, SourceConfidence::low}, Case{4, SourceConfidence::low},
                        Case{5, SourceConfidence::medium}, Case{23, SourceConfidence::medium},
                        Case{24, SourceConfidence::high}, Case{30, SourceConfidence::high}}) {
    std::vector<UsageSnapshot> s;
    for (int i = 0; i < c.samples; ++i) s.push_back(snap({i * 60.0, 10 + i * 0.5, 4 * 3600}));
    const auto r = run(s, (c.samples - 1) * 60.0);
    EXPECT_EQ(r.confidence, c.confidence) << c.samples;
    EXPECT_EQ(r.sampleCount, c.samples) << c.samples;
  }
}

TEST(ForecastTest, SmartKeepsTheRequestedBasisAndNamesTheUsedOne) {
  struct Case {
    const char* name;
    std::vector<UsageSnapshot> input;
    double now;
    const char* summaryStart;
  };
  const Case cases[] = {
      {"several samples in the last 40 minutes", series({{0, 10, 5 * 3600}, {1200, 12, 5 * 3600}, {2400, 15, 5 * 3600}}),
       2400, "At 1h pace:"},
      {"two samples 8 hours apart", series({{0, 5, 9 * 3600, 600}, {8 * 3600, 40, 9 * 3600, 600}}), 8 * 3600,
       "At Start pace:"},
  };
  for (const auto& c : cases) {
    const auto r = run(c.input, c.now, ForecastBasis::smart);
    EXPECT_EQ(r.basis, ForecastBasis::smart) << c.name;
    EXPECT_EQ(r.humanSummary.rfind(c.summaryStart, 0), 0u) << c.name << ": " << r.humanSummary;
  }
}

TEST(ForecastTest, SamplesInAnyOrderAreSorted) {
  auto s = series({{3600, 40, 4 * 3600}, {0, 30, 4 * 3600}, {1800, 35, 4 * 3600}});
  const auto r = run(s, 3600);
  EXPECT_NEAR(*r.burnRatePercentPerHour, 10, 1e-9);
  EXPECT_EQ(r.currentUsedPercent, 40);
}

TEST(ForecastTest, ResetInTheMiddleIsNotANegativeBurn) {
  // 90% before a reset, then a fresh window climbing slowly.
  const auto r = run(series({{0, 90, 1800}, {1200, 1, 5 * 3600 + 1800}, {2400, 3, 5 * 3600 + 1800}}), 2400);
  EXPECT_GT(*r.burnRatePercentPerHour, 0);
  EXPECT_EQ(r.sampleCount, 2);
}

TEST(ForecastTest, HostileValuesGiveAResult) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    std::vector<UsageSnapshot> input;
    ForecastBasis basis;
  };
  const Case cases[] = {
      {"NaN usage", series({{0, kNaN}, {600, kNaN}}), ForecastBasis::last1h},
      {"infinite usage", series({{0, 10}, {600, kInf}}), ForecastBasis::last1h},
      {"huge duration", series({{0, 10, 3600, 1e300}, {600, 20, 3600, 1e300}}), ForecastBasis::sinceWindowStart},
      {"duration beyond the clock", series({{0, 10, 3600, 1e12}, {600, 20, 3600, 1e12}}), ForecastBasis::smart},
      {"negative duration", series({{0, 10, 3600, -1e12}, {600, 20, 3600, -1e12}}), ForecastBasis::smart},
      {"reset far away", series({{0, 10, 1e15}, {600, 20, 1e15}}), ForecastBasis::last1h},
  };
  for (const auto& c : cases) {
    const auto r = run(c.input, 600, c.basis);
    EXPECT_FALSE(r.humanSummary.empty()) << c.name;
    if (r.projectedUsedAtReset && std::isfinite(*r.projectedUsedAtReset)) {
      EXPECT_GE(*r.projectedUsedAtReset, 0) << c.name;
      EXPECT_LE(*r.projectedUsedAtReset, 140) << c.name;
    }
  }
  const auto nanRate = run(series({{0, kNaN}, {600, kNaN}}), 600);
  EXPECT_EQ(nanRate.humanSummary, "No recent burn. Holding at \u2014.");
}

}  // namespace
}  // namespace qd
