#include "providers/claude/claude_bridge_files.h"

#include <gtest/gtest.h>

#include <fstream>

#include "testing/temp_dir.h"

namespace qd {
namespace {

TEST(ClaudeBridgeMeta, DecodesTheBridgesRecord) {
  auto meta = ClaudeBridgeFiles::decodeMeta(
      R"({"modelId":"claude-opus-4-8","modelDisplayName":"Opus 4.8","effortLevel":"high","thinkingEnabled":true,"capturedAt":"2026-12-06T23:54:34Z","extra":1})");
  ASSERT_TRUE(meta);
  EXPECT_EQ(meta->modelId, "claude-opus-4-8");
  EXPECT_EQ(meta->modelDisplayName, "Opus 4.8");
  EXPECT_EQ(meta->effortLevel, "high");
  EXPECT_EQ(meta->thinkingEnabled, true);
  EXPECT_EQ(formatISO8601(*meta->capturedAt), "2026-12-06T23:54:34Z");
  EXPECT_EQ(ClaudeBridgeFiles::decodeMeta(ClaudeBridgeFiles::encodeMeta(*meta)), meta);
}

TEST(ClaudeBridgeMeta, EveryMemberIsOptionalButTypesAreStrict) {
  struct Row {
    std::string text;
    bool decodes;
  };
  const std::vector<Row> rows = {
      {"{}", true},
      {R"({"effortLevel": null})", true},
      {R"({"capturedAt": "2026-12-06T23:54:34+00:00"})", true},
      {R"({"capturedAt": "2026-12-06T23:54:34.123Z"})", false},
      {R"({"capturedAt": "yesterday"})", false},
      {R"({"capturedAt": 1796000000})", false},
      {R"({"modelId": 5})", false},
      {R"({"thinkingEnabled": "yes"})", false},
      {"[]", false},
      {"", false},
      {"{\"modelId\":", false},
  };
  for (const auto& r : rows) EXPECT_EQ(ClaudeBridgeFiles::decodeMeta(r.text).has_value(), r.decodes) << r.text;
}

TEST(ClaudeBridgeMeta, MissingFileReadsAsNothing) {
  testing::TempDir dir;
  EXPECT_FALSE(ClaudeBridgeFiles::readMeta(dir / "claude-meta.json"));
  std::ofstream(dir / "claude-meta.json") << R"({"effortLevel":"low"})";
  EXPECT_EQ(ClaudeBridgeFiles::readMeta(dir / "claude-meta.json")->effortLevel, "low");
}

TEST(ClaudeBridgeStatusState, RawValuesAreCaseNames) {
  std::vector<std::string> names;
  for (auto s : allCases<ClaudeBridgeStatus::State>()) names.emplace_back(rawValue(s));
  EXPECT_EQ(names, (std::vector<std::string>{"error", "notInstalled", "installed", "wrapping", "foreign"}));
  EXPECT_EQ(enumFromRaw<ClaudeBridgeStatus::State>("wrapping"), ClaudeBridgeStatus::State::wrapping);
}

}  // namespace
}  // namespace qd
