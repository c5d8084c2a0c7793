#include "app/usage_test_mode.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <fstream>

#include "app/manual_main_loop.h"
#include "forecasting/usage_history.h"
#include "testing/shipped_prices.h"

namespace qd {
namespace {

namespace fs = std::filesystem;

Timestamp at(const char* iso) { return *parseISO8601(iso); }

class UsageReportTest : public ::testing::Test {
 protected:
  UsageReportTest() {
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    char tmpl[] = "/tmp/qd-usagereport-XXXXXX";
    root_ = ::mkdtemp(tmpl);
  }
  ~UsageReportTest() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
    ::unsetenv("TZ");
    ::tzset();
  }
  void write(const fs::path& rel, const std::string& text) {
    const fs::path p = root_ / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
    const int64_t secs = 1'741'600'000;  // 2025-03-10T09:46:40Z
    struct timespec t[2] = {{secs, 0}, {secs, 0}};
    ::utimensat(AT_FDCWD, p.c_str(), t, 0);
  }
  UsageHistory::Options options() {
    UsageHistory::Options o;
    o.claudeProjects = (root_ / "projects").string();
    o.codexDirectories = {(root_ / "sessions").string()};
    o.cacheFile = (root_ / "cache.json").string();
    o.clock = &clock;
    o.prices = qd::testing::shippedPrices();
    return o;
  }
  ManualClock clock{at("2025-03-10T12:00:00Z")};
  fs::path root_;
};

TEST_F(UsageReportTest, PrintsSevenDaysAverageSpendAndPeak) {
  write("projects/p/s.jsonl",
        R"({"timestamp":"2025-03-10T22:00:00Z","message":{"model":"claude-opus-4-8","usage":{"input_tokens":1500000,"output_tokens":0}}})" "\n"
        R"({"timestamp":"2025-03-09T23:00:00Z","usage":{"input_tokens":999,"output_tokens":0}})" "\n"
        R"({"timestamp":"2025-03-01T23:00:00Z","usage":{"input_tokens":5,"output_tokens":0}})" "\n");
  write("sessions/r.jsonl",
        R"({"timestamp":"2025-03-08T01:00:00Z","payload":{"type":"token_count","info":{"last_token_usage":{"input_tokens":2000000000,"cached_input_tokens":0,"output_tokens":0,"total_tokens":2000000000}}}})" "\n"
        R"({"timestamp":"2025-03-07T01:00:00Z","payload":{"type":"token_count","info":{"last_token_usage":{"input_tokens":12345,"total_tokens":12345}}}})" "\n");
  UsageHistory history(options());
  history.refreshSync();
  const std::string expected =
      "\n=== Codex daily tokens ===\n"
      "  2025-03-04: 0  (0)\n"
      "  2025-03-05: 0  (0)\n"
      "  2025-03-06: 0  (0)\n"
      "  2025-03-07: 12K  (12345)\n"
      "  2025-03-08: 2.0B  (2000000000)\n"
      "  2025-03-09: 0  (0)\n"
      "  2025-03-10: 0  (0)\n"
      "  avg/day: 1.0B\n"
      "  est spend 7d: $2500.02 (~\u00a31975.01)\n"
      "\n=== Claude Code daily tokens ===\n"
      "  2025-03-04: 0  (0)\n"
      "  2025-03-05: 0  (0)\n"
      "  2025-03-06: 0  (0)\n"
      "  2025-03-07: 0  (0)\n"
      "  2025-03-08: 0  (0)\n"
      "  2025-03-09: 999  (999)\n"
      "  2025-03-10: 2M  (1500000)\n"
      "  avg/day: 750K\n"
      "  est spend 7d: $7.50 (~\u00a35.93)\n"
      "\nPeak window (local): 00:00-04:00\n"
      "\n";
  EXPECT_EQ(usageTestReport(history, at("2025-03-10T12:00:00Z")), expected);
}

TEST_F(UsageReportTest, NoPeakLineWithoutTokens) {
  UsageHistory history(options());
  history.refreshSync();
  const std::string report = usageTestReport(history, at("2025-03-10T12:00:00Z"));
  EXPECT_EQ(report.find("Peak window"), std::string::npos);
  EXPECT_NE(report.find("  avg/day: 0\n  est spend 7d: $0.00 (~\u00a30.00)\n"), std::string::npos);
  EXPECT_EQ(report.substr(report.size() - 3), ")\n\n");
}

}  // namespace
}  // namespace qd
