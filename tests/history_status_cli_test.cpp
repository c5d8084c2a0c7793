// `quotadial --status --json` over a prepared home: the history-calibrated
// projection under the smart basis, and Claude estimates while live data are stale.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "models/usage_snapshot.h"
#include "storage/json_lines.h"

extern char** environ;

namespace qd {
namespace {

namespace fs = std::filesystem;

class PreparedHome {
 public:
  PreparedHome() {
    std::string tmpl = (fs::temp_directory_path() / "qd-histstatus-XXXXXX").string();
    if (char* made = ::mkdtemp(tmpl.data())) root_ = made;
    fs::create_directories(support());
    fs::create_directories(root_ / ".claude" / "projects" / "-home-dev-app");
  }
  ~PreparedHome() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  fs::path support() const { return root_ / "data" / "Quotadial"; }
  fs::path transcript() const { return root_ / ".claude" / "projects" / "-home-dev-app" / "s.jsonl"; }

  void addSnapshot(const UsageSnapshot& s) const {
    std::ofstream(support() / "snapshots.ndjson", std::ios::app) << *JSONLines::encodeLine(s) << "\n";
  }
  void addTokens(Timestamp t, long long tokens) const {
    std::ofstream(transcript(), std::ios::app)
        << R"({"type":"assistant","timestamp":")" << formatISO8601(t) << R"(","message":{"usage":{"input_tokens":)"
        << tokens << "}}}\n";
  }
  void write(const std::string& name, const std::string& text) const { std::ofstream(support() / name) << text; }

  // Runs `quotadial --status --json` and returns the Claude entry.
  nlohmann::json claudeStatus() const {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string_view kv(*e);
      bool drop = false;
      for (const char* name : {"HOME=", "XDG_DATA_HOME=", "CLAUDE_CONFIG_DIR=", "CODEX_HOME=", "TZ=", "DISPLAY=",
                               "WAYLAND_DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=", "QT_QPA_PLATFORM="})
        drop |= kv.starts_with(name);
      if (!drop) env.emplace_back(kv);
    }
    env.push_back("HOME=" + root_.string());
    env.push_back("XDG_DATA_HOME=" + (root_ / "data").string());
    env.push_back("TZ=UTC0");
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = QUOTADIAL_EXECUTABLE, a1 = "--status", a2 = "--json";
    char* argv[] = {exe.data(), a1.data(), a2.data(), nullptr};
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    if (rc == 0) ::waitpid(pid, &status, 0);
    const auto json = nlohmann::json::parse(out, nullptr, false);
    if (json.is_discarded()) return {};
    for (const auto& p : json["providers"])
      if (p["provider"] == "claude") return p;
    return {};
  }

  static nlohmann::json window(const nlohmann::json& claude, const char* kind) {
    if (!claude.contains("windows")) return {};
    for (const auto& w : claude["windows"])
      if (w["window"] == kind) return w;
    return {};
  }

 private:
  fs::path root_;
};

Timestamp now() { return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()); }

UsageSnapshot claudeReading(WindowKind kind, double used, Timestamp at, Timestamp reset, double mins) {
  UsageSnapshot s;
  s.provider = Provider::claude;
  s.windowKind = kind;
  s.usedPercent = used;
  s.remainingPercent = 100 - used;
  s.timestamp = at;
  s.resetAt = reset;
  s.windowDurationMins = mins;
  s.source = SnapshotSource::claudeOAuth;
  s.sourceConfidence = SourceConfidence::high;
  return s;
}

TEST(HistoryStatus, SmartBasisProjectsTheWeekFromTheUsageHistory) {
  PreparedHome home;
  const Timestamp t = now();
  home.write("settings.json", R"({"forecastBasis":"smart","enabledProviders":["claude"],"hasOnboarded":true})");
  // A week of use, a few thousand tokens a day, every day.
  for (int day = 7; day >= 0; --day) home.addTokens(addSeconds(t, -day * 86400.0 - 600), 40'000 + day * 1000);
  const Timestamp reset = addSeconds(t, 4 * 86400.0);
  for (int i = 0; i < 12; ++i)
    home.addSnapshot(claudeReading(WindowKind::sevenDay, 10 + i * 2.5, addSeconds(t, -(3 * 86400.0) + i * 6 * 3600 - 300),
                                   reset, 10080));
  const auto claude = home.claudeStatus();
  const auto weekly = PreparedHome::window(claude, "sevenDay");
  ASSERT_FALSE(weekly.is_null()) << claude.dump();
  const std::string summary = weekly["summary"];
  EXPECT_EQ(summary.rfind("From your usage history: ~", 0), 0u) << summary;
  EXPECT_NE(summary.find("% used by reset (est.)."), std::string::npos) << summary;
}

TEST(HistoryStatus, StaleLiveDataGiveWayToTranscriptEstimatesUntilAReadingArrives) {
  PreparedHome home;
  const Timestamp t = now();
  home.write("settings.json", R"({"enabledProviders":["claude"],"hasOnboarded":true})");
  // An anchor from an earlier reading: 0.0001 % of the five-hour window per token.
  home.write("claude-anchor.json", R"({"fiveHour":{"usedPercent":10,"pctPerToken":0.0001,"resetAt":")" +
                                       formatISO8601(addSeconds(t, -3600)) + R"(","windowDurationMins":300,"capturedAt":")" +
                                       formatISO8601(addSeconds(t, -5 * 3600)) + "\"}}");
  home.addTokens(addSeconds(t, -2 * 3600), 200'000);
  home.addTokens(addSeconds(t, -600), 100'000);
  home.addTokens(addSeconds(t, -6 * 3600), 999'999);  // before the five hours

  // No live reading at all: an estimate of 30 %.
  auto claude = home.claudeStatus();
  EXPECT_EQ(claude["freshness"], "estimated") << claude.dump();
  auto fiveHour = PreparedHome::window(claude, "fiveHour");
  ASSERT_FALSE(fiveHour.is_null()) << claude.dump();
  EXPECT_NEAR(fiveHour["usedPercent"].get<double>(), 30, 1e-6);

  // A live reading 30 minutes old does not cover the window: the estimate is the newest reading.
  home.addSnapshot(claudeReading(WindowKind::fiveHour, 20, addSeconds(t, -1800), addSeconds(t, 2 * 3600), 300));
  claude = home.claudeStatus();
  EXPECT_EQ(claude["freshness"].get<std::string>().rfind("synced ", 0), 0u) << claude.dump();
  EXPECT_NEAR(PreparedHome::window(claude, "fiveHour")["usedPercent"].get<double>(), 30, 1e-6);

  // A live reading arrives: it is shown, and the estimate is gone.
  home.addSnapshot(claudeReading(WindowKind::fiveHour, 25, addSeconds(t, -60), addSeconds(t, 2 * 3600), 300));
  claude = home.claudeStatus();
  EXPECT_EQ(claude["freshness"], "live") << claude.dump();
  EXPECT_NEAR(PreparedHome::window(claude, "fiveHour")["usedPercent"].get<double>(), 25, 1e-6);
}

}  // namespace
}  // namespace qd
