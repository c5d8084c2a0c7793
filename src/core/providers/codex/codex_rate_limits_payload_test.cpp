#include "providers/codex/codex_rate_limits_payload.h"

#include <gtest/gtest.h>

#include "providers/codex/codex_parsing.h"

namespace qd {
namespace {

std::optional<CodexRateLimitsPayload> decode(std::string_view text) {
  return CodexRateLimitsPayload::decode(text);
}

std::optional<Timestamp> resetOf(const std::string& resetsAtJson) {
  auto p = decode(R"({"rateLimits":{"primary":{"usedPercent":1,"resetsAt":)" + resetsAtJson + "}}}");
  if (!p || !p->rateLimits || !p->rateLimits->primary) return std::nullopt;
  return p->rateLimits->primary->resetAt;
}

// As the real app-server writes it (members this system ignores included).
constexpr const char* kRealAnswer = R"({
  "rateLimits": {"limitId": "codex", "limitName": null, "normalModelSlug": null,
    "primary": {"usedPercent": 28, "windowDurationMins": 300, "resetsAt": 1796619599},
    "secondary": {"usedPercent": 61, "windowDurationMins": 10080, "resetsAt": 1796965199},
    "credits": {"hasCredits": false, "unlimited": false, "balance": null},
    "individualLimit": null, "planType": "pro", "rateLimitReachedType": null,
    "spendControlReached": false},
  "rateLimitsByLimitId": {"codex": {"limitId": "codex", "primary": {"usedPercent": 28}}},
  "accountId": null, "rateLimitResetCredits": null})";

TEST(CodexRateLimitsPayload, DecodesTheRealAnswerShape) {
  auto p = decode(kRealAnswer);
  ASSERT_TRUE(p);
  ASSERT_TRUE(p->rateLimits);
  EXPECT_EQ(p->rateLimits->limitId, "codex");
  EXPECT_EQ(p->rateLimits->limitName, std::nullopt);
  EXPECT_EQ(p->rateLimits->planType, "pro");
  ASSERT_TRUE(p->rateLimits->primary && p->rateLimits->secondary);
  EXPECT_EQ(p->rateLimits->primary->usedPercent, 28);
  EXPECT_EQ(p->rateLimits->secondary->windowDurationMins, 10080);
  EXPECT_EQ(p->rateLimits->secondary->resetAt, fromUnixSeconds(1796965199));
  ASSERT_TRUE(p->rateLimitsByLimitId);
  EXPECT_EQ(p->rateLimitsByLimitId->size(), 1u);
}

TEST(CodexRateLimitsPayload, ResetsAtIsTolerant) {
  const Timestamp instant = fromUnixSeconds(1796619599);
  EXPECT_EQ(resetOf("1796619599"), instant);
  EXPECT_EQ(resetOf("1796619599000"), instant);  // milliseconds
  EXPECT_EQ(resetOf("1796619599.0"), instant);
  EXPECT_EQ(resetOf(R"("2026-12-07T04:59:59Z")"), instant);
  EXPECT_EQ(resetOf(R"("2026-12-07T04:59:59.000Z")"), instant);
  EXPECT_EQ(resetOf(R"("1796619599")"), instant);
  EXPECT_EQ(resetOf(R"("1796619599000")"), instant);
  // Unreadable values leave resetAt absent; the payload itself still decodes.
  for (const char* bad : {"true", "null", "{}", "[]", R"("soon")", R"(" 1796619599")", R"("")"}) {
    auto p = decode(std::string(R"({"rateLimits":{"primary":{"usedPercent":1,"resetsAt":)") + bad + "}}}");
    ASSERT_TRUE(p) << bad;
    EXPECT_FALSE(p->rateLimits->primary->resetAt) << bad;
  }
}

TEST(CodexRateLimitsPayload, WrongTypesFailTheWholePayload) {
  for (const char* text : {
           R"({"rateLimits":{"primary":{"usedPercent":"28"}}})",
           R"({"rateLimits":{"primary":{"usedPercent":28,"windowDurationMins":"300"}}})",
           R"({"rateLimits":{"limitId":7}})",
           R"({"rateLimits":{"limitName":true}})",
           R"({"rateLimits":{"planType":["pro"]}})",
           R"({"rateLimits":{"rateLimitReachedType":1}})",
           R"({"rateLimits":{"primary":28}})",
           R"({"rateLimits":"codex"})",
           R"({"rateLimitsByLimitId":[]})",
           R"({"rateLimitsByLimitId":{"codex":5}})",
           R"({"rateLimitsByLimitId":{"codex":{"primary":{"usedPercent":false}}}})",
           R"([])", R"("text")", R"(42)", R"(null)", "", "{", "not json",
       })
    EXPECT_FALSE(decode(text)) << text;
}

TEST(CodexRateLimitsPayload, NullAndMissingMembersAreAbsent) {
  for (const char* text : {R"({})", R"({"rateLimits":null,"rateLimitsByLimitId":null})",
                           R"({"somethingNew":{"x":1}})"}) {
    auto p = decode(text);
    ASSERT_TRUE(p) << text;
    EXPECT_TRUE(p->allBuckets().empty()) << text;
  }
  auto p = decode(R"({"rateLimits":{"limitId":null,"primary":null,"secondary":{"usedPercent":null}}})");
  ASSERT_TRUE(p && p->rateLimits);
  EXPECT_FALSE(p->rateLimits->primary);
  ASSERT_TRUE(p->rateLimits->secondary);
  EXPECT_FALSE(p->rateLimits->secondary->usedPercent);
}

TEST(CodexRateLimitsPayload, AllBucketsPrefersRateLimits) {
  auto p = decode(R"({"rateLimitsByLimitId":{"other":{"limitId":"other"}},"rateLimits":{"limitId":"main"}})");
  ASSERT_TRUE(p);
  auto buckets = p->allBuckets();
  ASSERT_EQ(buckets.size(), 1u);
  EXPECT_EQ(buckets[0].limitId, "main");
}

TEST(CodexRateLimitsPayload, AllBucketsTakesTheFirstMapEntryWithItsKeyAsLimitId) {
  auto p = decode(R"({"rateLimitsByLimitId":{"codex_pro":{"primary":{"usedPercent":5}},"b":{}}})");
  ASSERT_TRUE(p);
  auto buckets = p->allBuckets();
  ASSERT_EQ(buckets.size(), 1u);
  EXPECT_EQ(buckets[0].limitId, "codex_pro");
  auto named = decode(R"({"rateLimitsByLimitId":{"key":{"limitId":"own"}}})")->allBuckets();
  EXPECT_EQ(named.at(0).limitId, "own");
  EXPECT_TRUE(decode(R"({"rateLimitsByLimitId":{}})")->allBuckets().empty());
}

TEST(CodexParsing, WindowKindByDuration) {
  const std::pair<std::optional<double>, WindowKind> cases[] = {
      {300, WindowKind::fiveHour},   {240, WindowKind::fiveHour},   {360, WindowKind::fiveHour},
      {239.5, WindowKind::unknown},  {10080, WindowKind::sevenDay}, {9000, WindowKind::sevenDay},
      {11000, WindowKind::sevenDay}, {43200, WindowKind::monthly},  {45000, WindowKind::monthly},
      {1440, WindowKind::unknown},   {0, WindowKind::unknown},      {std::nullopt, WindowKind::unknown},
  };
  for (const auto& [mins, kind] : cases)
    EXPECT_EQ(CodexParsing::windowKind(mins), kind) << (mins ? *mins : -1);
}

TEST(CodexParsing, SnapshotsFromPrimaryThenSecondary) {
  const Timestamp now = fromUnixSeconds(1796600000);
  auto bucket = decode(kRealAnswer)->allBuckets().at(0);
  auto snaps = CodexParsing::snapshots(bucket, now);
  ASSERT_EQ(snaps.size(), 2u);
  EXPECT_EQ(snaps[0].windowKind, WindowKind::fiveHour);
  EXPECT_EQ(snaps[0].usedPercent, 28);
  EXPECT_EQ(snaps[0].remainingPercent, 72);
  EXPECT_EQ(snaps[1].windowKind, WindowKind::sevenDay);
  EXPECT_EQ(snaps[1].usedPercent, 61);
  EXPECT_EQ(snaps[1].resetAt, fromUnixSeconds(1796965199));
  for (const auto& s : snaps) {
    EXPECT_EQ(s.provider, Provider::codex);
    EXPECT_EQ(s.timestamp, now);
    EXPECT_EQ(s.source, "codex.app-server");
    EXPECT_EQ(s.sourceConfidence, SourceConfidence::high);
    EXPECT_EQ(s.limitId, "codex");
    EXPECT_EQ(s.planType, "pro");
    EXPECT_FALSE(s.modelId || s.effortLevel || s.speedMode || s.thinkingEnabled);
  }
  EXPECT_NE(snaps[0].id, snaps[1].id);
}

TEST(CodexParsing, EdgeWindows) {
  const Timestamp now{};
  auto over = CodexParsing::snapshots(
      decode(R"({"rateLimits":{"rateLimitReachedType":"rate_limit_reached","primary":{"usedPercent":104,"windowDurationMins":300},"secondary":{"usedPercent":50}}})")
          ->allBuckets()
          .at(0),
      now);
  ASSERT_EQ(over.size(), 2u);
  EXPECT_EQ(over[0].usedPercent, 104);
  EXPECT_EQ(over[0].remainingPercent, 0);
  EXPECT_EQ(over[1].windowKind, WindowKind::unknown);  // no duration
  EXPECT_EQ(over[1].rateLimitReachedType, "rate_limit_reached");

  auto onlySecondary = CodexParsing::snapshots(
      decode(R"({"rateLimits":{"secondary":{"usedPercent":61,"windowDurationMins":10080}}})")->allBuckets().at(0), now);
  ASSERT_EQ(onlySecondary.size(), 1u);
  EXPECT_EQ(onlySecondary[0].windowKind, WindowKind::sevenDay);

  auto noPercent = CodexParsing::snapshots(
      decode(R"({"rateLimits":{"primary":{"windowDurationMins":300},"secondary":{}}})")->allBuckets().at(0), now);
  EXPECT_TRUE(noPercent.empty());
}

}  // namespace
}  // namespace qd
