#include "storage/json_lines.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace qd {
namespace {

Timestamp at(const char* iso) { return *parseISO8601(iso); }

UsageSnapshot full() {
  UsageSnapshot s;
  s.id = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  s.provider = Provider::claude;
  s.timestamp = at("2026-12-07T04:59:59Z");
  s.windowKind = WindowKind::sevenDay;
  s.usedPercent = 42.5;
  s.remainingPercent = 57.5;
  s.resetAt = at("2026-12-10T00:00:00Z");
  s.windowDurationMins = 10080;
  s.limitId = "seven_day";
  s.limitName = "Weekly / all models";
  s.modelId = "claude-opus-4";
  s.modelDisplayName = "Opus, \"4\"";
  s.effortLevel = "high";
  s.thinkingEnabled = true;
  s.speedMode = "fast";
  s.planType = "max";
  s.rateLimitReachedType = "five_hour";
  s.source = SnapshotSource::claudeOAuth;
  s.sourceConfidence = SourceConfidence::high;
  return s;
}

UsageSnapshot minimal() {
  UsageSnapshot s;
  s.id = *Uuid::parse("00000000-0000-4000-8000-000000000001");
  s.provider = Provider::codex;
  s.timestamp = at("2026-01-02T03:04:05Z");
  s.windowKind = WindowKind::fiveHour;
  s.usedPercent = 3;
  s.remainingPercent = 97;
  s.source = SnapshotSource::codexAppServer;
  s.sourceConfidence = SourceConfidence::medium;
  return s;
}

std::string line(const char* timestampJson, const char* extra = "") {
  return std::string(R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","provider":"codex","timestamp":)") +
         timestampJson + R"(,"windowKind":"fiveHour","usedPercent":1,"remainingPercent":99)" + extra +
         R"(,"source":"demo","sourceConfidence":"low"})";
}

TEST(JSONLinesEncodeTest, KeysInFieldOrderOptionalsOmittedSlashesBare) {
  EXPECT_EQ(*JSONLines::encodeLine(minimal()),
            R"({"id":"00000000-0000-4000-8000-000000000001","provider":"codex","timestamp":"2026-01-02T03:04:05Z",)"
            R"("windowKind":"fiveHour","usedPercent":3.0,"remainingPercent":97.0,"source":"codex.app-server",)"
            R"("sourceConfidence":"medium"})");
  const std::string text = *JSONLines::encodeLine(full());
  const auto parsed = nlohmann::ordered_json::parse(text);
  std::vector<std::string> keys;
  for (const auto& [k, v] : parsed.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"id", "provider", "timestamp", "windowKind", "usedPercent",
                                            "remainingPercent", "resetAt", "windowDurationMins", "limitId",
                                            "limitName", "modelId", "modelDisplayName", "effortLevel",
                                            "thinkingEnabled", "speedMode", "planType", "rateLimitReachedType",
                                            "source", "sourceConfidence"}));
  EXPECT_NE(text.find("Weekly / all models"), std::string::npos);
  EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST(JSONLinesEncodeTest, ShortestRoundTripNumbersAndWholeSeconds) {
  UsageSnapshot s = minimal();
  s.usedPercent = 0.1 + 0.2;
  s.remainingPercent = 1e-7;
  s.timestamp = at("2026-01-02T03:04:05.987654Z");
  const std::string text = *JSONLines::encodeLine(s);
  EXPECT_NE(text.find("\"usedPercent\":0.30000000000000004"), std::string::npos) << text;
  EXPECT_NE(text.find("\"timestamp\":\"2026-01-02T03:04:05Z\""), std::string::npos) << text;
}

TEST(JSONLinesEncodeTest, RefusesWhatTheFileCannotCarry) {
  UsageSnapshot nan = minimal();
  nan.usedPercent = std::nan("");
  UsageSnapshot inf = minimal();
  inf.windowDurationMins = INFINITY;
  UsageSnapshot farFuture = minimal();
  farFuture.resetAt = fromUnixSeconds(4e11);
  for (const auto& s : {nan, inf, farFuture}) EXPECT_FALSE(JSONLines::encodeLine(s));
  UsageSnapshot badText = minimal();
  badText.modelId = std::string("ok\xff", 3);
  auto repaired = JSONLines::decodeLine(*JSONLines::encodeLine(badText));
  ASSERT_TRUE(repaired);
  EXPECT_EQ(*repaired->modelId, "ok\xEF\xBF\xBD");
}

TEST(JSONLinesRoundTripTest, ReadsBackEqualExceptSubSeconds) {
  UsageSnapshot withFraction = full();
  withFraction.timestamp = at("2026-12-07T04:59:59.75Z");
  withFraction.resetAt = at("2026-12-10T00:00:00.5Z");
  for (const auto& original : {full(), minimal(), withFraction}) {
    auto back = JSONLines::decodeLine(*JSONLines::encodeLine(original));
    ASSERT_TRUE(back);
    UsageSnapshot expected = original;
    expected.timestamp = std::chrono::floor<std::chrono::seconds>(original.timestamp);
    if (expected.resetAt) expected.resetAt = std::chrono::floor<std::chrono::seconds>(*original.resetAt);
    EXPECT_EQ(*back, expected);
  }
}

TEST(JSONLinesDecodeTest, LenientTimestamps) {
  const Timestamp second = at("2026-12-07T04:59:59Z");
  struct Case {
    const char* json;
    std::optional<Timestamp> expected;
  };
  const Case cases[] = {
      {R"("2026-12-07T04:59:59Z")", second},
      {R"("2026-12-07T04:59:59.943648+00:00")", at("2026-12-07T04:59:59.943648Z")},
      {R"("2026-12-07T05:59:59+01:00")", second},
      {"1796619599", second},
      {"1796619599000", second},  // milliseconds above 5e9
      {R"("1796619599000")", second},
      {R"("1796619599.5")", at("2026-12-07T04:59:59.5Z")},
      {R"(" 1796619599000")", std::nullopt},
      {R"("1796619599000 ")", std::nullopt},
      {R"("\t1796619599")", std::nullopt},
      {R"("nan")", std::nullopt},
      {R"("0x1p3")", std::nullopt},
      {R"("2026-12-07 04:59:59Z")", std::nullopt},
      {R"("")", std::nullopt},
      {"true", std::nullopt},
      {"null", std::nullopt},
      {"{}", std::nullopt},
      {"1e300", std::nullopt},
  };
  for (const auto& c : cases) {
    auto s = JSONLines::decodeLine(line(c.json));
    EXPECT_EQ(s.has_value(), c.expected.has_value()) << c.json;
    if (s && c.expected) {
      EXPECT_EQ(s->timestamp, *c.expected) << c.json;
    }
  }
}

TEST(JSONLinesDecodeTest, ParseDateOverloads) {
  EXPECT_EQ(JSONLines::parseDate(5e9), fromUnixSeconds(5e9));  // not above the threshold: seconds
  EXPECT_EQ(JSONLines::parseDate(5e9 + 1000), fromUnixSeconds(5e6 + 1));
  EXPECT_EQ(JSONLines::parseDate(nlohmann::json(1796619599)), at("2026-12-07T04:59:59Z"));
  EXPECT_EQ(JSONLines::parseDate(nlohmann::json("2026-12-07T04:59:59Z")), at("2026-12-07T04:59:59Z"));
  EXPECT_FALSE(JSONLines::parseDate(nlohmann::json::array()));
  EXPECT_FALSE(JSONLines::parseDate(std::string_view("-")));
  EXPECT_EQ(JSONLines::kUnrecognisedDate, "Unrecognised date");
}

TEST(JSONLinesDecodeTest, WholeRecordFailsOnBadRequiredOrTypedValue) {
  const char* good = R"(,"resetAt":null,"modelId":null,"thinkingEnabled":null)";
  ASSERT_TRUE(JSONLines::decodeLine(line("1796619599", good)));
  const std::string cases[] = {
      R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","provider":"gemini","timestamp":1,"windowKind":"fiveHour","usedPercent":1,"remainingPercent":99,"source":"demo","sourceConfidence":"low"})",
      R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","provider":"codex","timestamp":1,"windowKind":"fiveHour","usedPercent":1,"remainingPercent":99,"sourceConfidence":"low"})",
      R"({"id":"not-a-uuid","provider":"codex","timestamp":1,"windowKind":"fiveHour","usedPercent":1,"remainingPercent":99,"source":"demo","sourceConfidence":"low"})",
      R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","provider":"codex","timestamp":1,"windowKind":"fiveHour","usedPercent":"1","remainingPercent":99,"source":"demo","sourceConfidence":"low"})",
      R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","provider":"codex","timestamp":1,"windowKind":"hourly","usedPercent":1,"remainingPercent":99,"source":"demo","sourceConfidence":"low"})",
      R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","provider":"codex","timestamp":1,"windowKind":"fiveHour","usedPercent":1,"remainingPercent":99,"source":"demo","sourceConfidence":"LOW"})",
      line("1", R"(,"thinkingEnabled":1)"),
      line("1", R"(,"modelId":42)"),
      line("1", R"(,"resetAt":"tomorrow")"),
      line("1", R"(,"windowDurationMins":"300")"),
      line("1") + " trailing",
      line("1") + "{}",
      "[" + line("1") + "]",
      line("1").substr(0, 60),
  };
  for (const auto& c : cases) EXPECT_FALSE(JSONLines::decodeLine(c)) << c;
  // Unknown keys are ignored; surrounding blanks and a final line break are fine.
  EXPECT_TRUE(JSONLines::decodeLine(" \t" + line("1", R"(,"future":{"a":[1,2,{"b":null}]})") + "\t\r\n"));
}

TEST(JSONLinesDecodeTest, LinesSkipBadOnesAndKeepOrder) {
  const std::string a = *JSONLines::encodeLine(minimal());
  const std::string b = *JSONLines::encodeLine(full());
  const std::string text = a + "\n\n   \n" + a.substr(0, a.size() / 2) + "\n{\"id\":1}\r\n" + b + "\r" + a;
  const auto got = JSONLines::decodeLines(text);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].provider, Provider::codex);
  EXPECT_EQ(got[1].provider, Provider::claude);
  EXPECT_EQ(got[2].provider, Provider::codex);
  EXPECT_TRUE(JSONLines::decodeLines("").empty());
  // A line break inside one line would make it two.
  EXPECT_FALSE(JSONLines::decodeLine(a.substr(0, 20) + "\n" + a.substr(20)));
}

}  // namespace
}  // namespace qd
