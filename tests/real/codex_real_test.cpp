// The real Codex CLI against a local stand-in of its servers (tests/fakes/model_server.py):
// the app-server's rate limits read from a ChatGPT-style backend, and `codex exec`'s
// rollout files counted by `quotadial --usagetest` as the reference counter counts them.
#include <ctime>
#include <iostream>

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

std::string base64url(const std::string& in) {
  static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    for (int s : {18, 12, 6, 0}) out += digits[(v >> s) & 63];
  }
  if (i + 1 == in.size()) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16;
    for (int s : {18, 12}) out += digits[(v >> s) & 63];
  } else if (i + 2 == in.size()) {
    const unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8);
    for (int s : {18, 12, 6}) out += digits[(v >> s) & 63];
  }
  return out;
}

// An unsigned token whose claims carry a ChatGPT account and plan, as Codex reads them.
std::string unsignedJwt() {
  const nlohmann::json claims = {
      {"email", "dev@example.invalid"},
      {"exp", std::time(nullptr) + 86400},
      {"https://api.openai.com/auth",
       {{"chatgpt_account_id", "acct-local"}, {"chatgpt_plan_type", "plus"}, {"chatgpt_user_id", "user-local"}}}};
  // Codex refuses a token whose signature part is empty; nothing checks what it holds.
  return base64url(R"({"alg":"none","typ":"JWT"})") + "." + base64url(claims.dump()) + ".c2ln";
}

std::string isoNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::gmtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

bool fixedDirectoryHasCodex() {
  for (const char* dir : {"/opt/homebrew/bin", "/usr/local/bin", "/usr/bin", "/bin"})
    if (::access((std::string(dir) + "/codex").c_str(), X_OK) == 0) return true;
  return false;
}

std::vector<UsageSnapshot> stored(const fs::path& home, Provider provider) {
  std::vector<UsageSnapshot> out;
  for (auto& s : JSONLines::decodeLines(readText(home / ".local/share/Quotadial/snapshots.ndjson")))
    if (s.provider == provider) out.push_back(s);
  return out;
}

TEST(CodexReal, HeadlessStoresBothWindowsTheAppServerReadsFromTheBackend) {
  if (!program("codex")) GTEST_SKIP() << missing("codex");
  if (fixedDirectoryHasCodex()) GTEST_SKIP() << "a codex in a fixed directory would be found before the installed one";
  TempDir dir;
  ModelServer server(dir / "requests.log");
  ASSERT_GT(server.port(), 0);
  const fs::path home = dir / "home";
  writeText(home / ".codex/config.toml", "chatgpt_base_url = \"" + server.url("/backend-api/") + "\"\n");
  const std::string jwt = unsignedJwt();
  const nlohmann::json auth = {{"OPENAI_API_KEY", nullptr},
                               {"auth_mode", "chatgpt"},
                               {"tokens",
                                {{"id_token", jwt},
                                 {"access_token", jwt},
                                 {"refresh_token", "refresh-local"},
                                 {"account_id", "acct-local"}}},
                               {"last_refresh", isoNow()}};
  writeText(home / ".codex/auth.json", auth.dump());
  auto env = baseEnvironment(home);
  env.push_back("CODEX_REFRESH_TOKEN_URL_OVERRIDE=" + server.url("/oauth/token"));

  Background app(dir.path(), env, {QUOTADIAL_EXECUTABLE, "--headless"}, dir / "headless.out");
  const bool both = waitFor(
      [&] {
        bool fiveHour = false, sevenDay = false;
        for (const auto& s : stored(home, Provider::codex)) {
          fiveHour |= s.windowKind == WindowKind::fiveHour && s.usedPercent == 23;
          sevenDay |= s.windowKind == WindowKind::sevenDay && s.usedPercent == 61;
        }
        return fiveHour && sevenDay;
      },
      kDeadline);
  const int exit = app.stop();
  EXPECT_TRUE(both) << readText(dir / "headless.out");
  EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << exit;
  bool askedUsage = false;
  for (const auto& r : server.requests()) {
    if (r.value("path", "") != "/backend-api/wham/usage") continue;
    askedUsage = true;
    EXPECT_EQ(r["headers"].value("authorization", ""), "Bearer " + jwt);  // the credential written here
  }
  EXPECT_TRUE(askedUsage);

  const auto status = runIn(dir.path(), env, {QUOTADIAL_EXECUTABLE, "--status"}, kDeadline);
  EXPECT_EQ(status.status, 0) << status.stderrText;
  EXPECT_NE(status.stdoutText.find("23%"), std::string::npos) << status.stdoutText;
  EXPECT_NE(status.stdoutText.find("61%"), std::string::npos) << status.stdoutText;
}

TEST(CodexReal, ExecRolloutsAreCountedAsTheReferenceCounterCountsThem) {
  if (!program("codex")) GTEST_SKIP() << missing("codex");
  TempDir dir;
  ModelServer server(dir / "requests.log");
  ASSERT_GT(server.port(), 0);
  const fs::path home = dir / "home", work = dir / "work";
  fs::create_directories(work);
  writeText(home / ".codex/config.toml",
            "model = \"gpt-5.1-codex\"\n"
            "model_provider = \"local\"\n"
            "[model_providers.local]\n"
            "name = \"Local\"\n"
            "base_url = \"" + server.url("/v1") + "\"\n"
            "wire_api = \"responses\"\n"
            "request_max_retries = 0\n"
            "stream_max_retries = 0\n");
  const auto env = baseEnvironment(home);
  const auto first = runIn(work, env, {"codex", "exec", "--skip-git-repo-check", "Reply with one word."}, kDeadline);
  ASSERT_EQ(first.status, 0) << first.stdoutText << first.stderrText;
  const auto second =
      runIn(work, env, {"codex", "exec", "--skip-git-repo-check", "resume", "--last", "Once more."}, kDeadline);
  ASSERT_EQ(second.status, 0) << second.stdoutText << second.stderrText;
  keepForFixtures(home / ".codex/sessions", "codex/sessions");

  // What the server sent: 1,200 in + 80 out, then 2,600 in (1,152 cached) + 140 out.
  const long long served = 1200 + 80 + 2600 + 140;
  const auto report = runIn(work, env, {QUOTADIAL_EXECUTABLE, "--usagetest"}, kDeadline);
  ASSERT_EQ(report.status, 0) << report.stderrText;
  EXPECT_EQ(usageTestTokens(report.stdoutText, "Codex"), served) << report.stdoutText;

  if (!program("ccusage-codex")) {
    std::cout << "[ note ] not compared with the reference: " << missing("ccusage-codex") << "\n";
    return;
  }
  const auto reference = runIn(work, env, {"ccusage-codex", "daily", "--json", "--offline", "-z", "UTC"}, kDeadline);
  ASSERT_EQ(reference.status, 0) << reference.stderrText;
  const auto figures = nlohmann::json::parse(reference.stdoutText, nullptr, false);
  ASSERT_TRUE(figures.is_object()) << reference.stdoutText;
  EXPECT_EQ(figures["totals"].value("totalTokens", -1LL), usageTestTokens(report.stdoutText, "Codex"))
      << reference.stdoutText << report.stdoutText;
}

}  // namespace
}  // namespace qd
