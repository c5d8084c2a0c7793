// End to end: the built program with the fake `codex` first on PATH.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "codex_test_support.h"
#include "storage/json_lines.h"

extern char** environ;

namespace qd {
namespace {

using namespace qd::testing;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kStoreDeadlineSeconds = 30;
#else
constexpr double kStoreDeadlineSeconds = 5;
#endif

bool fixedDirectoryHasCodex() {
  for (const char* dir : {"/opt/homebrew/bin", "/usr/local/bin", "/usr/bin", "/bin"})
    if (::access((std::string(dir) + "/codex").c_str(), X_OK) == 0) return true;
  return false;
}

class CodexHeadlessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub : {"home", "data", "codex-home", "claude-home"})
      std::filesystem::create_directories(dir_ / sub);
  }

  // The program's environment: everything in the temporary directory, the fake first on PATH.
  std::vector<std::string> environment() const {
    std::vector<std::string> env = extraEnvironment_;
    for (std::string e : baseEnvironment()) env.push_back(std::move(e));
    return env;
  }
  std::vector<std::string> baseEnvironment() const {
    return {"HOME=" + (dir_ / "home").string(),
            "XDG_DATA_HOME=" + (dir_ / "data").string(),
            "XDG_CONFIG_HOME=" + (dir_ / "home" / ".config").string(),
            "CODEX_HOME=" + (dir_ / "codex-home").string(),
            "CLAUDE_CONFIG_DIR=" + (dir_ / "claude-home").string(),
            std::string("PATH=") + QUOTADIAL_FAKE_BIN_DIR + ":/usr/bin:/bin",
            "QUOTADIAL_FAKE_CODEX_PIDFILE=" + (dir_ / "pids").string(),
            "TZ=UTC",
            "LANG=C.UTF-8"};
  }

  pid_t spawn(const std::vector<std::string>& args, const std::filesystem::path& output) {
    std::vector<std::string> argvText{QUOTADIAL_EXECUTABLE};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);
    auto env = environment();
    if (const char* asan = std::getenv("ASAN_OPTIONS")) env.push_back(std::string("ASAN_OPTIONS=") + asan);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    EXPECT_EQ(::posix_spawn(&pid, argvText[0].c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  static int waitExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
  }

  std::vector<UsageSnapshot> storedCodex() const {
    std::ifstream in(dir_ / "data" / "Quotadial" / "snapshots.ndjson");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<UsageSnapshot> codex;
    for (auto& s : JSONLines::decodeLines(text))
      if (s.provider == Provider::codex) codex.push_back(s);
    return codex;
  }

  std::string readText(const std::filesystem::path& file) const {
    std::ifstream in(file);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  // The one-shot report as JSON, run beside whatever collects.
  nlohmann::json statusJson() {
    const pid_t status = spawn({"--status", "--json"}, dir_ / "status.json");
    EXPECT_EQ(WEXITSTATUS(waitExit(status)), 0);
    return nlohmann::json::parse(readText(dir_ / "status.json"), nullptr, false);
  }

  static nlohmann::json codexHealth(const nlohmann::json& report) {
    if (!report.is_object() || !report["providers"].is_array()) return nullptr;
    for (const auto& p : report["providers"])
      if (p.value("provider", "") == "codex") return p["health"];
    return nullptr;
  }

  TempDir dir_;
  std::vector<std::string> extraEnvironment_;
};

TEST_F(CodexHeadlessTest, StoresBothWindowsShowsThemAndLeavesNoCodexBehind) {
  if (fixedDirectoryHasCodex()) GTEST_SKIP() << "a codex in a fixed directory would be found before the fake";
  const pid_t app = spawn({"--headless"}, dir_ / "headless.out");
  ASSERT_GT(app, 0);
  const bool stored = waitFor(
      [&] {
        bool fiveHour = false, sevenDay = false;
        for (const auto& s : storedCodex()) {
          fiveHour |= s.windowKind == WindowKind::fiveHour && s.usedPercent == 28;
          sevenDay |= s.windowKind == WindowKind::sevenDay && s.usedPercent == 61;
        }
        return fiveHour && sevenDay;
      },
      kStoreDeadlineSeconds);
  EXPECT_TRUE(stored);
  for (const auto& s : storedCodex()) EXPECT_EQ(s.source, "codex.app-server");
  // One answer, one pair: the next request goes out only on the minute timer.
  EXPECT_EQ(storedCodex().size(), 2u);

  const pid_t status = spawn({"--status"}, dir_ / "status.out");
  EXPECT_EQ(WEXITSTATUS(waitExit(status)), 0);
  std::ifstream report(dir_ / "status.out");
  const std::string text((std::istreambuf_iterator<char>(report)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("Codex"), std::string::npos) << text;
  EXPECT_NE(text.find("28%"), std::string::npos) << text;
  EXPECT_NE(text.find("61%"), std::string::npos) << text;

  const auto fakes = readPids(dir_ / "pids");
  ASSERT_FALSE(fakes.empty());
  ASSERT_EQ(::kill(app, SIGTERM), 0);
  const int exit = waitExit(app);
  EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << exit;
  for (pid_t fake : fakes) EXPECT_TRUE(waitFor([&] { return processGone(fake); }, 5)) << fake;
}

// One collector per user: a second headless start names the running one and
// starts nothing; the report shows that collector's health; SIGHUP ends it cleanly.
TEST_F(CodexHeadlessTest, ASecondCollectorIsRefusedAndSighupStopsTheFirst) {
  if (fixedDirectoryHasCodex()) GTEST_SKIP() << "a codex in a fixed directory would be found before the fake";
  const pid_t app = spawn({"--headless"}, dir_ / "headless.out");
  ASSERT_GT(app, 0);
  ASSERT_TRUE(waitFor([&] { return storedCodex().size() == 2; }, kStoreDeadlineSeconds));
  // The health is published once the first reading is in.
  ASSERT_TRUE(waitFor([&] { return codexHealth(statusJson()).value("detail", "") == "2 windows"; },
                      kStoreDeadlineSeconds));

  const pid_t second = spawn({"--headless"}, dir_ / "second.out");
  const int secondExit = waitExit(second);
  EXPECT_TRUE(WIFEXITED(secondExit) && WEXITSTATUS(secondExit) == 0) << secondExit;
  EXPECT_EQ(readText(dir_ / "second.out"), "Quotadial is already collecting in the headless collector (pid " +
                                               std::to_string(app) + "); not starting another collector.\n");
  EXPECT_EQ(readPids(dir_ / "pids").size(), 1u);  // no second app-server

  const auto report = statusJson();
  EXPECT_EQ(report["collector"], (nlohmann::json{{"pid", app}, {"mode", "headless"}})) << report.dump();
  EXPECT_EQ(codexHealth(report), (nlohmann::json{{"state", "connected"}, {"detail", "2 windows"}}));

  const auto fakes = readPids(dir_ / "pids");
  ASSERT_EQ(::kill(app, SIGHUP), 0);
  const int exit = waitExit(app);
  EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << exit;
  for (pid_t fake : fakes) EXPECT_TRUE(waitFor([&] { return processGone(fake); }, 5)) << fake;
  EXPECT_EQ(statusJson()["collector"], nullptr);
}

// A stand-in that exits at once: each exit is logged, the server is launched
// again after a delay, and the report says it is not running.
TEST_F(CodexHeadlessTest, AServerThatExitsAtOnceIsRelaunchedAndReportedAsNotRunning) {
  if (fixedDirectoryHasCodex()) GTEST_SKIP() << "a codex in a fixed directory would be found before the fake";
  writeFile(dir_ / "script", "exit 1\n");
  extraEnvironment_ = {"QUOTADIAL_FAKE_CODEX_SCRIPT=" + (dir_ / "script").string()};
  const pid_t app = spawn({"--headless"}, dir_ / "headless.out");
  ASSERT_GT(app, 0);
  // Launched, exited, relaunched after 5 s, exited again.
  ASSERT_TRUE(waitFor([&] { return readPids(dir_ / "pids").size() >= 2; }, 30));
  const auto log = [&] { return readText(dir_ / "data" / "Quotadial" / "logs" / "app.log"); };
  ASSERT_TRUE(waitFor([&] { return log().find("restarting in 10 s") != std::string::npos; }, 10)) << log();
  EXPECT_NE(log().find("codex app-server exited (exit status 1); restarting in 5 s"), std::string::npos) << log();
  EXPECT_NE(log().find("codex app-server relaunched"), std::string::npos) << log();

  const auto health = codexHealth(statusJson());
  EXPECT_EQ(health.value("state", ""), "error") << health.dump();
  EXPECT_EQ(health.value("detail", "").rfind("app-server not running; restarting in ", 0), 0u) << health.dump();

  ASSERT_EQ(::kill(app, SIGTERM), 0);
  const int exit = waitExit(app);
  EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << exit;
}

}  // namespace
}  // namespace qd
