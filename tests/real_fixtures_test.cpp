// What the real Codex CLI and Claude Code wrote (tests/fixtures/real/, see its
// README), read back without the programs: the transcripts' tokens equal the
// reference counter's recorded figures, the app-server's rate-limit answer gives
// both windows, and the status-line input stored by the bridge gives both windows.
#include <time.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "providers/codex/codex_parsing.h"
#include "providers/codex/codex_rate_limits_payload.h"
#include "real/real_tools.h"
#include "storage/json_lines.h"

namespace qd {
namespace {

using namespace qd::testing;
using namespace qd::testing::real;

const fs::path kFixtures = fs::path(QUOTADIAL_TEST_FIXTURES_DIR) / "real";

nlohmann::json expected() {
  return nlohmann::json::parse(readText(kFixtures / "expected.json"), nullptr, false);
}

time_t dayStartUTC(const std::string& isoDay) {
  std::tm tm{};
  ::strptime(isoDay.c_str(), "%Y-%m-%d", &tm);
  return ::timegm(&tm);
}

// Moves every `"timestamp":"YYYY-MM-DDTHH:MM:SS…"` by `seconds`, keeping the rest.
std::string shiftTimestamps(const std::string& text, time_t seconds) {
  static const std::string key = "\"timestamp\":\"";
  std::string out;
  size_t from = 0;
  for (size_t at; (at = text.find(key, from)) != std::string::npos;) {
    const size_t value = at + key.size();
    out.append(text, from, value - from);
    std::tm tm{};
    const char* end = value + 19 <= text.size() ? ::strptime(text.c_str() + value, "%Y-%m-%dT%H:%M:%S", &tm) : nullptr;
    if (end != text.c_str() + value + 19) {
      from = value;
      continue;
    }
    const time_t moved = ::timegm(&tm) + seconds;
    std::tm shifted{};
    ::gmtime_r(&moved, &shifted);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &shifted);
    out += buf;
    from = value + 19;
  }
  out.append(text, from, std::string::npos);
  return out;
}

// Copies the transcripts under `from` to `to`, moved by whole days so that the
// recorded day becomes yesterday: the report's seven days then hold all of them,
// and every line stays on its own day.
void copyShifted(const fs::path& from, const fs::path& to, time_t seconds) {
  for (const auto& entry : fs::recursive_directory_iterator(from)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".jsonl") continue;
    writeText(to / fs::relative(entry.path(), from), shiftTimestamps(readText(entry.path()), seconds));
  }
}

TEST(RealFixtures, UsageTestTokensEqualTheReferenceCountersFigures) {
  const auto want = expected();
  ASSERT_TRUE(want.is_object());
  TempDir dir;
  const fs::path home = dir / "home";
  const time_t now = ::time(nullptr);
  const time_t shift = (now / 86400 - dayStartUTC(want.value("recordedDay", "")) / 86400 - 1) * 86400;
  copyShifted(kFixtures / "codex" / "sessions", home / ".codex" / "sessions", shift);
  copyShifted(kFixtures / "claude" / "projects", home / ".claude" / "projects", shift);

  auto env = baseEnvironment(home);
  const auto report = runIn(dir.path(), env, {QUOTADIAL_EXECUTABLE, "--usagetest"}, 60);
  ASSERT_EQ(report.status, 0) << report.stderrText;
  EXPECT_EQ(usageTestTokens(report.stdoutText, "Codex"), want["codex"].value("totalTokens", -1LL)) << report.stdoutText;
  EXPECT_EQ(usageTestTokens(report.stdoutText, "Claude Code"), want["claude"].value("totalTokens", -1LL))
      << report.stdoutText;
}

TEST(RealFixtures, AppServerRateLimitAnswerGivesBothWindows) {
  std::istringstream lines(readText(kFixtures / "codex" / "app-server.jsonl"));
  std::optional<CodexRateLimitsPayload> payload;
  for (std::string line; std::getline(lines, line);) {
    const auto j = nlohmann::ordered_json::parse(line, nullptr, false);
    if (j.is_object() && j.value("id", 0) == 2 && j.contains("result")) payload = CodexRateLimitsPayload::decode(j["result"]);
  }
  ASSERT_TRUE(payload.has_value());
  const auto buckets = payload->allBuckets();
  ASSERT_EQ(buckets.size(), 1u);
  const auto snapshots = CodexParsing::snapshots(buckets.front(), fromUnixSeconds(static_cast<double>(::time(nullptr))));
  ASSERT_EQ(snapshots.size(), 2u);
  EXPECT_EQ(snapshots[0].windowKind, WindowKind::fiveHour);
  EXPECT_EQ(snapshots[0].usedPercent, 23);
  EXPECT_EQ(snapshots[1].windowKind, WindowKind::sevenDay);
  EXPECT_EQ(snapshots[1].usedPercent, 61);
}

TEST(RealFixtures, BridgeStoresBothWindowsFromTheStatusLineInput) {
  TempDir dir;
  const fs::path script = fs::path(QUOTADIAL_TEST_FIXTURES_DIR).parent_path().parent_path() / "resources" / "quotadial-claude-statusline-bridge.py";
  std::istringstream lines(readText(kFixtures / "claude" / "statusline.jsonl"));
  nlohmann::json last;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    const auto j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_object() && j.contains("rate_limits")) last = j;
    writeText(dir / "input.json", line);
    const auto run = runIn(dir.path(), baseEnvironment(dir / "home"),
                           {"/bin/sh", "-c", "exec python3 \"$0\" < input.json", script.string()}, 30);
    EXPECT_EQ(run.status, 0) << run.stderrText;
  }
  ASSERT_TRUE(last.is_object()) << "the fixture holds no status-line input with rate limits";
  const auto stored =
      JSONLines::decodeLines(readText(dir / "home" / ".local" / "share" / "Quotadial" / "snapshots.ndjson"));
  ASSERT_EQ(stored.size(), 2u);
  for (const auto& s : stored) {
    const char* key = s.windowKind == WindowKind::fiveHour ? "five_hour" : "seven_day";
    EXPECT_EQ(s.provider, Provider::claude);
    EXPECT_EQ(s.usedPercent, last["rate_limits"][key]["used_percentage"].get<double>()) << key;
    ASSERT_TRUE(s.resetAt.has_value());
    EXPECT_EQ(toUnixSeconds(*s.resetAt), last["rate_limits"][key]["resets_at"].get<double>()) << key;
    EXPECT_EQ(s.modelId.value_or(""), last["model"]["id"].get<std::string>());
  }
}

}  // namespace
}  // namespace qd
