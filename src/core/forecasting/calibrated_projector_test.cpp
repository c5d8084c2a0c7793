#include "forecasting/calibrated_projector.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "app/manual_main_loop.h"
#include "forecasting/usage_history.h"

namespace qd {
namespace {

namespace fs = std::filesystem;

Timestamp at(const char* iso) { return *parseISO8601(iso); }

std::string line(const char* ts, int64_t tokens) {
  return std::string(R"({"timestamp":")") + ts + R"(","usage":{"input_tokens":)" + std::to_string(tokens) + "}}\n";
}

class CalibratedProjectorTest : public ::testing::Test {
 protected:
  CalibratedProjectorTest() {
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    char tmpl[] = "/tmp/qd-projector-XXXXXX";
    root_ = ::mkdtemp(tmpl);
    fs::create_directories(root_ / "projects" / "p");
  }
  ~CalibratedProjectorTest() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
    ::unsetenv("TZ");
    ::tzset();
  }
  std::unique_ptr<UsageHistory> history(const std::string& body) {
    std::ofstream(root_ / "projects" / "p" / "s.jsonl") << body;
    UsageHistory::Options o;
    o.claudeProjects = (root_ / "projects").string();
    o.cacheFile = (root_ / "cache.json").string();
    o.clock = &clock;
    auto h = std::make_unique<UsageHistory>(o);
    h->refreshSync();
    return h;
  }
  static UsageSnapshot weekly(double used) {
    UsageSnapshot s;
    s.provider = Provider::claude;
    s.windowKind = WindowKind::sevenDay;
    s.usedPercent = used;
    s.timestamp = at("2025-03-10T11:00:00Z");
    s.resetAt = at("2025-03-13T00:00:00Z");
    s.windowDurationMins = 10080;
    return s;
  }
  ManualClock clock{at("2025-03-10T12:00:00Z")};
  fs::path root_;
};

TEST_F(CalibratedProjectorTest, ProjectsTypicalDaysOfUseUntilTheReset) {
  // 1000, 1000 and 2000 tokens on the last three days, at 10:00 and 09:00.
  auto h = history(line("2025-03-08T10:00:00Z", 1000) + line("2025-03-09T10:00:00Z", 1000) +
                   line("2025-03-10T09:00:00Z", 2000));
  const Timestamp now = at("2025-03-10T12:00:00Z");
  const auto c = CalibratedProjector::project(Provider::claude, weekly(20), *h, 1.0, now);
  ASSERT_TRUE(c);
  const double average = 4000.0 / 3, weighted = (2000 + 0.6 * 1000 + 0.36 * 1000) / 1.96;
  EXPECT_EQ(c->tokensThisWindow, 4000);
  EXPECT_DOUBLE_EQ(c->avgDailyTokens, weighted);
  // Two whole days of typical use remain (today's busy hours are over).
  EXPECT_NEAR(c->projectedUsedAtReset, 20 + 0.005 * weighted * 2, 1e-9);
  EXPECT_NEAR(c->daysRemaining, 2.5, 1e-12);
  EXPECT_NEAR(c->dailyBurnPercent, 0.005 * average, 1e-12);
  EXPECT_NEAR(c->daysOfHeadroom, 80 / (0.005 * average), 1e-9);
  EXPECT_EQ(c->activeDays, 3);
  EXPECT_FALSE(c->spiking);

  // The effort scale multiplies the burn; the projection stays within 0…140.
  const auto scaled = CalibratedProjector::project(Provider::claude, weekly(20), *h, 2.0, now);
  EXPECT_NEAR(scaled->projectedUsedAtReset, 20 + 2 * 0.005 * weighted * 2, 1e-9);
  EXPECT_EQ(CalibratedProjector::project(Provider::claude, weekly(20), *h, 1000.0, now)->projectedUsedAtReset, 140);
}

TEST_F(CalibratedProjectorTest, RecentSpikeUsesTheWeightedAverage) {
  auto h = history(line("2025-03-08T10:00:00Z", 100) + line("2025-03-09T10:00:00Z", 100) +
                   line("2025-03-10T09:00:00Z", 10000));
  const auto c = CalibratedProjector::project(Provider::claude, weekly(20), *h, 1.0, at("2025-03-10T12:00:00Z"));
  ASSERT_TRUE(c);
  EXPECT_TRUE(c->spiking);
}

TEST_F(CalibratedProjectorTest, MissingInputsGiveNoProjection) {
  auto h = history(line("2025-03-09T10:00:00Z", 1000));
  const Timestamp now = at("2025-03-10T12:00:00Z");
  auto noReset = weekly(20);
  noReset.resetAt.reset();
  auto noDuration = weekly(20);
  noDuration.windowDurationMins = 0;
  auto beforeAnyTokens = weekly(20);
  beforeAnyTokens.resetAt = at("2025-03-20T00:00:00Z");  // window starts after the last line
  for (const auto& s : {noReset, noDuration, weekly(0), beforeAnyTokens})
    EXPECT_FALSE(CalibratedProjector::project(Provider::claude, s, *h, 1.0, now));
  EXPECT_FALSE(CalibratedProjector::project(Provider::codex, weekly(20), *h, 1.0, now));
  // Tokens this window but none in the last seven days.
  EXPECT_FALSE(CalibratedProjector::project(Provider::claude, weekly(20), *h, 1.0, at("2025-03-30T12:00:00Z")));
}

}  // namespace
}  // namespace qd
