#include "providers/claude/claude_status_line_bridge_installer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>

#include "testing/temp_dir.h"

namespace qd {
namespace {

namespace Installer = ClaudeStatusLineBridgeInstaller;
using State = ClaudeBridgeStatus::State;
using Json = nlohmann::json;

std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void put(const std::filesystem::path& p, const std::string& text) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

class InstallerTest : public ::testing::Test {
 protected:
  InstallerTest() {
    put(dir_ / "resources" / "bridge.py", "print('bridge')\n");
    paths_.claudeHome = dir_ / "home" / ".claude";
    paths_.supportDirectory = dir_ / "support";
    paths_.bundledScript = dir_ / "resources" / "bridge.py";
  }

  void setStatusLine(const std::string& command, const std::string& others = R"("model": "opus")") {
    put(paths_.settingsFile(),
        "{" + others + (others.empty() ? "" : ",") + R"("statusLine": {"type": "command", "command": )" +
            Json(command).dump() + R"(, "padding": 2}})");
  }
  Json settings() const { return Json::parse(slurp(paths_.settingsFile())); }
  std::string bridgeCommand() const { return Installer::commandFor(paths_.deployedScript()); }

  testing::TempDir dir_;
  Installer::Paths paths_;
};

TEST_F(InstallerTest, CurrentStatusFollowsTheStateTable) {
  struct Row {
    std::optional<std::string> settings;  // nothing: no file
    std::optional<std::string> previous;  // nothing: no previous-command file
    ClaudeBridgeStatus expected;
  };
  const std::string bridge = R"({"statusLine": {"type": "command", "command": "python3 \"/x/quotadial-claude-statusline-bridge.py\""}})";
  const std::vector<Row> rows = {
      {std::nullopt, std::nullopt, {State::notInstalled, {}, std::nullopt}},
      {std::nullopt, R"({"command": "old"})", {State::notInstalled, {}, std::nullopt}},
      {"{}", std::nullopt, {State::notInstalled, {}, std::nullopt}},
      {"not json", std::nullopt, {State::notInstalled, {}, std::nullopt}},
      {R"({"statusLine": "python3 x"})", std::nullopt, {State::notInstalled, {}, std::nullopt}},
      {R"({"statusLine": {"command": 5}})", std::nullopt, {State::notInstalled, {}, std::nullopt}},
      {bridge, std::nullopt, {State::installed, {}, std::nullopt}},
      {bridge, R"({"command": "starship prompt"})", {State::wrapping, {}, "starship prompt"}},
      {bridge, R"({"command": 7})", {State::installed, {}, std::nullopt}},
      {R"({"statusLine": {"command": "env X=1 quotadial-claude-statusline-bridge --v"}})", std::nullopt,
       {State::installed, {}, std::nullopt}},
      {R"({"statusLine": {"command": "starship prompt"}})", std::nullopt, {State::foreign, {}, "starship prompt"}},
      {R"({"statusLine": {"command": "starship prompt"}})", R"({"command": "x"})",
       {State::foreign, {}, "starship prompt"}},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    std::filesystem::remove(paths_.settingsFile());
    std::filesystem::remove(paths_.previousCommandFile());
    if (rows[i].settings) put(paths_.settingsFile(), *rows[i].settings);
    if (rows[i].previous) put(paths_.previousCommandFile(), *rows[i].previous);
    EXPECT_EQ(Installer::currentStatus(paths_), rows[i].expected) << "row " << i;
  }
}

TEST_F(InstallerTest, InstallWithoutClaudeHomeCreatesSettingsWithOnlyTheStatusLine) {
  auto outcome = Installer::install(paths_);
  EXPECT_EQ(outcome.status, (ClaudeBridgeStatus{State::installed, {}, std::nullopt}));
  EXPECT_EQ(outcome.message, "Installed Quotadial bridge as the Claude status line.");
  EXPECT_EQ(settings(), (Json{{"statusLine", {{"type", "command"}, {"command", bridgeCommand()}}}}));
  EXPECT_FALSE(std::filesystem::exists(paths_.settingsBackup()));
  EXPECT_FALSE(std::filesystem::exists(paths_.previousCommandFile()));
  EXPECT_EQ(slurp(paths_.deployedScript()), "print('bridge')\n");
  struct stat st {};
  ASSERT_EQ(::stat(paths_.deployedScript().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_EQ(Installer::currentStatus(paths_).state, State::installed);
}

TEST_F(InstallerTest, InstallOverAForeignCommandWrapsItAndUninstallRestoresIt) {
  setStatusLine("bash ~/.claude/line.sh");
  const std::string original = slurp(paths_.settingsFile());
  auto outcome = Installer::install(paths_);
  EXPECT_EQ(outcome.status, (ClaudeBridgeStatus{State::wrapping, {}, "bash ~/.claude/line.sh"}));
  EXPECT_EQ(outcome.message, "Installed Quotadial bridge wrapping your existing status line.");
  EXPECT_EQ(Json::parse(slurp(paths_.previousCommandFile())), (Json{{"command", "bash ~/.claude/line.sh"}}));
  EXPECT_EQ(slurp(paths_.settingsBackup()), original);
  // Other members survive; the former statusLine's extra members do not.
  EXPECT_EQ(settings(), (Json{{"model", "opus"}, {"statusLine", {{"type", "command"}, {"command", bridgeCommand()}}}}));
  EXPECT_EQ(Installer::currentStatus(paths_).state, State::wrapping);

  auto removed = Installer::uninstall(paths_);
  EXPECT_EQ(removed.status, (ClaudeBridgeStatus{State::notInstalled, {}, std::nullopt}));
  EXPECT_EQ(removed.message, "Removed bridge and restored your previous status line.");
  EXPECT_EQ(settings(), (Json{{"model", "opus"}, {"statusLine", {{"type", "command"}, {"command", "bash ~/.claude/line.sh"}}}}));
  EXPECT_FALSE(std::filesystem::exists(paths_.previousCommandFile()));
  EXPECT_TRUE(std::filesystem::exists(paths_.deployedScript()));
  EXPECT_EQ(Installer::currentStatus(paths_).state, State::foreign);
}

TEST_F(InstallerTest, InstallingTwiceKeepsTheStateAndThePreviousCommand) {
  EXPECT_EQ(Installer::install(paths_).status.state, State::installed);
  EXPECT_EQ(Installer::install(paths_).status.state, State::installed);
  EXPECT_FALSE(std::filesystem::exists(paths_.previousCommandFile()));

  setStatusLine("starship statusline");
  EXPECT_EQ(Installer::install(paths_).status.state, State::wrapping);
  auto again = Installer::install(paths_);
  // The second run sees its own bridge: it neither re-wraps nor forgets the former command.
  EXPECT_EQ(again.status, (ClaudeBridgeStatus{State::wrapping, {}, "starship statusline"}));
  EXPECT_EQ(Json::parse(slurp(paths_.previousCommandFile()))["command"], "starship statusline");
  EXPECT_EQ(Installer::currentStatus(paths_), (ClaudeBridgeStatus{State::wrapping, {}, "starship statusline"}));
}

TEST_F(InstallerTest, SettingsAreRewrittenSortedAndPrettyPrinted) {
  put(paths_.settingsFile(), R"({"zeta": 1, "alpha": {"b": true, "a": [1, 2]}})");
  ASSERT_EQ(Installer::install(paths_).status.state, State::installed);
  const std::string text = slurp(paths_.settingsFile());
  EXPECT_LT(text.find("\"alpha\""), text.find("\"statusLine\""));
  EXPECT_LT(text.find("\"statusLine\""), text.find("\"zeta\""));
  EXPECT_LT(text.find("\"a\""), text.find("\"b\""));
  EXPECT_NE(text.find("\n  \"alpha\": {"), std::string::npos);
  EXPECT_EQ(settings()["alpha"], (Json{{"a", {1, 2}}, {"b", true}}));
}

TEST_F(InstallerTest, UninstallWithoutSettingsTouchesNothing) {
  auto outcome = Installer::uninstall(paths_);
  EXPECT_EQ(outcome.status.state, State::notInstalled);
  EXPECT_EQ(outcome.message, "No Claude settings found; nothing to uninstall.");
  EXPECT_FALSE(std::filesystem::exists(paths_.claudeHome));
  EXPECT_FALSE(std::filesystem::exists(paths_.supportDirectory));
}

TEST_F(InstallerTest, UninstallWithoutPreviousCommandRemovesTheStatusLine) {
  ASSERT_EQ(Installer::install(paths_).status.state, State::installed);
  auto outcome = Installer::uninstall(paths_);
  EXPECT_EQ(outcome.message, "Removed the Quotadial status line.");
  EXPECT_EQ(settings(), Json::object());
  EXPECT_EQ(Installer::currentStatus(paths_).state, State::notInstalled);
}

TEST_F(InstallerTest, SettingsThatAreNotAJsonObjectAreRefusedUntouched) {
  for (const std::string bad : {"{\"model\": \"opus\",", "[1, 2]", "\"text\""}) {
    put(paths_.settingsFile(), bad);
    put(paths_.settingsBackup(), "earlier backup");
    auto outcome = Installer::install(paths_);
    EXPECT_EQ(outcome.status.state, State::error) << bad;
    EXPECT_EQ(outcome.message, "Your " + paths_.settingsFile().string() + " is not valid JSON; fix it and try again.");
    EXPECT_EQ(slurp(paths_.settingsFile()), bad);
    EXPECT_EQ(slurp(paths_.settingsBackup()), "earlier backup");
    EXPECT_EQ(Installer::uninstall(paths_).status.state, State::error);
    EXPECT_EQ(slurp(paths_.settingsFile()), bad);
  }
}

TEST_F(InstallerTest, MissingBundledScriptIsAnErrorAndLeavesSettingsAlone) {
  setStatusLine("starship statusline");
  const std::string before = slurp(paths_.settingsFile());
  paths_.bundledScript.reset();
  auto outcome = Installer::install(paths_);
  EXPECT_EQ(outcome.status, (ClaudeBridgeStatus{State::error, "Bundle script missing", std::nullopt}));
  EXPECT_EQ(rawValue(outcome.status.state), "error");
  EXPECT_EQ(outcome.message, "Could not locate the bundled bridge script.");
  EXPECT_EQ(slurp(paths_.settingsFile()), before);
}

TEST_F(InstallerTest, UnwritableSettingsAreReportedAsAWriteFailure) {
  // A Claude home that is a plain file cannot hold settings.json, for root too.
  put(dir_ / "blocked", "x");
  paths_.claudeHome = dir_ / "blocked";
  auto outcome = Installer::install(paths_);
  EXPECT_EQ(outcome.status.state, State::error);
  EXPECT_EQ(outcome.status.errorText, "write failed");
  EXPECT_EQ(outcome.message, "Failed to write " + paths_.settingsFile().string() + "; the bridge was not installed.");
}

TEST_F(InstallerTest, UninstallLeavesAStatusLineThatIsNotTheBridgeAlone) {
  setStatusLine("bash ~/.claude/line.sh");
  ASSERT_EQ(Installer::install(paths_).status.state, State::wrapping);
  ASSERT_EQ(Installer::uninstall(paths_).message, "Removed bridge and restored your previous status line.");
  const std::string restored = slurp(paths_.settingsFile());

  // A second uninstall (the menu item pressed again, a stale settings flag).
  for (int i = 0; i < 2; ++i) {
    auto again = Installer::uninstall(paths_);
    EXPECT_EQ(again.message, "The Quotadial bridge is not installed; your status line was left as it is.");
    EXPECT_EQ(again.status, (ClaudeBridgeStatus{State::foreign, {}, "bash ~/.claude/line.sh"}));
    EXPECT_EQ(slurp(paths_.settingsFile()), restored);
  }
  // A user-made command with a stale previous-command file beside it.
  put(paths_.previousCommandFile(), R"({"command": "older"})");
  EXPECT_EQ(Installer::uninstall(paths_).status.state, State::foreign);
  EXPECT_EQ(settings()["statusLine"]["command"], "bash ~/.claude/line.sh");
}

TEST_F(InstallerTest, FailedUninstallKeepsTheBridgeAndTheSavedCommandAndSaysSo) {
  struct Case {
    std::string name;
    std::function<void()> block;
    std::string message;
  };
  const std::string where = paths_.settingsFile().string();
  const std::vector<Case> cases = {
      {"read-only file", [&] { ::chmod(paths_.settingsFile().c_str(), 0444); },
       "Your " + where + " is read-only; the bridge is still installed. Make it writable and try again."},
      // Permissions do not stop root: a link target whose temporary sibling name
      // is too long fails the atomic replace the same way a read-only folder does.
      {"unreplaceable target",
       [&] {
         const auto target = dir_ / "store" / std::string(245, 's');
         put(target, slurp(paths_.settingsFile()));
         std::filesystem::remove(paths_.settingsFile());
         std::filesystem::create_symlink(target, paths_.settingsFile());
       },
       "Failed to write " + where + "; the bridge is still installed."},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(paths_.claudeHome);
    std::filesystem::remove_all(dir_ / "store");
    setStatusLine("starship statusline");
    ASSERT_EQ(Installer::install(paths_).status.state, State::wrapping) << c.name;
    c.block();
    const std::string before = slurp(paths_.settingsFile());
    auto outcome = Installer::uninstall(paths_);
    EXPECT_EQ(outcome.status.state, State::error) << c.name;
    EXPECT_EQ(outcome.message, c.message) << c.name;
    EXPECT_EQ(slurp(paths_.settingsFile()), before) << c.name;
    EXPECT_EQ(Json::parse(slurp(paths_.previousCommandFile()))["command"], "starship statusline") << c.name;
    EXPECT_EQ(Installer::currentStatus(paths_), (ClaudeBridgeStatus{State::wrapping, {}, "starship statusline"}))
        << c.name;
    ::chmod(paths_.settingsFile().c_str(), 0644);
  }
}

TEST_F(InstallerTest, ReadOnlySettingsAreRefusedNotReplaced) {
  setStatusLine("starship statusline");
  ::chmod(paths_.settingsFile().c_str(), 0444);
  const std::string before = slurp(paths_.settingsFile());
  auto outcome = Installer::install(paths_);
  EXPECT_EQ(outcome.status.state, State::error);
  EXPECT_EQ(outcome.status.errorText, "settings read-only");
  EXPECT_EQ(outcome.message, "Your " + paths_.settingsFile().string() +
                                 " is read-only; the bridge was not installed. Make it writable and try again.");
  EXPECT_EQ(slurp(paths_.settingsFile()), before);
  struct stat st {};
  ASSERT_EQ(::stat(paths_.settingsFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  EXPECT_EQ(Installer::currentStatus(paths_).state, State::foreign);
}

TEST_F(InstallerTest, DanglingSettingsLinkIsFilledThroughNotReplaced) {
  std::filesystem::create_directories(paths_.claudeHome);
  std::filesystem::create_directories(dir_ / "dotfiles");
  std::filesystem::create_symlink("../../dotfiles/claude-settings.json", paths_.settingsFile());
  ASSERT_EQ(Installer::install(paths_).status.state, State::installed);
  EXPECT_TRUE(std::filesystem::is_symlink(paths_.settingsFile()));
  EXPECT_EQ(Json::parse(slurp(dir_ / "dotfiles" / "claude-settings.json"))["statusLine"]["command"], bridgeCommand());
}

TEST_F(InstallerTest, LinkedSettingsFileStaysALink) {
  put(dir_ / "dotfiles" / "claude-settings.json", R"({"model": "opus"})");
  std::filesystem::create_directories(paths_.claudeHome);
  std::filesystem::create_symlink(dir_ / "dotfiles" / "claude-settings.json", paths_.settingsFile());
  ASSERT_EQ(Installer::install(paths_).status.state, State::installed);
  EXPECT_TRUE(std::filesystem::is_symlink(paths_.settingsFile()));
  EXPECT_EQ(Json::parse(slurp(dir_ / "dotfiles" / "claude-settings.json"))["model"], "opus");
  EXPECT_EQ(Installer::currentStatus(paths_).state, State::installed);
}

TEST(InstallerCommand, QuotesThePathForTheShell) {
  EXPECT_EQ(Installer::commandFor("/home/a/.local/share/Quotadial/quotadial-claude-statusline-bridge.py"),
            "python3 \"/home/a/.local/share/Quotadial/quotadial-claude-statusline-bridge.py\"");
  EXPECT_EQ(Installer::commandFor("/x/$HOME \"q\"/`id`\\b.py"), "python3 \"/x/\\$HOME \\\"q\\\"/\\`id\\`\\\\b.py\"");
}

}  // namespace
}  // namespace qd
