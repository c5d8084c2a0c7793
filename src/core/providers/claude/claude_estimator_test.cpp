#include "providers/claude/claude_estimator.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>

#include "forecasting/claude_effort_calibration.h"
#include "storage/atomic_file.h"

namespace qd {
namespace {

namespace fs = std::filesystem;

Timestamp at(const char* iso) { return *parseISO8601(iso); }

// A temporary support directory and a scripted token count: the tokens since t
// are the sum of the events at or after t.
class EstimatorTest : public ::testing::Test {
 protected:
  EstimatorTest() {
    char tmpl[] = "/tmp/qd-estimator-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    context.supportDirectory = dir_;
    context.tokensSince = [this](Timestamp since) -> std::optional<int64_t> {
      int64_t sum = 0;
      for (const auto& [t, n] : events)
        if (t >= since) sum += n;
      return sum;
    };
    context.logInfo = [this](std::string_view line) { log.emplace_back(line); };
  }
  ~EstimatorTest() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  static UsageSnapshot live(WindowKind kind, double used, Timestamp ts, Timestamp reset, double mins,
                            const char* source = SnapshotSource::claudeOAuth) {
    UsageSnapshot s;
    s.provider = Provider::claude;
    s.windowKind = kind;
    s.usedPercent = used;
    s.remainingPercent = 100 - used;
    s.timestamp = ts;
    s.resetAt = reset;
    s.windowDurationMins = mins;
    s.source = source;
    return s;
  }

  std::multimap<Timestamp, int64_t> events;
  std::vector<std::string> log;
  ClaudeStageContext context;
  fs::path dir_;
};

TEST_F(EstimatorTest, FiveHourAnchorScalesTokensAndCapsAt140) {
  const Timestamp t0 = at("2025-03-10T10:00:00Z");
  events.emplace(at("2025-03-10T08:00:00Z"), 200'000);  // inside the window that resets at 13:00
  ClaudeEstimator::calibrate(live(WindowKind::fiveHour, 40, t0, at("2025-03-10T13:00:00Z"), 300), context);
  const auto anchor = ClaudeEstimator::loadAnchor(context.anchorFile());
  ASSERT_TRUE(anchor && anchor->fiveHour);
  EXPECT_DOUBLE_EQ(anchor->fiveHour->pctPerToken, 0.0002);
  EXPECT_FALSE(anchor->sevenDay);

  const Timestamp later = at("2025-03-10T16:00:00Z");
  events.emplace(at("2025-03-10T15:00:00Z"), 300'000);
  auto estimates = ClaudeEstimator::estimatedSnapshots(context, later);
  ASSERT_EQ(estimates.size(), 1u);
  EXPECT_DOUBLE_EQ(estimates[0].usedPercent, 60);
  EXPECT_EQ(estimates[0].remainingPercent, 40);
  EXPECT_EQ(estimates[0].windowKind, WindowKind::fiveHour);
  EXPECT_EQ(estimates[0].source, "claude.transcript");
  EXPECT_EQ(estimates[0].sourceConfidence, SourceConfidence::low);
  EXPECT_EQ(estimates[0].resetAt, at("2025-03-10T21:00:00Z"));
  EXPECT_EQ(estimates[0].limitName, "fiveHour");
  EXPECT_FALSE(estimates[0].modelId);

  events.emplace(at("2025-03-10T15:30:00Z"), 600'000);
  estimates = ClaudeEstimator::estimatedSnapshots(context, later);
  EXPECT_DOUBLE_EQ(estimates[0].usedPercent, 140);
  EXPECT_EQ(estimates[0].remainingPercent, 0);
}

TEST_F(EstimatorTest, ResetIsLoggedAndOlderReadingsNeverReplaceTheAnchor) {
  events.emplace(at("2025-03-10T09:00:00Z"), 1000);
  const Timestamp reset = at("2025-03-10T13:00:00Z");
  ClaudeEstimator::calibrate(live(WindowKind::fiveHour, 77, at("2025-03-10T10:00:00Z"), reset, 300), context);
  ClaudeEstimator::calibrate(live(WindowKind::fiveHour, 75, at("2025-03-10T10:05:00Z"), reset, 300), context);
  EXPECT_TRUE(log.empty());
  EXPECT_DOUBLE_EQ(ClaudeEstimator::loadAnchor(context.anchorFile())->fiveHour->usedPercent, 75);
  ClaudeEstimator::calibrate(live(WindowKind::fiveHour, 6, at("2025-03-10T10:10:00Z"), reset, 300), context);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "Claude fiveHour reset detected: 75% \u2192 6%; recalibrating.");
  // The same reading again (even with a sub-second difference) and an older one change nothing.
  ClaudeEstimator::calibrate(live(WindowKind::fiveHour, 50, at("2025-03-10T10:10:00.500Z"), reset, 300), context);
  ClaudeEstimator::calibrate(live(WindowKind::fiveHour, 50, at("2025-03-10T10:01:00Z"), reset, 300), context);
  EXPECT_DOUBLE_EQ(ClaudeEstimator::loadAnchor(context.anchorFile())->fiveHour->usedPercent, 6);
}

TEST_F(EstimatorTest, ReadingsThatCannotCalibrate) {
  events.emplace(at("2025-03-10T09:00:00Z"), 1000);
  const Timestamp ts = at("2025-03-10T10:00:00Z"), reset = at("2025-03-10T13:00:00Z");
  auto noReset = live(WindowKind::fiveHour, 10, ts, reset, 300);
  noReset.resetAt.reset();
  auto zeroDuration = live(WindowKind::fiveHour, 10, ts, reset, 0);
  for (const auto& s : {live(WindowKind::fiveHour, 0, ts, reset, 300), noReset, zeroDuration,
                        live(WindowKind::fiveHour, 10, ts, reset, 300, SnapshotSource::claudeTranscript),
                        live(WindowKind::monthly, 10, ts, reset, 43200),
                        // No tokens since the window started.
                        live(WindowKind::fiveHour, 10, ts, at("2025-03-10T20:00:00Z"), 300)})
    ClaudeEstimator::calibrate(s, context);
  EXPECT_FALSE(fs::exists(context.anchorFile()));
  EXPECT_TRUE(ClaudeEstimator::estimatedSnapshots(context, ts).empty());
}

TEST_F(EstimatorTest, SonnetOnlyWeeklyReadingsNeverCalibrateTheOverallWeek) {
  // Two hours of OAuth fetches (every 5 minutes: the overall week at 40 %, the
  // Sonnet-only week at 5 %) and bridge readings of the overall week in between,
  // recomputed every 30 seconds over the growing store.
  events.emplace(at("2025-03-01T00:00:00Z"), 10'000);
  const Timestamp reset = at("2025-03-05T00:00:00Z");
  const Timestamp start = at("2025-03-03T10:00:00Z");
  std::vector<UsageSnapshot> store;
  for (int step = 0; step < 240; ++step) {
    const Timestamp now = addSeconds(start, 30.0 * step);
    if (step % 10 == 0) {
      store.push_back(live(WindowKind::sevenDay, 40, now, reset, 10080));
      store.push_back(live(WindowKind::weekly, 5, now, reset, 10080));
    }
    if (step % 10 == 3) store.push_back(live(WindowKind::sevenDay, 40, now, reset, 10080, SnapshotSource::claudeStatusLine));
    (void)ClaudeEstimator::augmentClaude(store, context, now);
  }
  const Timestamp t = addSeconds(start, 7200);
  EXPECT_EQ(log.size(), 0u) << log.front();
  const auto anchor = ClaudeEstimator::loadAnchor(context.anchorFile());
  ASSERT_TRUE(anchor && anchor->sevenDay);
  EXPECT_DOUBLE_EQ(anchor->sevenDay->usedPercent, 40);
  EXPECT_DOUBLE_EQ(anchor->sevenDay->pctPerToken, 0.004);

  // Alone, a Sonnet-only reading calibrates nothing.
  fs::remove(context.anchorFile());
  ClaudeEstimator::calibrate(live(WindowKind::weekly, 5, t, reset, 10080), context);
  EXPECT_FALSE(fs::exists(context.anchorFile()));
}

TEST_F(EstimatorTest, WeeklyEstimateRunsOnWithinTheWindowAndRollsOverAfterIt) {
  // Anchor: 30% of the week at 2025-03-01, reset on 2025-03-02, 1000 tokens in the window.
  events.emplace(at("2025-02-24T00:00:00Z"), 1000);
  ClaudeEstimator::calibrate(live(WindowKind::sevenDay, 30, at("2025-03-01T00:00:00Z"), at("2025-03-02T00:00:00Z"), 10080),
                             context);
  ASSERT_TRUE(ClaudeEstimator::loadAnchor(context.anchorFile())->sevenDay);
  events.emplace(at("2025-03-01T06:00:00Z"), 100);  // 100 tokens × 0.03 = 3 points since the anchor
  auto running = ClaudeEstimator::estimatedSnapshots(context, at("2025-03-01T12:00:00Z"));
  ASSERT_EQ(running.size(), 1u);
  EXPECT_DOUBLE_EQ(running[0].usedPercent, 33);
  EXPECT_EQ(running[0].resetAt, at("2025-03-02T00:00:00Z"));
  EXPECT_EQ(running[0].windowKind, WindowKind::sevenDay);

  // Eight days after the reset: the window restarted a day ago and resets six days ahead.
  events.emplace(at("2025-03-09T12:00:00Z"), 500);
  auto rolled = ClaudeEstimator::estimatedSnapshots(context, at("2025-03-10T00:00:00Z"));
  ASSERT_EQ(rolled.size(), 1u);
  EXPECT_DOUBLE_EQ(rolled[0].usedPercent, 15);  // 500 × 0.03, without the anchor's 30%
  EXPECT_EQ(rolled[0].resetAt, at("2025-03-16T00:00:00Z"));
}

TEST_F(EstimatorTest, AugmentAppendsEstimatesOnlyForWindowsWithoutFreshLiveData) {
  const Timestamp reading = at("2025-03-10T10:00:00Z");
  events.emplace(at("2025-03-10T09:00:00Z"), 1000);
  std::vector<UsageSnapshot> working{live(WindowKind::fiveHour, 10, reading, at("2025-03-10T13:00:00Z"), 300)};
  // 19 minutes later the live reading still covers its window (and calibrates it).
  auto at19 = ClaudeEstimator::augmentClaude(working, context, addSeconds(reading, 19 * 60));
  EXPECT_EQ(at19.size(), 1u);
  ASSERT_TRUE(ClaudeEstimator::loadAnchor(context.anchorFile())->fiveHour);
  auto at20 = ClaudeEstimator::augmentClaude(working, context, addSeconds(reading, 20 * 60));
  ASSERT_EQ(at20.size(), 2u);
  EXPECT_EQ(at20[0], working[0]);
  EXPECT_EQ(at20[1].source, "claude.transcript");
  // A missing or broken anchor file gives no estimates.
  ASSERT_TRUE(writeFileAtomically(context.anchorFile(), "{\"fiveHour\":{\"usedPercent\":\"x\"}}"));
  EXPECT_EQ(ClaudeEstimator::augmentClaude(working, context, addSeconds(reading, 3600)).size(), 1u);
}

TEST_F(EstimatorTest, AnchorFileRoundTripsInWholeSeconds) {
  ClaudeEstimator::Anchor a;
  a.sevenDay = ClaudeEstimator::WindowAnchor{12.5, 0.0001, at("2025-03-02T00:00:00Z"), 10080, at("2025-03-01T00:00:00Z")};
  const std::string json = ClaudeEstimator::encodeAnchor(a);
  EXPECT_EQ(json.find("fiveHour"), std::string::npos);
  EXPECT_NE(json.find("\"resetAt\":\"2025-03-02T00:00:00Z\""), std::string::npos);
  EXPECT_EQ(ClaudeEstimator::decodeAnchor(json), a);
  EXPECT_FALSE(ClaudeEstimator::decodeAnchor("[]"));
  EXPECT_FALSE(ClaudeEstimator::decodeAnchor("{\"fiveHour\":{}}"));
  EXPECT_EQ(ClaudeEstimator::decodeAnchor("{}"), ClaudeEstimator::Anchor{});
}

struct NameCase {
  const char* id;
  const char* name;
};

class DisplayName : public ::testing::TestWithParam<NameCase> {};

TEST_P(DisplayName, ReadsModelIds) { EXPECT_EQ(ClaudeEstimator::displayName(GetParam().id), GetParam().name); }

INSTANTIATE_TEST_SUITE_P(Ids, DisplayName,
                         ::testing::Values(NameCase{"claude-haiku-4-5-20251001", "Haiku 4.5"},
                                           NameCase{"claude-opus-4-8", "Opus 4.8"},
                                           NameCase{"claude-fable-5[1m]", "Fable 5 (1M context)"},
                                           NameCase{"claude-opus-4-8[1m]", "Opus 4.8 (1M context)"},
                                           NameCase{"claude-3-5-sonnet-20241022", "3.5 Sonnet"},
                                           NameCase{"sonnet--4", "Sonnet 4"}, NameCase{"", ""},
                                           NameCase{"claude-", ""}));

TEST(ClaudeEstimatorMerge, PrefersTheFresherSource) {
  ClaudeCurrentSettings meta;
  meta.modelId = "claude-sonnet-4-5";
  meta.modelDisplayName = "Sonnet 4.5";
  meta.effortLevel = "high";
  meta.capturedAt = at("2025-03-10T10:00:00Z");
  const auto newer = ClaudeEstimator::mergingCurrentModel(meta, std::make_pair(std::string("claude-opus-4-8"), at("2025-03-10T10:00:01Z")));
  ASSERT_TRUE(newer);
  EXPECT_EQ(newer->modelId, "claude-opus-4-8");
  EXPECT_EQ(newer->modelDisplayName, "Opus 4.8");
  EXPECT_EQ(newer->effortLevel, "high");
  EXPECT_EQ(newer->capturedAt, meta.capturedAt);
  EXPECT_EQ(ClaudeEstimator::mergingCurrentModel(meta, std::make_pair(std::string("claude-opus-4-8"), at("2025-03-10T10:00:00Z"))), meta);
  EXPECT_EQ(ClaudeEstimator::mergingCurrentModel(meta, std::nullopt), meta);
  EXPECT_EQ(ClaudeEstimator::mergingCurrentModel(std::nullopt, std::nullopt), std::nullopt);
  const auto onlyTranscript = ClaudeEstimator::mergingCurrentModel(std::nullopt, std::make_pair(std::string("claude-haiku-4-5"), at("2025-03-10T10:00:00Z")));
  ClaudeCurrentSettings expected;
  expected.modelId = "claude-haiku-4-5";
  expected.modelDisplayName = "Haiku 4.5";
  EXPECT_EQ(onlyTranscript, expected);
}

TEST_F(EstimatorTest, EffortScaleComparesCurrentEffortWithRecentReadings) {
  auto statusline = [](const char* effort, const char* ts) {
    UsageSnapshot s = live(WindowKind::sevenDay, 10, at(ts), at("2025-03-12T00:00:00Z"), 10080, SnapshotSource::claudeStatusLine);
    s.effortLevel = effort;
    return s;
  };
  ClaudeCurrentSettings current;
  current.effortLevel = "High";
  const std::vector<UsageSnapshot> recentHigh{statusline("low", "2025-03-10T09:00:00Z"), statusline("high", "2025-03-10T10:00:00Z")};
  EXPECT_EQ(ClaudeEstimator::claudeEffortScale(Provider::claude, recentHigh, current, context), 1.0);
  EXPECT_EQ(ClaudeEstimator::claudeEffortScale(Provider::codex, recentHigh, current, context), 1.0);
  EXPECT_EQ(ClaudeEstimator::claudeEffortScale(Provider::claude, recentHigh, std::nullopt, context), 1.0);

  const std::vector<UsageSnapshot> recentMedium{statusline("high", "2025-03-10T09:00:00Z"), statusline("medium", "2025-03-10T10:00:00Z")};
  // From the scenario table: high 1.0 over medium 0.75.
  EXPECT_DOUBLE_EQ(ClaudeEstimator::claudeEffortScale(Provider::claude, recentMedium, current, context), 1.0 / 0.75);
  // Measured rates take over once both have more than two samples.
  ClaudeEffortCalibration::Store store;
  store.byEffort["high"] = {0.0003, 3};
  store.byEffort["medium"] = {0.0002, 3};
  ASSERT_TRUE(writeFileAtomically(context.ratesFile(), ClaudeEffortCalibration::encode(store)));
  EXPECT_DOUBLE_EQ(ClaudeEstimator::claudeEffortScale(Provider::claude, recentMedium, current, context), 1.5);
  current.effortLevel = "turbo";  // not in the table
  EXPECT_EQ(ClaudeEstimator::claudeEffortScale(Provider::claude, recentMedium, current, context), 1.0);
}

}  // namespace
}  // namespace qd
