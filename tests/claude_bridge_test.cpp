// The status-line bridge run the way Claude Code runs it: a shell command with
// the status-line JSON on standard input, from the project's directory.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "claude_test_support.h"
#include "providers/claude/claude_bridge_files.h"
#include "storage/file_lock.h"
#include "storage/snapshot_store.h"

namespace qd {
namespace {

using testing::readFile;
using testing::runProcess;
using testing::TempDir;
using testing::writeFile;
using Json = nlohmann::json;

const std::string kInput = R"({"session_id": "s1", "transcript_path": "/tmp/t.jsonl", "cwd": "/work/p",
  "model": {"id": "claude-opus-4-8", "display_name": "Opus 4.8"},
  "effort": {"level": "xhigh"}, "thinking": {"enabled": true},
  "rate_limits": {"five_hour": {"used_percentage": 12.5, "resets_at": 1796880000},
                  "seven_day": {"used_percentage": 40, "resets_at": "2026-12-10T04:59:59.943648+00:00"}}})";

class BridgeTest : public ::testing::Test {
 protected:
  BridgeTest() {
    std::filesystem::create_directories(support());
    std::filesystem::create_directories(project());
    std::filesystem::copy_file(std::filesystem::path(QUOTADIAL_TEST_FAKES_DIR) / ".." / ".." / "resources" /
                                   ClaudeBridgeFiles::kScriptFileName,
                               script());
  }
  std::filesystem::path support() const { return dir_ / "data" / "Quotadial"; }
  std::filesystem::path project() const { return dir_ / "project"; }
  std::filesystem::path script() const { return support() / ClaudeBridgeFiles::kScriptFileName; }

  testing::ProcessResult run(const std::string& input) {
    // Through the shell, as Claude Code starts a status-line command, with no
    // hint of the data directory in the environment.
    return runProcess({"/bin/sh", "-c", "python3 \"" + script().string() + "\""},
                      {{"XDG_DATA_HOME", ""}, {"HOME", (dir_ / "home").string()}}, input, project(), 20);
  }
  std::vector<UsageSnapshot> stored() {
    SnapshotStore store(support() / "snapshots.ndjson");
    return *store.all();
  }

  TempDir dir_;
};

TEST_F(BridgeTest, RecordsBothWindowsAndTheCurrentSettings) {
  auto result = run(kInput);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "Opus 4.8 \u00b7 5h 12% \u00b7 7d 40%\n");

  auto snaps = stored();
  ASSERT_EQ(snaps.size(), 2u);
  EXPECT_EQ(snaps[0].windowKind, WindowKind::fiveHour);
  EXPECT_EQ(snaps[0].windowDurationMins, 300);
  EXPECT_DOUBLE_EQ(snaps[0].usedPercent, 12.5);
  EXPECT_DOUBLE_EQ(snaps[0].remainingPercent, 87.5);
  EXPECT_EQ(formatISO8601(*snaps[0].resetAt), "2026-12-10T05:20:00Z");
  EXPECT_EQ(snaps[1].windowKind, WindowKind::sevenDay);
  EXPECT_EQ(snaps[1].windowDurationMins, 10080);
  EXPECT_EQ(formatISO8601(*snaps[1].resetAt), "2026-12-10T04:59:59Z");
  for (const auto& s : snaps) {
    EXPECT_EQ(s.provider, Provider::claude);
    EXPECT_EQ(s.source, "claude.statusline");
    EXPECT_EQ(s.modelId, "claude-opus-4-8");
    EXPECT_EQ(s.modelDisplayName, "Opus 4.8");
    EXPECT_EQ(s.effortLevel, "xhigh");
    EXPECT_EQ(s.thinkingEnabled, true);
  }
  // Keys in the record's field order.
  const std::string line = testing::lines(readFile(support() / "snapshots.ndjson"))[0];
  EXPECT_LT(line.find("\"id\""), line.find("\"provider\""));
  EXPECT_LT(line.find("\"resetAt\""), line.find("\"windowDurationMins\""));
  EXPECT_LT(line.find("\"thinkingEnabled\""), line.find("\"source\""));

  auto meta = ClaudeBridgeFiles::readMeta(support() / "claude-meta.json");
  ASSERT_TRUE(meta);
  EXPECT_EQ(meta->modelId, "claude-opus-4-8");
  EXPECT_EQ(meta->effortLevel, "xhigh");
  EXPECT_EQ(meta->thinkingEnabled, true);
  EXPECT_TRUE(meta->capturedAt.has_value());
}

TEST_F(BridgeTest, UnchangedRedrawsWithinAMinuteAddNoLines) {
  ASSERT_EQ(run(kInput).status, 0);
  ASSERT_EQ(run(kInput).status, 0);
  EXPECT_EQ(stored().size(), 2u);
  Json changed = Json::parse(kInput);
  changed["rate_limits"]["five_hour"]["used_percentage"] = 13;
  ASSERT_EQ(run(changed.dump()).status, 0);
  auto snaps = stored();
  ASSERT_EQ(snaps.size(), 3u);
  EXPECT_DOUBLE_EQ(snaps[2].usedPercent, 13);
  EXPECT_EQ(snaps[2].windowKind, WindowKind::fiveHour);
}

TEST_F(BridgeTest, StoresPercentagesWithoutFloatingPointNoise) {
  Json input = Json::parse(kInput);
  input["rate_limits"]["five_hour"]["used_percentage"] = 55.00000000000001;
  input["rate_limits"]["seven_day"]["used_percentage"] = 100.0 / 3.0;
  ASSERT_EQ(run(input.dump()).status, 0);
  const auto lines = testing::lines(readFile(support() / "snapshots.ndjson"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("\"usedPercent\":55.0,\"remainingPercent\":45.0,"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("\"usedPercent\":33.33,\"remainingPercent\":66.67,"), std::string::npos) << lines[1];
}

TEST_F(BridgeTest, WrapsTheFormerStatusLineCommandWithTheSameInput) {
  const auto seen = dir_ / "seen.json";
  writeFile(support() / "claude-prev-statusline.json",
            Json{{"command", "cat > '" + seen.string() + "'; printf 'mine: %s' \"$(pwd)\""}}.dump());
  auto result = run(kInput);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "mine: " + project().string());
  EXPECT_EQ(readFile(seen), kInput);
  EXPECT_EQ(stored().size(), 2u);
}

TEST_F(BridgeTest, WithoutRateLimitsOnlyTheSettingsAreRecorded) {
  Json input = Json::parse(kInput);
  input.erase("rate_limits");
  input.erase("effort");
  auto result = run(input.dump());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "Opus 4.8\n");
  EXPECT_TRUE(stored().empty());
  auto meta = ClaudeBridgeFiles::readMeta(support() / "claude-meta.json");
  ASSERT_TRUE(meta);
  EXPECT_EQ(meta->modelId, "claude-opus-4-8");
  EXPECT_FALSE(meta->effortLevel.has_value());
}

TEST_F(BridgeTest, GarbageOnStandardInputStillDrawsALine) {
  for (const std::string input : {"", "garbage \xff\xfe", "[1,2,3]", R"({"rate_limits": {"five_hour": {"used_percentage": "lots"}}})",
                                  R"({"rate_limits": {"five_hour": {"used_percentage": NaN}}})",
                                  R"({"rate_limits": "none", "model": 7})"}) {
    auto result = run(input);
    EXPECT_EQ(result.status, 0) << input;
    EXPECT_EQ(result.out, "Claude\n") << input;
    EXPECT_EQ(result.err, "") << input;
  }
  EXPECT_TRUE(stored().empty());
  EXPECT_FALSE(std::filesystem::exists(support() / "claude-meta.json"));
}

TEST_F(BridgeTest, ABusyLockSkipsTheLinesButNotTheStatusLine) {
  FileLock held(support() / "snapshots.ndjson.lock");
  ASSERT_TRUE(held.held());
  auto result = run(kInput);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "Opus 4.8 \u00b7 5h 12% \u00b7 7d 40%\n");
  EXPECT_EQ(readFile(support() / "snapshots.ndjson"), "");
}

TEST_F(BridgeTest, ALineAfterATornFragmentStartsOnItsOwnLine) {
  // What a crashed writer or a full disk left behind: half a line, no line feed.
  const std::string fragment = R"({"id":"5A0C","provider":"claude","timestamp":"2026-12-0)";
  writeFile(support() / "snapshots.ndjson", fragment);
  ASSERT_EQ(run(kInput).status, 0);
  EXPECT_EQ(stored().size(), 2u);
  const auto text = readFile(support() / "snapshots.ndjson");
  EXPECT_EQ(text.substr(0, fragment.size() + 1), fragment + "\n");
  EXPECT_EQ(testing::lines(text).size(), 3u);
}

TEST_F(BridgeTest, AFullDiskLeavesNoTornLineAndNoTemporaryFiles) {
  // A file-size limit stands in for a full disk: writes past it fail with EFBIG
  // after a partial write, as writes past the end of free space do.
  const std::string longName(700, 'x');
  const std::string input = R"({"model": {"id": "claude-opus-4-8", "display_name": ")" + longName +
                            R"("}, "rate_limits": {"five_hour": {"used_percentage": 12.5, "resets_at": 1796880000}}})";
  const std::string earlier = R"({"earlier":"line"})" "\n";
  writeFile(support() / "snapshots.ndjson", earlier);
  const std::string limited =
      "import resource, runpy, sys; resource.setrlimit(resource.RLIMIT_FSIZE, (512, 512)); "
      "sys.argv = [sys.argv[1]]; runpy.run_path(sys.argv[0], run_name='__main__')";
  auto result = runProcess({"/bin/sh", "-c", "python3 -c \"" + limited + "\" \"" + script().string() + "\""},
                           {{"XDG_DATA_HOME", ""}, {"HOME", (dir_ / "home").string()}}, input, project(), 20);
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find(longName), std::string::npos);  // the status line is still drawn
  EXPECT_EQ(readFile(support() / "snapshots.ndjson"), earlier);
  for (const auto& entry : std::filesystem::directory_iterator(support()))
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
}

TEST_F(BridgeTest, ACopyOutsideTheDataDirectoryUsesTheUsualOne) {
  const auto elsewhere = dir_ / "bin" / ClaudeBridgeFiles::kScriptFileName;
  std::filesystem::create_directories(elsewhere.parent_path());
  std::filesystem::copy_file(script(), elsewhere);
  auto result = runProcess({"/bin/sh", "-c", "python3 \"" + elsewhere.string() + "\""},
                           {{"XDG_DATA_HOME", (dir_ / "xdg").string()}}, kInput, project(), 20);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(testing::lines(readFile(dir_ / "xdg" / "Quotadial" / "snapshots.ndjson")).size(), 2u);
}

}  // namespace
}  // namespace qd
