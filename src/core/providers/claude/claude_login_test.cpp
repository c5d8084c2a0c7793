#include "providers/claude/claude_login.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "testing/temp_dir.h"

namespace qd {
namespace {

using ClaudeLogin::Evidence;
using ClaudeLogin::Kind;

Timestamp at(const char* iso) { return *parseISO8601(iso); }

TEST(ClaudeLogin, DecidesFromReadingsCredentialsKeysAndTheBridge) {
  const Timestamp now = at("2026-12-07T12:00:00Z");
  const Timestamp recent = at("2026-12-06T12:00:00Z"), old = at("2026-11-20T12:00:00Z");
  struct Case {
    const char* name;
    Evidence evidence;
    Kind kind;
  };
  const Case cases[] = {
      {"nothing at all", {}, Kind::unknown},
      {"a subscription credential", {true, false, std::nullopt, std::nullopt}, Kind::subscription},
      {"quota readings this week, whatever else", {false, true, now, recent}, Kind::subscription},
      {"a configured key and no credential", {false, true, std::nullopt, std::nullopt}, Kind::apiKey},
      {"a key beside a credential: the credential", {true, true, now, std::nullopt}, Kind::subscription},
      {"the bridge runs and is given no limits", {false, false, now, std::nullopt}, Kind::apiKey},
      {"readings weeks old, the bridge runs, no credential", {false, false, now, old}, Kind::apiKey},
  };
  for (const Case& c : cases) EXPECT_EQ(ClaudeLogin::decide(c.evidence, now), c.kind) << c.name;
}

class ClaudeLoginFiles : public ::testing::Test {
 protected:
  void write(const std::filesystem::path& rel, const std::string& text) {
    std::filesystem::create_directories((dir.path() / rel).parent_path());
    std::ofstream(dir.path() / rel) << text;
  }
  Evidence gather() {
    return ClaudeLogin::gather(dir.path() / "claude", dir.path() / ".claude.json", dir.path() / "support", std::nullopt,
                               [this](const char* name) -> const char* {
                                 auto it = env.find(name);
                                 return it == env.end() ? nullptr : it->second.c_str();
                               });
  }
  qd::testing::TempDir dir;
  std::map<std::string, std::string> env;
};

TEST_F(ClaudeLoginFiles, ReadsWhatClaudeCodeLeavesOnDisk) {
  Evidence e = gather();
  EXPECT_FALSE(e.oauthCredential);
  EXPECT_FALSE(e.apiKeyConfigured);
  EXPECT_FALSE(e.bridgeRanAt);

  write("claude/.credentials.json", R"({"claudeAiOauth":{"accessToken":"sk-ant-oat01-x","refreshToken":"r"}})");
  EXPECT_TRUE(gather().oauthCredential);
  write("claude/.credentials.json", R"({"claudeAiOauth":{"accessToken":""}})");
  EXPECT_FALSE(gather().oauthCredential);
  write("claude/.credentials.json", "{ broken");
  EXPECT_TRUE(gather().oauthCredential);  // unreadable: not taken as absent
  std::filesystem::remove(dir.path() / "claude/.credentials.json");

  env["ANTHROPIC_API_KEY"] = "";
  EXPECT_FALSE(gather().apiKeyConfigured);
  env["ANTHROPIC_API_KEY"] = "sk-ant-api03-x";
  EXPECT_TRUE(gather().apiKeyConfigured);
  env.clear();
  write("claude/settings.json", R"({"apiKeyHelper":"~/bin/key.sh"})");
  EXPECT_TRUE(gather().apiKeyConfigured);
  write("claude/settings.json", R"({"env":{"ANTHROPIC_AUTH_TOKEN":"t"},"statusLine":{"type":"command"}})");
  EXPECT_TRUE(gather().apiKeyConfigured);
  write("claude/settings.json", R"({"env":{"OTHER":"x"}})");
  EXPECT_FALSE(gather().apiKeyConfigured);
  write(".claude.json", R"({"primaryApiKey":"sk-ant-api03-y","projects":{}})");
  EXPECT_TRUE(gather().apiKeyConfigured);

  write("support/claude-meta.json", R"({"modelId":"claude-opus-4-5","capturedAt":"2026-12-07T11:59:00Z"})");
  EXPECT_EQ(gather().bridgeRanAt, at("2026-12-07T11:59:00Z"));
}

}  // namespace
}  // namespace qd
