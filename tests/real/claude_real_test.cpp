// The real Claude Code, interactive in tmux, against a local Messages API
// (tests/fakes/model_server.py) that answers with a subscription login's unified
// rate-limit headers: the installed status-line bridge stores both windows,
// `--status` shows them, and `--usagetest` counts the transcripts as the reference
// counter does.
#include <ctime>
#include <iostream>
#include <set>

#include <gtest/gtest.h>

#include "../codex_test_support.h"
#include "real_tools.h"
#include "storage/json_lines.h"

namespace qd {
namespace {

using namespace qd::testing;
using namespace qd::testing::real;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kDeadline = 90;
#else
constexpr double kDeadline = 30;
#endif

std::string singleQuoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::vector<UsageSnapshot> storedClaude(const fs::path& home) {
  std::vector<UsageSnapshot> out;
  for (auto& s : JSONLines::decodeLines(readText(home / ".local/share/Quotadial/snapshots.ndjson")))
    if (s.provider == Provider::claude) out.push_back(s);
  return out;
}

// The answers (distinct request ids of assistant lines with usage) in the transcripts under `projects`.
int answersIn(const fs::path& projects) {
  std::set<std::string> requests;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(projects, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->path().extension() != ".jsonl") continue;
    std::istringstream lines(readText(it->path()));
    for (std::string line; std::getline(lines, line);) {
      const auto j = nlohmann::json::parse(line, nullptr, false);
      if (j.is_object() && j.value("type", "") == "assistant" && j.contains("message") &&
          j["message"].is_object() && j["message"].contains("usage"))
        requests.insert(j.value("requestId", ""));
    }
  }
  return static_cast<int>(requests.size());
}

class Tmux {
 public:
  Tmux(std::string tmux, fs::path socket, std::vector<std::string> env)
      : tmux_(std::move(tmux)), socket_(std::move(socket)), env_(std::move(env)) {}
  ~Tmux() { run({"kill-server"}); }
  Shell::Result run(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{tmux_, "-S", socket_.string(), "-f", "/dev/null"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runIn(socket_.parent_path(), env_, argv, 10);
  }
  std::string screen() const { return run({"capture-pane", "-p", "-t", "q"}).stdoutText; }

 private:
  std::string tmux_;
  fs::path socket_;
  std::vector<std::string> env_;
};

TEST(ClaudeReal, InteractiveSessionFeedsTheBridgeAndItsTranscriptsCountLikeTheReference) {
  if (!program("claude")) GTEST_SKIP() << missing("claude");
  const auto tmuxPath = Shell::which("tmux");
  if (!tmuxPath) GTEST_SKIP() << "tmux is not installed";
  TempDir dir;
  ModelServer server(dir / "requests.log");
  ASSERT_GT(server.port(), 0);
  const fs::path home = dir / "home", work = dir / "work";
  fs::create_directories(work);
  const std::string workPath = fs::canonical(work).string();

  // A subscription login, first run already done, this folder trusted.
  const long long expires = (static_cast<long long>(std::time(nullptr)) + 86400) * 1000;
  writeText(home / ".claude/.credentials.json",
            nlohmann::json{{"claudeAiOauth",
                            {{"accessToken", "sk-ant-oat01-local"},
                             {"refreshToken", "sk-ant-ort01-local"},
                             {"expiresAt", expires},
                             {"scopes", {"user:inference", "user:profile", "user:sessions:claude_code"}},
                             {"subscriptionType", "max"},
                             {"rateLimitTier", "default_claude_max_20x"}}}}
                .dump());
  const std::string state =
            nlohmann::json{{"hasCompletedOnboarding", true},
                           {"numStartups", 1},
                           {"theme", "dark"},
                           {"projects",
                            {{workPath, {{"hasTrustDialogAccepted", true}, {"hasCompletedProjectOnboarding", true}}}}}}
                .dump();
  // Claude Code keeps this state in ~/.claude.json, or inside CLAUDE_CONFIG_DIR when that is set.
  writeText(home / ".claude.json", state);
  writeText(home / ".claude" / ".claude.json", state);
  // The user's own status line, which the bridge keeps running: it records what Claude Code passes.
  const fs::path captured = dir / "statusline.jsonl";
  const std::string own = "cat >> " + singleQuoted(captured.string()) + "; echo >> " + singleQuoted(captured.string());
  writeText(home / ".claude/settings.json",
            nlohmann::json{{"statusLine", {{"type", "command"}, {"command", own}}}}.dump());

  auto env = baseEnvironment(home);
  env.push_back("ANTHROPIC_BASE_URL=" + server.url());
  const auto install = runIn(dir.path(), env, {QUOTADIAL_EXECUTABLE, "--install-claude-bridge"}, kDeadline);
  ASSERT_EQ(install.status, 0) << install.stdoutText << install.stderrText;

  Tmux tmux(*tmuxPath, dir / "tmux.sock", env);
  const auto started =
      tmux.run({"new-session", "-d", "-s", "q", "-x", "120", "-y", "40", "-c", workPath, "claude"});
  ASSERT_EQ(started.status, 0) << started.stderrText;
  // The first status line comes once the prompt is drawn.
  ASSERT_TRUE(waitFor([&] { return fs::exists(captured) && fs::file_size(captured) > 0; }, kDeadline))
      << tmux.screen();
  // Two turns: the second reads the cache the first wrote. Enter goes once the text shows.
  const auto ask = [&](const std::string& prompt, int answers) {
    ASSERT_EQ(tmux.run({"send-keys", "-t", "q", "-l", prompt}).status, 0);
    ASSERT_TRUE(waitFor([&] { return tmux.screen().find(prompt) != std::string::npos; }, kDeadline))
        << tmux.screen();
    ASSERT_EQ(tmux.run({"send-keys", "-t", "q", "Enter"}).status, 0);
    ASSERT_TRUE(waitFor([&] { return answersIn(home / ".claude/projects") >= answers; }, kDeadline))
        << tmux.screen();
  };
  ask("Reply with one word.", 1);
  if (HasFatalFailure()) return;
  ask("Once more.", 2);
  if (HasFatalFailure()) return;

  // The bridge stores the reading, then runs the user's own status line with the
  // same input: wait for both before the session goes, or the kill cuts the second.
  const bool both = waitFor(
      [&] {
        bool fiveHour = false, sevenDay = false;
        for (const auto& s : storedClaude(home)) {
          fiveHour |= s.windowKind == WindowKind::fiveHour && s.usedPercent == 42;
          sevenDay |= s.windowKind == WindowKind::sevenDay && s.usedPercent == 17;
        }
        const std::string own = readText(captured);
        const size_t limits = own.find("\"rate_limits\"");
        return fiveHour && sevenDay && limits != std::string::npos && own.find('\n', limits) != std::string::npos;
      },
      kDeadline);
  EXPECT_TRUE(both) << tmux.screen() << readText(captured);
  tmux.run({"kill-server"});
  keepForFixtures(captured, "claude/statusline.jsonl");
  keepForFixtures(home / ".claude/projects", "claude/projects");

  // What Claude Code handed its status line: both windows, as the headers said.
  bool sawLimits = false;
  std::istringstream lines(readText(captured));
  for (std::string line; std::getline(lines, line);) {
    const auto j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_object() || !j.contains("rate_limits")) continue;
    sawLimits = true;
    EXPECT_EQ(j["rate_limits"]["five_hour"].value("used_percentage", -1.0), 42.0) << line;
    EXPECT_EQ(j["rate_limits"]["seven_day"].value("used_percentage", -1.0), 17.0) << line;
  }
  EXPECT_TRUE(sawLimits) << readText(captured);

  const auto status = runIn(dir.path(), env, {QUOTADIAL_EXECUTABLE, "--status"}, kDeadline);
  EXPECT_EQ(status.status, 0) << status.stderrText;
  EXPECT_NE(status.stdoutText.find("42%"), std::string::npos) << status.stdoutText;
  EXPECT_NE(status.stdoutText.find("17%"), std::string::npos) << status.stdoutText;

  const auto report = runIn(dir.path(), env, {QUOTADIAL_EXECUTABLE, "--usagetest"}, kDeadline);
  ASSERT_EQ(report.status, 0) << report.stderrText;
  const long long tokens = usageTestTokens(report.stdoutText, "Claude Code");
  // At least the two answers: 12 in, 4,800 cache writes, 9 out; 7 in, 310 written, 4,800 read, 15 out.
  EXPECT_GE(tokens, 12 + 4800 + 9 + 7 + 310 + 4800 + 15) << report.stdoutText;

  if (!program("ccusage")) {
    std::cout << "[ note ] not compared with the reference: " << missing("ccusage") << "\n";
    return;
  }
  const auto reference = runIn(dir.path(), env, {"ccusage", "claude", "daily", "--json", "--offline", "-z", "UTC"}, kDeadline);
  ASSERT_EQ(reference.status, 0) << reference.stdoutText << reference.stderrText;
  const auto figures = nlohmann::json::parse(reference.stdoutText, nullptr, false);
  ASSERT_TRUE(figures.is_object()) << reference.stdoutText;
  EXPECT_EQ(figures["totals"].value("totalTokens", -1LL), tokens) << reference.stdoutText << report.stdoutText;
}

}  // namespace
}  // namespace qd
