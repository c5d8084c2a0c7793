// Runs the built `quotadial` executable in its terminal modes, with HOME and
// XDG_DATA_HOME in a temporary directory.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

class TempHome {
 public:
  TempHome() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qd-cli-XXXXXX").string();
    if (char* made = ::mkdtemp(tmpl.data())) path_ = made;
  }
  ~TempHome() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A child process of the executable with its standard output on a pipe.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::filesystem::path& home) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string_view kv(*e);
      for (const char* drop : {"HOME=", "XDG_DATA_HOME=", "DISPLAY=", "WAYLAND_DISPLAY=", "NO_COLOR=",
                               "DBUS_SESSION_BUS_ADDRESS=", "CLAUDE_CONFIG_DIR=", "CODEX_HOME=", "TSAN_OPTIONS=",
                               "QT_QPA_PLATFORM=", "ANTHROPIC_API_KEY=", "ANTHROPIC_AUTH_TOKEN="})
        if (kv.starts_with(drop)) goto skip;
      env.emplace_back(kv);
    skip:;
    }
    env.push_back("HOME=" + home.string());
    env.push_back("XDG_DATA_HOME=" + (home / "data").string());
    env.push_back("NO_COLOR=1");
    // ThreadSanitizer otherwise sleeps a second at exit, which the exit-time checks would count.
    const char* tsan = std::getenv("TSAN_OPTIONS");
    env.push_back(std::string("TSAN_OPTIONS=") + (tsan && *tsan ? std::string(tsan) + ":" : "") + "atexit_sleep_ms=0");
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::vector<std::string> argv{QUOTADIAL_EXECUTABLE};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argp;
    for (auto& a : argv) argp.push_back(a.data());
    argp.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    if (::posix_spawn(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      int status;
      ::waitpid(pid_, &status, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  // Reads what is there within `seconds`, until `marker` appears when one is given.
  std::string read(double seconds, const std::string& marker = "") {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      if (!marker.empty() && text_.find(marker) != std::string::npos) break;
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) break;
      text_.append(buf, static_cast<size_t>(n));
    }
    return text_;
  }

  // The exit status, or -1 when the child has not exited within `seconds`.
  int wait(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
  }

  void signal(int sig) { ::kill(pid_, sig); }
  [[nodiscard]] bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool reaped_ = false;
  std::string text_;
};

struct Outcome {
  int status;
  std::string out;
};

Outcome run(const std::vector<std::string>& args, const TempHome& home) {
  Child child(args, home.path());
  EXPECT_TRUE(child.started());
  std::string out = child.read(20);  // until the child closes its output
  return {child.wait(20), out};
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

TEST(QuotadialCli, LogicTestPrintsTwentyThreeChecksAndAVerdict) {
  TempHome home;
  const Outcome r = run({"--logictest"}, home);
  const auto l = lines(r.out);
  ASSERT_EQ(l.size(), 25u) << r.out;
  for (size_t i = 0; i < 23; ++i) EXPECT_EQ(l[i].rfind("PASS \u00b7 ", 0), 0u) << l[i];
  EXPECT_EQ(l[23], "");
  EXPECT_EQ(l[24], "All logic tests passed.");
  EXPECT_EQ(r.status, 0);
}

TEST(QuotadialCli, StatusDescribesTheDemoState) {
  TempHome home;
  const Outcome r = run({"--status", "--demo"}, home);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("(demo data)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Codex \u00b7 demo"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Claude Code \u00b7 demo"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("78% left"), std::string::npos) << r.out;  // Codex 5h: 22 % used
  EXPECT_NE(r.out.find("72% left"), std::string::npos) << r.out;  // Claude 5h: 28 % used
  EXPECT_EQ(r.out.find("\x1b["), std::string::npos);              // NO_COLOR
  // A demo run leaves no settings behind.
  EXPECT_FALSE(std::filesystem::exists(home.path() / "data" / "Quotadial" / "settings.json"));
}

TEST(QuotadialCli, StatusJsonHasTheDocumentedKeys) {
  TempHome home;
  const Outcome r = run({"--status", "--demo", "--json"}, home);
  EXPECT_EQ(r.status, 0);
  const auto j = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << r.out;
  EXPECT_EQ(j["mode"], "demo");
  EXPECT_EQ(j["globalStatus"], "safe");
  EXPECT_TRUE(j["lastRefresh"].is_string());
  EXPECT_TRUE(j["emptyState"].is_null());
  ASSERT_EQ(j["providers"].size(), 2u);
  EXPECT_EQ(j["providers"][0]["provider"], "codex");
  EXPECT_EQ(j["providers"][1]["provider"], "claude");
  const auto& five = j["providers"][0]["windows"][0];
  EXPECT_EQ(five["window"], "fiveHour");
  EXPECT_DOUBLE_EQ(five["usedPercent"].get<double>(), 22.0);
  EXPECT_EQ(five["shown"], "78%");
  EXPECT_EQ(five["shownKind"], "left");
  for (const char* key : {"label", "remainingPercent", "resetAt", "secondsUntilReset", "resetPhrase", "status",
                          "statusLabel", "confidence", "burnRatePercentPerHour", "projectedUsedAtReset", "runOutAt",
                          "summary"})
    EXPECT_TRUE(five.contains(key)) << key;
  EXPECT_EQ(j["providers"][0]["windows"][1]["window"], "sevenDay");
  EXPECT_EQ(j["providers"][0]["pace"]["verdict"], "Under pace");
  EXPECT_EQ(j["recommendations"].size(), 2u);
}

TEST(QuotadialCli, StatusWithNothingRecordedExplainsHowToConnect) {
  TempHome home;
  const Outcome r = run({"--status"}, home);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("quotadial --install-claude-bridge"), std::string::npos) << r.out;
  const Outcome j = run({"--status", "--json"}, home);
  const auto doc = nlohmann::json::parse(j.out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded());
  EXPECT_EQ(doc["mode"], "live");
  EXPECT_TRUE(doc["emptyState"]["title"].is_string());
  // Health comes from what is on disk, without starting the sources.
  ASSERT_EQ(doc["providers"].size(), 2u);
  for (const auto& p : doc["providers"]) {
    ASSERT_TRUE(p["health"].is_object()) << p.dump();
    EXPECT_TRUE(p["health"]["state"].is_string());
    EXPECT_TRUE(p["health"]["detail"].is_string());
  }
  EXPECT_EQ(doc["providers"][1]["health"]["state"], "unavailable");
  EXPECT_EQ(doc["providers"][1]["health"]["detail"], "bridge not installed; no reading yet");
}

TEST(QuotadialCli, StatusSaysAnApiKeyLoginHasNoPlanLimits) {
  TempHome home;
  std::filesystem::create_directories(home.path() / ".claude");
  std::ofstream(home.path() / ".claude" / "settings.json") << R"({"apiKeyHelper": "~/bin/anthropic-key"})";
  const Outcome r = run({"--status"}, home);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Signed in with an API key: API usage has no plan limits."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Spend in the last 7 days (from transcripts): \u00a30.00"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("--install-claude-bridge"), std::string::npos) << r.out;
  const Outcome j = run({"--status", "--json"}, home);
  const auto doc = nlohmann::json::parse(j.out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded());
  EXPECT_EQ(doc["providers"][1]["health"]["state"], "idle");
  EXPECT_EQ(doc["providers"][1]["health"]["detail"], "signed in with an API key: no plan limits, spend from transcripts");
}

TEST(QuotadialCli, HeadlessRunsUntilSigtermThenExitsWithinASecond) {
  TempHome home;
  Child child({"--headless", "--demo"}, home.path());
  ASSERT_TRUE(child.started());
  EXPECT_NE(child.read(10, "Stop it with").find("Stop it with"), std::string::npos);
  EXPECT_EQ(child.wait(0.5), -1);  // still running
  child.signal(SIGTERM);
  EXPECT_EQ(child.wait(1.0), 0);
}

TEST(QuotadialCli, HeadlessAlsoStopsOnSigint) {
  TempHome home;
  Child child({"--headless", "--demo"}, home.path());
  ASSERT_TRUE(child.started());
  child.read(10, "Stop it with");
  child.signal(SIGINT);
  EXPECT_EQ(child.wait(1.0), 0);
}

TEST(QuotadialCli, UnknownOptionsFailWithUsage) {
  TempHome home;
  EXPECT_EQ(run({"--no-such-flag"}, home).status, 2);
  const Outcome v = run({"--version"}, home);
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out.rfind("quotadial ", 0), 0u);
}

}  // namespace
