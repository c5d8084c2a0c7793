#include "forecasting/recent_figures.h"

#include <gtest/gtest.h>

namespace qd {
namespace {

Timestamp at(const char* iso) { return *parseISO8601(iso); }

RecentFigures sample() {
  RecentFigures f;
  f.key = "UTC|prices 0\nclaude /home/d\xC3\xA9v/.claude/projects";
  f.scannedAt = at("2025-03-10T11:59:59Z") + std::chrono::microseconds(123'456);
  f.tables.dailyTokens[0]["2025-03-09"] = 7;
  f.tables.dailyTokens[1]["2025-03-10"] = 9'000'000'000'000;
  f.tables.hourlyTokens[1][23] = 5;
  f.tables.dailyCostUSD[1]["2025-03-10"] = 0.1 + 0.2;  // not a short decimal
  f.tables.fallbackModels[1] = {"claude-fable-5", "(no model named)"};
  f.rolling = {{29'000'000, at("2025-03-10T11:00:00Z"), 0}, {29'000'001, at("2025-03-10T11:58:00Z"), 42}};
  f.model = RecentFigures::ModelLookup{at("2025-03-10T11:59:00Z"),
                                       UsageHistory::ModelSighting{"claude-opus-4-8", at("2031-01-01T00:00:00Z")}};
  return f;
}

TEST(RecentFiguresFile, WhatIsWrittenReadsBackExactly) {
  const Timestamp now = at("2025-03-10T12:00:00Z");
  for (bool withModel : {true, false}) {
    RecentFigures f = sample();
    if (!withModel) f.model = RecentFigures::ModelLookup{now, std::nullopt};
    const auto back = RecentFiguresFile::decode(RecentFiguresFile::encode(f), f.key, now);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, f);
  }
  RecentFigures never = sample();
  never.scannedAt.reset();
  never.model.reset();
  EXPECT_EQ(RecentFiguresFile::decode(RecentFiguresFile::encode(never), never.key, now), never);
}

TEST(RecentFiguresFile, StampsAheadOfTheClockAreTrustedOnlyWithinTheSlack) {
  RecentFigures f = sample();
  const std::string bytes = RecentFiguresFile::encode(f);
  const Timestamp scanned = *f.scannedAt;
  EXPECT_TRUE(RecentFiguresFile::decode(bytes, f.key, addSeconds(scanned, -RecentFiguresFile::kFutureSlackSeconds)));
  EXPECT_FALSE(RecentFiguresFile::decode(bytes, f.key, addSeconds(scanned, -RecentFiguresFile::kFutureSlackSeconds - 1)));
}

TEST(RecentFiguresFile, AKeyThatIsNotUTF8MatchesOnlyItself) {
  RecentFigures f = sample();
  f.key = "claude /home/\xFF/projects";
  const Timestamp now = at("2025-03-10T12:00:00Z");
  const std::string bytes = RecentFiguresFile::encode(f);
  EXPECT_TRUE(RecentFiguresFile::decode(bytes, f.key, now));
  EXPECT_FALSE(RecentFiguresFile::decode(bytes, "claude /home/x/projects", now));
}

}  // namespace
}  // namespace qd
