#include "providers/claude/claude_oauth_usage.h"

#include <gtest/gtest.h>

namespace qd {
namespace {

using Status = ClaudeOAuthUsage::Status;
using Extra = ClaudeOAuthUsage::ExtraUsage;

const Timestamp kNow = fromUnixSeconds(1'796'000'000);

std::vector<UsageSnapshot> parsed(const std::string& body) {
  auto out = ClaudeOAuthUsage::parse(body, kNow);
  EXPECT_TRUE(out.has_value()) << body;
  return out.value_or(std::vector<UsageSnapshot>{});
}

TEST(ClaudeUsageParse, MapsEachKnownKeyToItsWindow) {
  struct Row {
    std::string key;
    WindowKind kind;
    double minutes;
    std::string limitName;
  };
  const std::vector<Row> rows = {
      {"five_hour", WindowKind::fiveHour, 300, "fiveHour"},   {"current_session", WindowKind::fiveHour, 300, "fiveHour"},
      {"session", WindowKind::fiveHour, 300, "fiveHour"},     {"seven_day", WindowKind::sevenDay, 10080, "sevenDay"},
      {"weekly", WindowKind::sevenDay, 10080, "sevenDay"},    {"seven_day_overall", WindowKind::sevenDay, 10080, "sevenDay"},
      {"seven_day_sonnet", WindowKind::weekly, 10080, "Sonnet 7d"},
  };
  for (const auto& r : rows) {
    auto snaps = parsed(R"({")" + r.key + R"(": {"utilization": 42}})");
    ASSERT_EQ(snaps.size(), 1u) << r.key;
    const auto& s = snaps[0];
    EXPECT_EQ(s.windowKind, r.kind);
    EXPECT_EQ(s.windowDurationMins, r.minutes);
    EXPECT_EQ(s.limitName, r.limitName);
    EXPECT_EQ(s.provider, Provider::claude);
    EXPECT_EQ(s.timestamp, kNow);
    EXPECT_EQ(s.source, "claude.oauth");
    EXPECT_EQ(s.sourceConfidence, SourceConfidence::high);
    EXPECT_DOUBLE_EQ(s.usedPercent, 42);
    EXPECT_DOUBLE_EQ(s.remainingPercent, 58);
  }
  EXPECT_TRUE(parsed(R"({"seven_day_opus": {"utilization": 1}, "seven_day_oauth_apps": null})").empty());
}

TEST(ClaudeUsageParse, ReadsTheFirstPercentMemberAndClampsIt) {
  struct Row {
    std::string window;
    std::optional<double> used;
  };
  const std::vector<Row> rows = {
      {R"({"utilization": 150})", 100},
      {R"({"utilization": -5})", 0},
      {R"({"used_percentage": 7})", 7},
      {R"({"used_pct": 8.5})", 8.5},
      {R"({"percent_used": 9})", 9},
      {R"({"utilization": "12", "used_pct": 13})", 13},
      {R"({"utilization": null})", std::nullopt},
      {R"({"resets_at": 1})", std::nullopt},
  };
  for (const auto& r : rows) {
    auto snaps = parsed(R"({"five_hour": )" + r.window + "}");
    if (!r.used) {
      EXPECT_TRUE(snaps.empty()) << r.window;
      continue;
    }
    ASSERT_EQ(snaps.size(), 1u) << r.window;
    EXPECT_DOUBLE_EQ(snaps[0].usedPercent, *r.used) << r.window;
    EXPECT_DOUBLE_EQ(snaps[0].remainingPercent, 100 - *r.used) << r.window;
  }
}

TEST(ClaudeUsageParse, ReadsResetTimesInEveryForm) {
  struct Row {
    std::string value;
    std::optional<std::string> expected;
  };
  const std::vector<Row> rows = {
      {R"("2026-12-07T04:59:59.943648+00:00")", "2026-12-07T04:59:59Z"},
      {R"("2026-12-07T05:00:00Z")", "2026-12-07T05:00:00Z"},
      {R"("2026-12-07T06:00:00+01:00")", "2026-12-07T05:00:00Z"},
      {"1796880000", "2026-12-10T05:20:00Z"},
      {"1796880000000", "2026-12-10T05:20:00Z"},
      {"5000000000", "2128-06-11T08:53:20Z"},
      {"null", std::nullopt},
      {R"("soon")", std::nullopt},
      {"true", std::nullopt},
  };
  for (const auto& r : rows) {
    auto snaps = parsed(R"({"five_hour": {"utilization": 1, "resets_at": )" + r.value + "}}");
    ASSERT_EQ(snaps.size(), 1u) << r.value;
    if (r.expected)
      EXPECT_EQ(snaps[0].resetAt ? formatISO8601(*snaps[0].resetAt) : "absent", *r.expected) << r.value;
    else
      EXPECT_FALSE(snaps[0].resetAt.has_value()) << r.value;
  }
}

TEST(ClaudeUsageParse, FirstCandidatePerWindowWinsAndNestingStopsAtOneLevel) {
  auto snaps = parsed(R"({"five_hour": {"utilization": 1}, "session": {"utilization": 2},
                          "wrap": {"seven_day": {"utilization": 3}, "five_hour": {"utilization": 4}},
                          "deep": {"deeper": {"seven_day_sonnet": {"utilization": 5}}}})");
  ASSERT_EQ(snaps.size(), 2u);
  EXPECT_DOUBLE_EQ(snaps[0].usedPercent, 1);
  EXPECT_EQ(snaps[1].windowKind, WindowKind::sevenDay);
  EXPECT_DOUBLE_EQ(snaps[1].usedPercent, 3);
  EXPECT_NE(snaps[0].id, snaps[1].id);

  EXPECT_FALSE(ClaudeOAuthUsage::parse("[]", kNow).has_value());
  EXPECT_FALSE(ClaudeOAuthUsage::parse("{", kNow).has_value());
  EXPECT_TRUE(parsed("{}").empty());
}

TEST(ClaudeUsageParse, ExtraUsageInMajorUnits) {
  struct Row {
    std::string body;
    std::optional<Extra> expected;
  };
  const std::vector<Row> rows = {
      {R"({"extra_usage": {"is_enabled": true, "used_credits": 1234, "monthly_limit": 5000}})", Extra{true, 12.34, 50.0, "GBP"}},
      {R"({"extra_usage": {"is_enabled": false, "used_credits": 12.5, "monthly_limit": null, "currency": "USD"}})",
       Extra{false, 0.125, std::nullopt, "USD"}},
      {R"({"extra_usage": {"is_enabled": "yes", "currency": 5}})", Extra{false, 0, std::nullopt, "GBP"}},
      {R"({"extra_usage": null})", std::nullopt},
      {R"({"five_hour": {"utilization": 1}})", std::nullopt},
  };
  for (const auto& r : rows) EXPECT_EQ(ClaudeOAuthUsage::parseExtraUsage(r.body), r.expected) << r.body;
}

TEST(ClaudeUsageStatus, Labels) {
  EXPECT_EQ(Status::ok(3).label(), "ok (3 windows)");
  EXPECT_EQ(Status::httpError(429).label(), "HTTP 429");
  EXPECT_EQ(Status::networkError("Timeout was reached").label(), "network: Timeout was reached");
  EXPECT_EQ(Status::refreshFailed("HTTP 400").label(), "token refresh failed: HTTP 400");
  EXPECT_EQ(Status::tokenExpired().label(), "token expired \u2014 waiting for Claude to refresh it");
  EXPECT_EQ(Status::noCredential().label(), "no Claude Code credential found");
  EXPECT_EQ(Status::parseError().label(), "unrecognised response shape");
  EXPECT_NE(Status::httpError(429), Status::httpError(500));
  EXPECT_NE(Status::refreshFailed("a"), Status::refreshFailed("b"));
}

}  // namespace
}  // namespace qd
