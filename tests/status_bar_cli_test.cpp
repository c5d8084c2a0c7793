// The status-bar line (`--status --format`, `--follow`), the settings command
// and the terminal report's manners, through the built executable.
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <regex>
#include <sstream>

#include "cli_test_support.h"
#include "models/timestamp.h"
#include "models/usage_snapshot.h"
#include "storage/json_lines.h"
#include "storage/settings_store.h"

namespace qd {
namespace {

using cli::Child;
using cli::TempHome;

UsageSnapshot codexFiveHour(Timestamp at, double used, Timestamp resetAt) {
  UsageSnapshot s;
  s.provider = Provider::codex;
  s.windowKind = WindowKind::fiveHour;
  s.timestamp = at;
  s.usedPercent = used;
  s.remainingPercent = 100 - used;
  s.resetAt = resetAt;
  s.windowDurationMins = 300;
  s.source = SnapshotSource::codexAppServer;
  s.sourceConfidence = SourceConfidence::high;
  return s;
}

void append(const TempHome& home, const UsageSnapshot& s) {
  std::filesystem::create_directories(home.data());
  std::ofstream(home.data() / "snapshots.ndjson", std::ios::app) << *JSONLines::encodeLine(s) << "\n";
}

struct Outcome {
  int status;
  std::string out, err;
};

Outcome run(const std::vector<std::string>& args, const TempHome& home, std::vector<std::string> env = {}) {
  std::vector<std::string> argv{QUOTADIAL_EXECUTABLE};
  argv.insert(argv.end(), args.begin(), args.end());
  Child child(argv, home.path(), std::move(env));
  EXPECT_TRUE(child.started());
  std::string out = child.read(30);
  const int status = child.wait(30);
  return {status, out, child.errors()};
}

TEST(StatusBarCli, WaybarDemoLineIsOneModuleObject) {
  TempHome home;
  const Outcome o = run({"--status", "--format", "waybar", "--demo"}, home);
  EXPECT_EQ(o.status, 0) << o.err;
  ASSERT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 1) << o.out;
  const auto line = nlohmann::json::parse(o.out, nullptr, false);
  ASSERT_TRUE(line.is_object()) << o.out;
  EXPECT_TRUE(line["text"].is_string());
  EXPECT_NE(line["tooltip"].get<std::string>().find("(demo data)"), std::string::npos);
  EXPECT_TRUE(line["class"].is_string());
  ASSERT_TRUE(line["percentage"].is_number_integer()) << o.out;
  EXPECT_GE(line["percentage"].get<int>(), 0);
}

TEST(StatusBarCli, AnUnknownFormatIsAUsageError) {
  TempHome home;
  const Outcome o = run({"--status", "--format", "xmobar"}, home);
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("unknown format 'xmobar'"), std::string::npos) << o.err;
}

// A bar runs `--follow` once: readings and settings written by other processes
// reach it; it ends with status 0 when the bar closes its end of the pipe.
TEST(StatusBarCli, FollowPrintsEachChangeAndEndsWhenTheOutputCloses) {
  TempHome home;
  const Timestamp now = fromUnixSeconds(static_cast<double>(std::time(nullptr)));
  append(home, codexFiveHour(addSeconds(now, -1200), 10, addSeconds(now, 7200)));
  append(home, codexFiveHour(addSeconds(now, -600), 20, addSeconds(now, 7200)));
  AppSettings settings;
  settings.enabledProviders = {Provider::codex};
  settings.menuBarDisplayMode = MenuBarDisplayMode::compact;
  settings.showRemaining = false;
  ASSERT_TRUE(SettingsStore(home.data() / "settings.json").save(settings));

  Child follow({QUOTADIAL_EXECUTABLE, "--status", "--format", "plain", "--follow"}, home.path());
  ASSERT_TRUE(follow.started());
  follow.read(30, 1);
  ASSERT_EQ(follow.lines(), std::vector<std::string>{"AI  C 20%"});

  append(home, codexFiveHour(now, 35, addSeconds(now, 7200)));
  follow.read(30, 2);
  ASSERT_EQ(follow.lineCount(), 2u);
  EXPECT_EQ(follow.lines()[1], "AI  C 35%");

  ASSERT_EQ(run({"--set", "menuBarDisplayMode=minimal"}, home).status, 0);
  follow.read(30, 3);
  ASSERT_EQ(follow.lineCount(), 3u);
  EXPECT_EQ(follow.lines()[2], "AI 35");

  follow.closeOutput();
  EXPECT_EQ(follow.wait(30), 0);
}

TEST(StatusBarCli, SetRefusesUnknownKeysAndBadValuesWithStatusTwo) {
  TempHome home;
  const Outcome unknown = run({"--set", "notifications=true"}, home);
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("unknown setting 'notifications'"), std::string::npos) << unknown.err;
  const Outcome bad = run({"--set", "retentionDays=-3"}, home);
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("retentionDays"), std::string::npos) << bad.err;
  EXPECT_FALSE(std::filesystem::exists(home.data() / "settings.json"));

  for (const char* flag : {"--set", "--format"}) {
    const Outcome missing = run({flag}, home);
    EXPECT_EQ(missing.status, 2) << flag;
    EXPECT_FALSE(missing.err.empty()) << flag;
  }

  const Outcome good = run({"--set", "notificationsEnabled=true"}, home);
  EXPECT_EQ(good.status, 0) << good.err;
  const Outcome listed = run({"--settings"}, home);
  EXPECT_EQ(listed.status, 0);
  std::smatch m;
  EXPECT_TRUE(std::regex_search(listed.out, m, std::regex("\nnotificationsEnabled +true +false ")))
      << listed.out;
}

TEST(StatusBarCli, HelpListsTheNewModesAndTheExitStatuses) {
  TempHome home;
  const Outcome o = run({"--help"}, home);
  EXPECT_EQ(o.status, 0);
  for (const char* text : {"--format waybar|i3blocks|plain", "--follow", "--settings", "--set KEY=VALUE",
                           "Exit status: 0 on success, 1 on failure, 2 for a usage error"})
    EXPECT_NE(o.out.find(text), std::string::npos) << text;
}

// `--headless` sends no alert until they are switched on; once they are, a 5-hour
// usage above its threshold is alerted (logged, and shown where a bus is).
TEST(StatusBarCli, HeadlessSendsAlertsOnceSwitchedOn) {
  TempHome home;
  const Timestamp now = fromUnixSeconds(static_cast<double>(std::time(nullptr)));
  append(home, codexFiveHour(addSeconds(now, -600), 80, addSeconds(now, 7200)));
  append(home, codexFiveHour(now, 90, addSeconds(now, 7200)));
  ASSERT_EQ(run({"--set", "notificationsEnabled=true"}, home).status, 0);

  // No Codex tool: the stored readings are all there is.
  Child headless({QUOTADIAL_EXECUTABLE, "--headless"}, home.path(), {"PATH=/nonexistent"});
  ASSERT_TRUE(headless.started());
  const auto log = home.data() / "logs" / "app.log";
  bool alerted = false;
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
       !alerted && std::chrono::steady_clock::now() < deadline;
       std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    alerted = text.str().find("Alert: Codex 5h usage high") != std::string::npos;
  }
  EXPECT_TRUE(alerted);
  headless.signal(SIGTERM);
  EXPECT_EQ(headless.wait(30), 0);
}

// Each status-bar snippet of the README, run as the bar would run it.
TEST(StatusBarCli, TheReadmeSnippetsRun) {
  std::ifstream readme(std::string(QUOTADIAL_TEST_FIXTURES_DIR) + "/../../README.md");
  ASSERT_TRUE(readme) << "README.md not found";
  const std::regex waybar(R"re(^\s*"exec":\s*"([^"]+)")re"), polybar(R"(^exec\s*=\s*(.+)$)"),
      i3blocks(R"(^command=(.+)$)");
  std::vector<std::string> commands;
  std::string line;
  std::smatch m;
  while (std::getline(readme, line))
    if (std::regex_search(line, m, waybar) || std::regex_search(line, m, polybar) ||
        std::regex_search(line, m, i3blocks))
      if (m[1].str().starts_with("quotadial ")) commands.push_back(m[1].str());
  ASSERT_EQ(commands.size(), 3u);

  const std::string bin = std::filesystem::path(QUOTADIAL_EXECUTABLE).parent_path().string();
  const char* path = std::getenv("PATH");
  for (const std::string& command : commands) {
    TempHome home;
    Child bar({"sh", "-c", command}, home.path(), {"PATH=" + bin + ":" + (path ? path : "/usr/bin:/bin")}, true);
    ASSERT_TRUE(bar.started());
    bar.read(30, 1);
    ASSERT_EQ(bar.lineCount(), 1u) << command << ": " << bar.errors();
    const std::string first = bar.lines()[0];
    if (command.find("waybar") != std::string::npos)
      EXPECT_TRUE(nlohmann::json::parse(first, nullptr, false).is_object()) << first;
    else
      EXPECT_EQ(first.find('{'), std::string::npos) << first;
    EXPECT_FALSE(first.empty()) << command;
    bar.closeOutput();
    EXPECT_EQ(bar.wait(30), 0) << command;
  }
}

// The report on a terminal 40 columns wide, with and without NO_COLOR.
std::string onTerminal(const TempHome& home, bool noColor) {
  winsize ws{};
  ws.ws_row = 50;
  ws.ws_col = 40;
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, &ws);
  if (pid == 0) {
    ::setenv("HOME", home.path().c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home.path() / "data").c_str(), 1);
    ::setenv("TERM", "xterm", 1);
    ::unsetenv("COLUMNS");
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("QT_QPA_PLATFORM");
    if (noColor)
      ::setenv("NO_COLOR", "1", 1);
    else
      ::unsetenv("NO_COLOR");
    ::execl(QUOTADIAL_EXECUTABLE, QUOTADIAL_EXECUTABLE, "--status", "--demo", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid < 0) return {};
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  ::close(master);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return text;
}

size_t columns(const std::string& line) {
  size_t n = 0;
  for (unsigned char c : line)
    if ((c & 0xC0) != 0x80 && c != '\r') ++n;
  return n;
}

TEST(StatusBarCli, StatusHonoursNoColorAndANarrowTerminal) {
  TempHome home;
  const std::string plain = onTerminal(home, true);
  ASSERT_NE(plain.find("Quotadial"), std::string::npos) << plain;
  EXPECT_EQ(plain.find("\x1b["), std::string::npos);
  std::istringstream lines(plain);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(columns(line), 40u) << line;

  EXPECT_NE(onTerminal(home, false).find("\x1b["), std::string::npos);
}

}  // namespace
}  // namespace qd
