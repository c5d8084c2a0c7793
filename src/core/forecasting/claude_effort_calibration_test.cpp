#include "forecasting/claude_effort_calibration.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>

#include "storage/atomic_file.h"

namespace qd {
namespace {

namespace fs = std::filesystem;

Timestamp at(const char* iso) { return *parseISO8601(iso); }

class EffortCalibrationTest : public ::testing::Test {
 protected:
  EffortCalibrationTest() {
    char tmpl[] = "/tmp/qd-effort-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    context.supportDirectory = dir_;
    context.tokensSince = [this](Timestamp since) -> std::optional<int64_t> {
      if (unknown) return std::nullopt;
      int64_t sum = 0;
      for (const auto& [t, n] : events)
        if (t >= since) sum += n;
      return sum;
    };
  }
  ~EffortCalibrationTest() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  static UsageSnapshot reading(const char* effort, double used, const char* ts,
                               std::optional<Timestamp> reset = at("2025-03-14T00:00:00Z")) {
    UsageSnapshot s;
    s.provider = Provider::claude;
    s.windowKind = WindowKind::sevenDay;
    s.usedPercent = used;
    s.timestamp = at(ts);
    s.resetAt = reset;
    s.source = SnapshotSource::claudeStatusLine;
    s.effortLevel = effort;
    return s;
  }

  ClaudeEffortCalibration::Store store() const { return ClaudeEffortCalibration::load(context.ratesFile()); }

  std::multimap<Timestamp, int64_t> events;
  bool unknown = false;
  ClaudeStageContext context;
  fs::path dir_;
};

TEST_F(EffortCalibrationTest, LearnsSmoothedRatesFromTheNewestPair) {
  events.emplace(at("2025-03-10T10:30:00Z"), 50'000);
  std::vector<UsageSnapshot> snaps{reading("high", 12.5, "2025-03-10T11:00:00Z"), reading("high", 10.0, "2025-03-10T10:00:00Z")};
  ClaudeEffortCalibration::learn(snaps, context);
  auto s = store();
  ASSERT_EQ(s.byEffort.count("high"), 1u);
  EXPECT_DOUBLE_EQ(s.byEffort["high"].pctPerToken, 0.00005);
  EXPECT_EQ(s.byEffort["high"].samples, 1);
  EXPECT_EQ(s.learnedUpTo, at("2025-03-10T11:00:00Z"));

  // The same working set again changes nothing.
  const auto before = readWholeFile(context.ratesFile());
  ClaudeEffortCalibration::learn(snaps, context);
  EXPECT_EQ(readWholeFile(context.ratesFile()), before);

  // A next pair measuring 0.0001: 0.35 × 0.0001 + 0.65 × 0.00005.
  events.emplace(at("2025-03-10T11:30:00Z"), 20'000);
  snaps.push_back(reading("HIGH", 14.5, "2025-03-10T12:00:00.250Z"));
  ClaudeEffortCalibration::learn(snaps, context);
  s = store();
  EXPECT_NEAR(s.byEffort["high"].pctPerToken, 0.0000675, 1e-15);
  EXPECT_EQ(s.byEffort["high"].samples, 2);
  EXPECT_EQ(s.learnedUpTo, at("2025-03-10T12:00:00Z"));
  ClaudeEffortCalibration::learn(snaps, context);  // the fraction of a second does not make it new again
  EXPECT_EQ(store().byEffort["high"].samples, 2);
}

TEST_F(EffortCalibrationTest, PairsWithoutAMeasurementAreConsumed) {
  events.emplace(at("2025-03-10T10:30:00Z"), 50'000);
  struct Case {
    const char* name;
    UsageSnapshot a, b;
  };
  const Case cases[] = {
      {"effort changed", reading("medium", 10, "2025-03-10T10:00:00Z"), reading("high", 12, "2025-03-10T11:00:00Z")},
      {"rise below one point", reading("high", 10, "2025-03-10T10:00:00Z"), reading("high", 10.9, "2025-03-10T11:00:00Z")},
      {"across a reset", reading("high", 10, "2025-03-10T10:00:00Z"), reading("high", 12, "2025-03-10T11:00:00Z", at("2025-03-21T00:00:00Z"))},
      {"one reset time missing", reading("high", 10, "2025-03-10T10:00:00Z"), reading("high", 12, "2025-03-10T11:00:00Z", std::nullopt)},
      {"no tokens between", reading("high", 10, "2025-03-10T10:40:00Z"), reading("high", 12, "2025-03-10T11:00:00Z")},
  };
  for (const auto& c : cases) {
    fs::remove(context.ratesFile());
    ClaudeEffortCalibration::learn({c.a, c.b}, context);
    const auto s = store();
    EXPECT_TRUE(s.byEffort.empty()) << c.name;
    EXPECT_EQ(s.learnedUpTo, at("2025-03-10T11:00:00Z")) << c.name;
  }
}

TEST_F(EffortCalibrationTest, WaitsForCountsStillBeingMade) {
  events.emplace(at("2025-03-10T10:30:00Z"), 50'000);
  const std::vector<UsageSnapshot> snaps{reading("high", 10, "2025-03-10T10:00:00Z"), reading("high", 12.5, "2025-03-10T11:00:00Z")};
  unknown = true;
  ClaudeEffortCalibration::learn(snaps, context);
  EXPECT_FALSE(fs::exists(context.ratesFile()));
  unknown = false;
  ClaudeEffortCalibration::learn(snaps, context);
  EXPECT_EQ(store().byEffort["high"].samples, 1);
}

TEST_F(EffortCalibrationTest, IgnoresOtherReadingsAndNeedsTwo) {
  auto oauth = reading("high", 50, "2025-03-10T12:00:00Z");
  oauth.source = SnapshotSource::claudeOAuth;
  auto fiveHour = reading("high", 50, "2025-03-10T12:00:00Z");
  fiveHour.windowKind = WindowKind::fiveHour;
  auto noEffort = reading("high", 50, "2025-03-10T12:00:00Z");
  noEffort.effortLevel.reset();
  ClaudeEffortCalibration::learn({reading("high", 10, "2025-03-10T10:00:00Z"), oauth, fiveHour, noEffort}, context);
  EXPECT_FALSE(fs::exists(context.ratesFile()));
}

TEST_F(EffortCalibrationTest, MeasuredScaleNeedsThreeSamplesEach) {
  ClaudeEffortCalibration::Store s;
  s.byEffort["xhigh"] = {0.0003, 3};
  s.byEffort["high"] = {0.0002, 3};
  s.byEffort["low"] = {0.0001, 2};
  s.byEffort["zero"] = {0, 5};
  ASSERT_TRUE(writeFileAtomically(context.ratesFile(), ClaudeEffortCalibration::encode(s)));
  EXPECT_DOUBLE_EQ(*ClaudeEffortCalibration::measuredScale("xhigh", "high", context), 1.5);
  EXPECT_DOUBLE_EQ(*ClaudeEffortCalibration::measuredScale("XHigh", "High", context), 1.5);
  EXPECT_FALSE(ClaudeEffortCalibration::measuredScale("low", "high", context));
  EXPECT_FALSE(ClaudeEffortCalibration::measuredScale("High", "high", context));
  EXPECT_FALSE(ClaudeEffortCalibration::measuredScale("high", "zero", context));
  EXPECT_FALSE(ClaudeEffortCalibration::measuredScale("high", std::nullopt, context));
  EXPECT_FALSE(ClaudeEffortCalibration::measuredScale("high", "max", context));
}

TEST(EffortCalibrationFile, ShapeAndForgivingReading) {
  ClaudeEffortCalibration::Store s;
  s.byEffort["high"] = {0.00021, 4};
  EXPECT_EQ(ClaudeEffortCalibration::encode(s), R"({"byEffort":{"high":{"pctPerToken":0.00021,"samples":4}}})");
  s.learnedUpTo = at("2025-03-10T11:00:00Z");
  EXPECT_EQ(ClaudeEffortCalibration::encode(s),
            R"({"byEffort":{"high":{"pctPerToken":0.00021,"samples":4}},"learnedUpTo":"2025-03-10T11:00:00Z"})");
  EXPECT_EQ(ClaudeEffortCalibration::decode(ClaudeEffortCalibration::encode(s)), s);
  for (const char* bad : {"", "[]", "{}", R"({"byEffort":{"high":{"pctPerToken":1}}})",
                          R"({"byEffort":{"high":{"pctPerToken":1,"samples":1.5}}})",
                          R"({"byEffort":{},"learnedUpTo":"yesterday"})"})
    EXPECT_FALSE(ClaudeEffortCalibration::decode(bad)) << bad;
  EXPECT_EQ(ClaudeEffortCalibration::load("/nonexistent/rates.json"), ClaudeEffortCalibration::Store{});
}

}  // namespace
}  // namespace qd
