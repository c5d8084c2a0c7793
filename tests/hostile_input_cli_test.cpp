// Hostile but plausible files where the built program reads them: over-deep JSON,
// FIFOs, torn characters, absurd numbers, line feeds in server keys. Every mode
// must exit normally within ten seconds and keep counting the good data beside.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <ctime>

#include "claude_test_support.h"
#include "models/timestamp.h"

namespace qd {
namespace {

namespace fs = std::filesystem;
using testing::LocalOAuthServer;
using testing::readFile;
using testing::runProcess;
using testing::TempDir;
using testing::writeFile;

constexpr double kLimitSeconds = 10;
constexpr long long kClaudeTokens = 123457, kCodexTokens = 654321;

std::string nowISO() { return formatISO8601(fromUnixSeconds(static_cast<double>(std::time(nullptr)) - 60)); }

std::string claudeLine(long long tokens) {
  return R"({"type":"assistant","timestamp":")" + nowISO() + R"(","message":{"usage":{"input_tokens":)" +
         std::to_string(tokens) + "}}}\n";
}

std::string codexLine(long long tokens) {
  return R"({"timestamp":")" + nowISO() +
         R"(","type":"event_msg","payload":{"type":"token_count","info":{"last_token_usage":{"input_tokens":)" +
         std::to_string(tokens) + R"(,"output_tokens":0,"total_tokens":)" + std::to_string(tokens) + "}}}}\n";
}

// `depth` unclosed brackets inside a member, the rest of the document intact.
std::string deepMember(const std::string& before, size_t depth) {
  return before + std::string(depth, '[') + "}}";
}

class HostileInputTest : public ::testing::Test {
 protected:
  fs::path home() const { return dir_ / "home"; }
  fs::path claudeDir() const { return home() / ".claude"; }
  fs::path support() const { return dir_ / "data" / "Quotadial"; }
  fs::path claudeTranscript() const { return claudeDir() / "projects" / "-home-dev-app" / "s.jsonl"; }
  fs::path codexTranscript() const { return home() / ".codex" / "sessions" / "2026" / "01" / "01" / "r.jsonl"; }

  std::map<std::string, std::string> environment() const {
    // Port 9 on the loopback refuses at once: nothing leaves the machine.
    std::map<std::string, std::string> env = {
        {"HOME", home().string()},           {"XDG_DATA_HOME", (dir_ / "data").string()},
        {"CLAUDE_CONFIG_DIR", ""},           {"CODEX_HOME", ""},
        {"TZ", "UTC0"},                      {"PATH", "/usr/bin:/bin"},
        {"DISPLAY", ""},                     {"WAYLAND_DISPLAY", ""},
        {"QUOTADIAL_CLAUDE_USAGE_URL", "http://127.0.0.1:9/api/oauth/usage"},
        {"QUOTADIAL_CLAUDE_TOKEN_URLS", "http://127.0.0.1:9/v1/oauth/token"}};
    if (server_) {
      env["QUOTADIAL_CLAUDE_USAGE_URL"] = server_->url("/api/oauth/usage");
      env["QUOTADIAL_CLAUDE_TOKEN_URLS"] = server_->url("/v1/oauth/token");
    }
    return env;
  }

  testing::ProcessResult run(const std::vector<std::string>& flags) const {
    std::vector<std::string> argv{QUOTADIAL_EXECUTABLE};
    argv.insert(argv.end(), flags.begin(), flags.end());
    return runProcess(argv, environment(), "", dir_.path(), kLimitSeconds);
  }

  // `--headless` until its first transcript scan has been cached, then SIGTERM.
  // True when it got that far and then ended by exiting or by that SIGTERM (how
  // it ends on SIGTERM is not this test's matter), not by a crash or the time limit.
  bool runHeadlessScan() const {
    const std::string cache = (support() / "usage-history-cache.json").string();
    const std::string script = "\"$0\" --headless & pid=$!; i=0; while [ ! -s '" + cache +
                               "' ] && [ $i -lt 80 ]; do sleep 0.1; i=$((i+1)); done; kill -TERM $pid; wait $pid";
    auto result = runProcess({"/bin/sh", "-c", script, QUOTADIAL_EXECUTABLE}, environment(), "", dir_.path(),
                             kLimitSeconds + 2);
    return fs::exists(cache) && (result.status == 0 || result.status == 128 + SIGTERM);
  }

  void writeGoodTranscripts() const {
    writeFile(claudeTranscript(), claudeLine(kClaudeTokens));
    writeFile(codexTranscript(), codexLine(kCodexTokens));
  }

  TempDir dir_;
  std::unique_ptr<LocalOAuthServer> server_;
};

// Items: a transcript line nested a million deep, and one torn inside a character.
TEST_F(HostileInputTest, BadTranscriptLinesAreSkippedAndTheRestCounts) {
  struct Case {
    const char* name;
    std::string claudeBad, codexBad;
  };
  const std::string torn = "caf\xC3";
  const Case cases[] = {
      {"a million unclosed brackets",
       deepMember(R"({"timestamp":")" + nowISO() + R"(","usage":)", 1'000'000) + "\n",
       deepMember(R"({"timestamp":")" + nowISO() + R"(","payload":{"type":"token_count","info":)", 1'000'000) + "\n"},
      {"a line torn inside a character",
       R"({"timestamp":")" + nowISO() + R"(","message":{"content":")" + torn + R"(","usage":{"input_tokens":99}}})" + "\n",
       R"({"timestamp":")" + nowISO() + R"(","payload":{"type":"token_count","m":")" + torn + "\"}}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_.path());
    fs::create_directories(dir_.path());
    // Bad lines before, between and after good ones; the file's last line is torn too.
    writeFile(claudeTranscript(), c.claudeBad + claudeLine(kClaudeTokens - 1) + c.claudeBad + claudeLine(1) +
                                      c.claudeBad.substr(0, c.claudeBad.size() - 1));
    writeFile(codexTranscript(), c.codexBad + codexLine(kCodexTokens) + c.codexBad);

    const auto usage = run({"--usagetest"});
    EXPECT_EQ(usage.status, 0) << usage.err;
    EXPECT_NE(usage.out.find("(" + std::to_string(kClaudeTokens) + ")"), std::string::npos) << usage.out;
    EXPECT_NE(usage.out.find("(" + std::to_string(kCodexTokens) + ")"), std::string::npos) << usage.out;
    EXPECT_TRUE(runHeadlessScan());
    EXPECT_EQ(run({"--status"}).status, 0);
  }
}

// Item: a FIFO (or other non-regular file) where a file is read.
TEST_F(HostileInputTest, AFifoInPlaceOfAnyFileNeitherHangsNorStopsTheRest) {
  const fs::path paths[] = {support() / "snapshots.ndjson",       support() / "settings.json",
                            support() / "claude-meta.json",       support() / "usage-history-cache.json",
                            support() / "claude-anchor.json",     support() / "claude-effort-rates.json",
                            claudeDir() / "settings.json",        claudeDir() / ".credentials.json",
                            home() / ".codex" / "config.toml",    claudeTranscript()};
  for (const auto& path : paths) {
    SCOPED_TRACE(path.string());
    fs::remove_all(dir_.path());
    fs::create_directories(dir_.path());
    writeGoodTranscripts();
    fs::create_directories(path.parent_path());
    fs::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    for (const char* mode : {"--status", "--usagetest", "--install-claude-bridge", "--oauthtest"}) {
      const auto result = run({mode});
      EXPECT_EQ(result.status, 0) << mode << "\n" << result.out << result.err;
      if (std::string_view(mode) == "--usagetest")
        EXPECT_NE(result.out.find("(" + std::to_string(kCodexTokens) + ")"), std::string::npos) << result.out;
    }
    EXPECT_TRUE(runHeadlessScan());
    // Only the program's own cache may be written over (by rename); nothing else is touched.
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    if (path != support() / "usage-history-cache.json") EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "replaced";
  }
}

// Item: Claude Code's settings and credential documents nested 200,000 deep.
TEST_F(HostileInputTest, OverDeepClaudeDocumentsAreRefusedUntouched) {
  const std::string deep = R"({"theme":"dark","x":)" + std::string(200'000, '[') + std::string(200'000, ']') + "}";
  writeFile(claudeDir() / "settings.json", deep);
  const auto install = run({"--install-claude-bridge"});
  EXPECT_EQ(install.status, 0) << install.err;
  EXPECT_NE(install.out.find("is not valid JSON; fix it and try again."), std::string::npos) << install.out;
  EXPECT_EQ(readFile(claudeDir() / "settings.json"), deep);

  server_ = std::make_unique<LocalOAuthServer>(
      R"({"/api/oauth/usage": [{"status": 200, "body": "{}"}], "/v1/oauth/token": [{"status": 200, "json": {"access_token": "a", "refresh_token": "r", "expires_in": 28800}}]})");
  const std::string credential = R"({"claudeAiOauth":{"accessToken":"sk-ant-oat01-old","refreshToken":"r0","expiresAt":1000},"x":)" +
                                 std::string(200'000, '[') + std::string(200'000, ']') + "}";
  writeFile(claudeDir() / ".credentials.json", credential);
  const auto oauth = run({"--oauthtest"});
  EXPECT_EQ(oauth.status, 0) << oauth.err;
  EXPECT_NE(oauth.out.find("status: no Claude Code credential found"), std::string::npos) << oauth.out;
  EXPECT_TRUE(server_->requests().empty());
  EXPECT_EQ(readFile(claudeDir() / ".credentials.json"), credential);

  // The program's own files nested as deep read as absent.
  writeGoodTranscripts();
  for (const char* name : {"settings.json", "claude-meta.json", "claude-anchor.json", "claude-effort-rates.json",
                           "usage-history-cache.json", "usage-figures.json"})
    writeFile(support() / name, deep);
  EXPECT_EQ(run({"--status"}).status, 0);
  EXPECT_TRUE(runHeadlessScan());
}

// Item: durations, percentages and times far out of range in stored snapshots.
TEST_F(HostileInputTest, AbsurdNumbersInStoredSnapshotsAreNotShownAsWrappedIntegers) {
  const std::string later = formatISO8601(fromUnixSeconds(static_cast<double>(std::time(nullptr)) + 3600));
  std::string lines;
  for (const char* window : {"fiveHour", "sevenDay"}) {
    lines += std::string(R"({"id":"00000000-0000-4000-8000-00000000000)") + (window[0] == 'f' ? "1" : "2") +
             R"(","provider":"codex","timestamp":")" + nowISO() + R"(","windowKind":")" + window +
             R"(","usedPercent":1e300,"remainingPercent":-1e300,"windowDurationMins":1e300,"resetAt":")" + later +
             R"(","source":"codex.app-server","sourceConfidence":"high"})" +
             "\n";
  }
  writeFile(support() / "snapshots.ndjson", lines);
  const auto dump = run({"--dumpstore"});
  EXPECT_EQ(dump.status, 0) << dump.err;
  ASSERT_NE(dump.out.find("codex/sevenDay"), std::string::npos) << "the lines must be read: " << dump.out;
  for (const std::vector<std::string>& flags : {std::vector<std::string>{"--status"}, {"--status", "--json"}}) {
    const auto result = run(flags);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.find("9223372036854775808"), std::string::npos) << result.out;
  }
}

// Item: a usage-endpoint key with a line feed in it, quoted in the log.
TEST_F(HostileInputTest, AServerKeyCannotForgeALogLine) {
  const std::string forged = "[2026-01-01 00:00:00] ERROR forged by the server";
  nlohmann::json usage = {{"five_hour", {{"utilization", 6}}}, {"x\n" + forged, nullptr}, {"esc\x1b[2J", 1}};
  server_ = std::make_unique<LocalOAuthServer>(R"({"/api/oauth/usage": [{"status": 200, "body": )" +
                                               nlohmann::json(usage.dump()).dump() + "}]}");
  const long long expires = (static_cast<long long>(std::time(nullptr)) + 3600) * 1000;
  writeFile(claudeDir() / ".credentials.json",
            R"({"claudeAiOauth": {"accessToken": "a", "refreshToken": "r", "expiresAt": )" + std::to_string(expires) +
                "}}");
  const auto result = run({"--oauthtest"});
  EXPECT_EQ(result.status, 0) << result.err;
  const std::string log = readFile(support() / "logs" / "app.log");
  EXPECT_NE(log.find("x\\n" + forged), std::string::npos) << log;
  for (const auto& line : testing::lines(log)) {
    EXPECT_NE(line.rfind(forged, 0), 0u) << log;
    EXPECT_EQ(line.find('\x1b'), std::string::npos) << log;
  }
}

}  // namespace
}  // namespace qd
