// The OAuth usage client over libcurl against a scripted local server, with
// Claude Code's credential file in a temporary Claude home.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/manual_main_loop.h"
#include "claude_test_support.h"
#include "providers/claude/claude_credential_file.h"
#include "providers/claude/claude_oauth_usage.h"
#include "utilities/app_logger.h"
#include "utilities/curl_http_client.h"

namespace qd {
namespace {

using testing::LocalOAuthServer;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;
using Json = nlohmann::json;
using Status = ClaudeOAuthUsage::Status;

constexpr double kNow = 1'796'000'000;  // 2026-11-28

const char* kUsageDocument = R"({"five_hour": {"utilization": 6.0, "resets_at": "2026-12-07T04:59:59.943648+00:00"},
  "seven_day": {"utilization": 35, "resets_at": "2026-12-10T00:00:00+00:00"},
  "seven_day_oauth_apps": null,
  "seven_day_opus": {"utilization": 0.0, "resets_at": null},
  "seven_day_sonnet": {"utilization": 12.5, "resets_at": null},
  "extra_usage": {"is_enabled": true, "monthly_limit": 5000, "used_credits": 1234, "utilization": null, "currency": "GBP"}})";

std::string credentialJson(double expiresAtSeconds, const std::optional<std::string>& refreshToken = "rt-old-0001",
                           const std::string& extra = R"("subscriptionType": "pro", "scopes": ["user:inference"])") {
  std::string oauth = R"("accessToken": "at-old-0001", "expiresAt": )" +
                      std::to_string(static_cast<long long>(expiresAtSeconds * 1000));
  if (refreshToken) oauth += R"(, "refreshToken": ")" + *refreshToken + "\"";
  if (!extra.empty()) oauth += ", " + extra;
  return R"({"claudeAiOauth": {)" + oauth + R"(}, "mcpOAuth": {"server": {"token": "keep-me"}}})";
}

std::string answer(int status, const std::string& body, double delay = 0) {
  return Json{{"status", status}, {"body", body}, {"delay", delay}}.dump();
}

std::string tokenAnswer(const std::string& access, const std::optional<std::string>& refresh, int expiresIn = 28800) {
  Json body = {{"access_token", access}, {"expires_in", expiresIn}, {"token_type", "Bearer"}};
  if (refresh) body["refresh_token"] = *refresh;
  return answer(200, body.dump());
}

class ClaudeOAuthUsageServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AppLogger::shared().setFileURL(home_ / "app.log");
    std::filesystem::create_directories(claudeHome());
  }

  std::filesystem::path claudeHome() const { return home_ / ".claude"; }
  std::filesystem::path credentialFile() const { return claudeHome() / ".credentials.json"; }
  std::filesystem::path backupFile() const { return home_ / "support" / "claude-credentials-backup.json"; }

  void startServer(const std::vector<std::string>& usage, const std::vector<std::string>& primaryToken = {},
                   const std::vector<std::string>& fallbackToken = {}) {
    auto list = [](const std::vector<std::string>& answers) {
      std::string out = "[";
      for (size_t i = 0; i < answers.size(); ++i) out += (i ? "," : "") + answers[i];
      return out + "]";
    };
    std::string script = "{";
    script += R"("/api/oauth/usage": )" + list(usage);
    if (!primaryToken.empty()) script += R"(, "/primary/v1/oauth/token": )" + list(primaryToken);
    if (!fallbackToken.empty()) script += R"(, "/fallback/v1/oauth/token": )" + list(fallbackToken);
    script += "}";
    server_ = std::make_unique<LocalOAuthServer>(script);
    ClaudeOAuthUsage::Endpoints endpoints;
    endpoints.usageURL = server_->url("/api/oauth/usage");
    endpoints.tokenURLs = {server_->url("/primary/v1/oauth/token"), server_->url("/fallback/v1/oauth/token")};
    endpoints.usageTimeoutSeconds = 1;
    endpoints.tokenTimeoutSeconds = tokenTimeout_;
    client_ = std::make_unique<ClaudeOAuthUsage>(
        endpoints, std::make_shared<CurlHttpClient>(),
        std::make_shared<ClaudeCredentialFile>(credentialFile(), backupFile()), loop_);
  }

  std::vector<UsageSnapshot> fetch(double now = kNow) {
    bool done = false;
    std::vector<UsageSnapshot> got;
    client_->fetch(fromUnixSeconds(now), [&](std::vector<UsageSnapshot> s) {
      got = std::move(s);
      done = true;
    });
    EXPECT_TRUE(loop_.runUntil([&] { return done; }, 20));
    return got;
  }

  std::vector<Json> requestsTo(const std::string& pathSuffix) const {
    std::vector<Json> out;
    for (const auto& line : server_->requests()) {
      auto j = Json::parse(line);
      const std::string path = j["path"];
      if (path.size() >= pathSuffix.size() && path.compare(path.size() - pathSuffix.size(), pathSuffix.size(), pathSuffix) == 0)
        out.push_back(j);
    }
    return out;
  }

  std::string logText() {
    AppLogger::shared().flush();
    return readFile(home_ / "app.log");
  }

  // Runs `change` once the token endpoint has received its request, while the
  // answer is held back (a "delay" in the script): what another program does
  // to the credential file while Quotadial's refresh is in flight.
  std::thread whileTokenRequestInFlight(std::function<void()> change) {
    return std::thread([this, change = std::move(change)] {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      // The raw log: its last line may still be half written.
      while (readFile(server_->requestLog()).find("/oauth/token\"") == std::string::npos &&
             std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      change();
    });
  }

  Json stored() const { return Json::parse(readFile(credentialFile())); }
  std::filesystem::path pendingFile() const { return home_ / "support" / "claude-credentials-pending.json"; }

  double tokenTimeout_ = 1;
  TempDir home_;
  ManualClock clock_;
  ManualMainLoop loop_{clock_};
  std::unique_ptr<LocalOAuthServer> server_;
  std::unique_ptr<ClaudeOAuthUsage> client_;
};

// ---- usage answers ----------------------------------------------------------------

TEST_F(ClaudeOAuthUsageServerTest, UsageDocumentGivesThreeWindowsAndExtraUsage) {
  writeFile(credentialFile(), credentialJson(kNow + 3600));
  startServer({answer(200, kUsageDocument)});
  auto snaps = fetch();

  ASSERT_EQ(snaps.size(), 3u);
  EXPECT_EQ(client_->lastStatus(), Status::ok(3));
  EXPECT_EQ(client_->lastStatus()->label(), "ok (3 windows)");
  EXPECT_EQ(snaps[0].windowKind, WindowKind::fiveHour);
  EXPECT_DOUBLE_EQ(snaps[0].usedPercent, 6.0);
  EXPECT_EQ(formatISO8601(*snaps[0].resetAt), "2026-12-07T04:59:59Z");
  EXPECT_EQ(snaps[1].windowKind, WindowKind::sevenDay);
  EXPECT_EQ(snaps[2].windowKind, WindowKind::weekly);
  EXPECT_EQ(snaps[2].limitName, "Sonnet 7d");
  EXPECT_FALSE(snaps[2].resetAt.has_value());
  EXPECT_EQ(client_->lastExtraUsage(), (ClaudeOAuthUsage::ExtraUsage{true, 12.34, 50.0, "GBP"}));

  auto sent = requestsTo("/api/oauth/usage");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0]["method"], "GET");
  EXPECT_EQ(sent[0]["headers"]["Authorization"], "Bearer at-old-0001");
  EXPECT_EQ(sent[0]["headers"]["anthropic-beta"], "oauth-2025-04-20");
  EXPECT_TRUE(requestsTo("/oauth/token").empty());
  EXPECT_NE(logText().find("Claude OAuth usage keys: extra_usage,five_hour,seven_day,"), std::string::npos);
}

TEST_F(ClaudeOAuthUsageServerTest, WindowsOneLevelDownAreFoundTwoLevelsDownAreNot) {
  writeFile(credentialFile(), credentialJson(kNow + 3600));
  startServer({answer(200, R"({"limits": {"five_hour": {"utilization": 10}}})"),
               answer(200, R"({"a": {"b": {"five_hour": {"utilization": 10}}}})")});
  EXPECT_EQ(fetch().size(), 1u);
  EXPECT_TRUE(fetch().empty());
  EXPECT_EQ(client_->lastStatus(), Status::parseError());
}

TEST_F(ClaudeOAuthUsageServerTest, FailedAnswersBecomeStatusesAndNoSnapshots) {
  struct Case {
    std::string answer;
    Status expected;
  };
  const std::vector<Case> cases = {
      {answer(401, R"({"error": "unauthorized"})"), Status::httpError(401)},
      {answer(429, R"({"error": "rate_limited"})"), Status::httpError(429)},
      {answer(500, "oops"), Status::httpError(500)},
      {answer(200, "<html>not json</html>"), Status::parseError()},
      {answer(200, "[1, 2]"), Status::parseError()},
      {answer(200, "{}"), Status::parseError()},
  };
  writeFile(credentialFile(), credentialJson(kNow + 3600));
  std::vector<std::string> answers;
  for (const auto& c : cases) answers.push_back(c.answer);
  startServer(answers);
  for (const auto& c : cases) {
    EXPECT_TRUE(fetch().empty()) << c.answer;
    EXPECT_EQ(client_->lastStatus(), c.expected) << c.answer;
  }
  EXPECT_EQ(client_->lastStatus(), Status::parseError());
  EXPECT_EQ(Status::httpError(429).label(), "HTTP 429");
  // A 401 does not start a refresh: only the expiry time does.
  EXPECT_TRUE(requestsTo("/oauth/token").empty());
}

TEST_F(ClaudeOAuthUsageServerTest, AnswerSlowerThanTheTimeoutIsANetworkError) {
  writeFile(credentialFile(), credentialJson(kNow + 3600));
  startServer({answer(200, kUsageDocument, 3.0)});
  EXPECT_TRUE(fetch().empty());
  ASSERT_TRUE(client_->lastStatus());
  EXPECT_EQ(client_->lastStatus()->kind(), Status::Kind::networkError);
  EXPECT_EQ(client_->lastStatus()->label().rfind("network: ", 0), 0u);
}

TEST_F(ClaudeOAuthUsageServerTest, UnreachableServerIsANetworkError) {
  writeFile(credentialFile(), credentialJson(kNow + 3600));
  ClaudeOAuthUsage::Endpoints endpoints;
  endpoints.usageURL = "http://127.0.0.1:1/api/oauth/usage";
  endpoints.usageTimeoutSeconds = 1;
  client_ = std::make_unique<ClaudeOAuthUsage>(endpoints, std::make_shared<CurlHttpClient>(),
                                               std::make_shared<ClaudeCredentialFile>(credentialFile(), backupFile()),
                                               loop_);
  EXPECT_TRUE(fetch().empty());
  EXPECT_EQ(client_->lastStatus()->kind(), Status::Kind::networkError);
}

// ---- credential files -------------------------------------------------------------

TEST_F(ClaudeOAuthUsageServerTest, MissingOrMalformedCredentialIsNoCredential) {
  startServer({answer(200, kUsageDocument)});
  EXPECT_FALSE(client_->credentialExists());
  EXPECT_TRUE(fetch().empty());
  EXPECT_EQ(client_->lastStatus(), Status::noCredential());
  EXPECT_EQ(client_->lastStatus()->label(), "no Claude Code credential found");

  for (const std::string bad : {"not json", "[]", R"({"claudeAiOauth": "x"})",
                                R"({"claudeAiOauth": {"accessToken": "a"}})",
                                R"({"claudeAiOauth": {"accessToken": 5, "expiresAt": 1}})",
                                R"({"claudeAiOauth": {"accessToken": "a", "expiresAt": "soon"}})"}) {
    writeFile(credentialFile(), bad);
    EXPECT_TRUE(fetch().empty()) << bad;
    EXPECT_EQ(client_->lastStatus(), Status::noCredential()) << bad;
  }
  EXPECT_TRUE(requestsTo("/api/oauth/usage").empty());
}

TEST_F(ClaudeOAuthUsageServerTest, ExpiringCredentialIsRefreshedRotatedAndWrittenBack) {
  writeFile(credentialFile(), credentialJson(kNow + 59));
  ::chmod(credentialFile().c_str(), 0600);
  const std::string before = readFile(credentialFile());
  startServer({answer(200, kUsageDocument)}, {tokenAnswer("at-new-0002", "rt-new-0002")});
  EXPECT_EQ(fetch().size(), 3u);

  auto token = requestsTo("/primary/v1/oauth/token");
  ASSERT_EQ(token.size(), 1u);
  EXPECT_EQ(token[0]["method"], "POST");
  EXPECT_EQ(Json::parse(std::string(token[0]["body"])),
            (Json{{"grant_type", "refresh_token"}, {"refresh_token", "rt-old-0001"},
                  {"client_id", ClaudeOAuthUsage::kClientId}}));
  EXPECT_EQ(requestsTo("/api/oauth/usage")[0]["headers"]["Authorization"], "Bearer at-new-0002");

  auto stored = Json::parse(readFile(credentialFile()));
  EXPECT_EQ(stored["claudeAiOauth"]["accessToken"], "at-new-0002");
  EXPECT_EQ(stored["claudeAiOauth"]["refreshToken"], "rt-new-0002");
  EXPECT_EQ(stored["claudeAiOauth"]["expiresAt"], static_cast<long long>((kNow + 28800) * 1000));
  EXPECT_EQ(stored["claudeAiOauth"]["subscriptionType"], "pro");
  EXPECT_EQ(stored["claudeAiOauth"]["scopes"], Json::array({"user:inference"}));
  EXPECT_EQ(stored["mcpOAuth"]["server"]["token"], "keep-me");
  struct stat st {};
  ASSERT_EQ(::stat(credentialFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(backupFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(Json::parse(readFile(backupFile())), Json::parse(before));

  const std::string log = logText();
  EXPECT_NE(log.find("Claude OAuth token refreshed (rotated: true)"), std::string::npos);
  for (const char* secret : {"at-old-0001", "at-new-0002", "rt-old-0001", "rt-new-0002", "Bearer"})
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
}

TEST_F(ClaudeOAuthUsageServerTest, CredentialValidForMoreThanAMinuteIsUsedAsIs) {
  writeFile(credentialFile(), credentialJson(kNow + 61));
  startServer({answer(200, kUsageDocument)}, {tokenAnswer("at-new-0002", std::nullopt)});
  EXPECT_EQ(fetch().size(), 3u);
  EXPECT_TRUE(requestsTo("/oauth/token").empty());
}

TEST_F(ClaudeOAuthUsageServerTest, RefreshWithoutRotationKeepsTheOldRefreshToken) {
  writeFile(credentialFile(), credentialJson(kNow - 10));
  startServer({answer(200, kUsageDocument)}, {tokenAnswer("at-new-0002", std::nullopt)});
  EXPECT_EQ(fetch().size(), 3u);
  auto stored = Json::parse(readFile(credentialFile()));
  EXPECT_EQ(stored["claudeAiOauth"]["refreshToken"], "rt-old-0001");
  EXPECT_NE(logText().find("Claude OAuth token refreshed (rotated: false)"), std::string::npos);
}

TEST_F(ClaudeOAuthUsageServerTest, TokenEndpointAnswering404Or405FallsBackToTheSecond) {
  for (int status : {404, 405}) {
    writeFile(credentialFile(), credentialJson(kNow));
    startServer({answer(200, kUsageDocument)}, {answer(status, "gone")}, {tokenAnswer("at-new-0002", "rt-new-0002")});
    EXPECT_EQ(fetch().size(), 3u) << status;
    EXPECT_EQ(requestsTo("/primary/v1/oauth/token").size(), 1u);
    EXPECT_EQ(requestsTo("/fallback/v1/oauth/token").size(), 1u);
  }
}

TEST_F(ClaudeOAuthUsageServerTest, TokenEndpointAnswering400FailsAndBacksOffFor15Minutes) {
  writeFile(credentialFile(), credentialJson(kNow));
  const std::string before = readFile(credentialFile());
  startServer({answer(200, kUsageDocument)}, {answer(400, R"({"error": "invalid_grant"})")},
              {tokenAnswer("at-new-0002", "rt-new-0002")});
  EXPECT_TRUE(fetch().empty());
  EXPECT_EQ(client_->lastStatus(), Status::refreshFailed("HTTP 400"));
  EXPECT_EQ(client_->lastStatus()->label(), "token refresh failed: HTTP 400");
  EXPECT_TRUE(requestsTo("/fallback/v1/oauth/token").empty());
  EXPECT_EQ(readFile(credentialFile()), before);
  EXPECT_NE(logText().find("Claude OAuth refresh failed: HTTP 400"), std::string::npos);

  EXPECT_TRUE(fetch(kNow + 899).empty());
  EXPECT_EQ(client_->lastStatus(), Status::tokenExpired());
  EXPECT_EQ(requestsTo("/oauth/token").size(), 1u);
  EXPECT_TRUE(requestsTo("/api/oauth/usage").empty());

  EXPECT_TRUE(fetch(kNow + 900).empty());
  EXPECT_EQ(requestsTo("/oauth/token").size(), 2u);
}

TEST_F(ClaudeOAuthUsageServerTest, MalformedTokenAnswerAndExhaustedEndpointsAreRefreshFailures) {
  writeFile(credentialFile(), credentialJson(kNow));
  startServer({answer(200, kUsageDocument)}, {answer(200, R"({"access_token": "x"})")});
  EXPECT_TRUE(fetch().empty());
  EXPECT_EQ(client_->lastStatus(), Status::refreshFailed("unexpected token response"));

  startServer({answer(200, kUsageDocument)}, {answer(404, "")}, {answer(405, "")});
  EXPECT_TRUE(fetch().empty());
  EXPECT_EQ(client_->lastStatus(), Status::refreshFailed("HTTP 405"));
}

TEST_F(ClaudeOAuthUsageServerTest, CredentialWithoutRefreshTokenWaitsForClaudeCode) {
  writeFile(credentialFile(), credentialJson(kNow + 30, std::nullopt));
  startServer({answer(200, kUsageDocument)}, {tokenAnswer("at-new-0002", "rt-new-0002")});
  EXPECT_TRUE(fetch().empty());
  EXPECT_EQ(client_->lastStatus(), Status::tokenExpired());
  EXPECT_EQ(client_->lastStatus()->label(), "token expired \u2014 waiting for Claude to refresh it");
  EXPECT_TRUE(server_->requests().empty());
}

TEST_F(ClaudeOAuthUsageServerTest, CredentialContainingASingleQuoteIsWrittenBackIntact) {
  writeFile(credentialFile(), credentialJson(kNow, "rt-old-0001", R"("subscriptionType": "team's plan")"));
  startServer({answer(200, kUsageDocument)}, {tokenAnswer("at-new-0002", "rt-new-0002")});
  EXPECT_EQ(fetch().size(), 3u);
  auto stored = Json::parse(readFile(credentialFile()));
  EXPECT_EQ(stored["claudeAiOauth"]["subscriptionType"], "team's plan");
  EXPECT_EQ(stored["claudeAiOauth"]["accessToken"], "at-new-0002");
  EXPECT_TRUE(client_->isPooledAccount());
}

TEST_F(ClaudeOAuthUsageServerTest, UnwritableCredentialIsNeverRefreshed) {
  struct Case {
    std::string name;
    std::function<void()> block;
  };
  const std::vector<Case> cases = {
      // Permissions do not stop root: a file made read-only is refused by the
      // write-back itself, and a link target whose temporary sibling name is too
      // long fails like a read-only folder or a full disk.
      {"read-only file", [&] { ::chmod(credentialFile().c_str(), 0400); }},
      {"unwritable folder",
       [&] {
         const auto target = home_ / "store" / std::string(245, 'c');
         writeFile(target, readFile(credentialFile()));
         std::filesystem::remove(credentialFile());
         std::filesystem::create_symlink(target, credentialFile());
       }},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(claudeHome());
    std::filesystem::remove_all(home_ / "store");
    writeFile(credentialFile(), credentialJson(kNow));
    c.block();
    const std::string before = readFile(credentialFile());
    startServer({answer(200, kUsageDocument)}, {tokenAnswer("at-new-0002", "rt-new-0002")});
    EXPECT_TRUE(fetch().empty()) << c.name;
    // The refresh token was never sent, so the server did not retire it.
    EXPECT_TRUE(requestsTo("/oauth/token").empty()) << c.name;
    EXPECT_EQ(client_->lastStatus(), Status::refreshFailed("credential file not writable")) << c.name;
    EXPECT_EQ(client_->lastStatus()->label(), "token refresh failed: credential file not writable");
    EXPECT_EQ(client_->credentialWarning(), ClaudeOAuthUsage::kNotWritableWarning) << c.name;
    EXPECT_EQ(readFile(credentialFile()), before) << c.name;
    EXPECT_FALSE(std::filesystem::exists(pendingFile())) << c.name;
    ::chmod(credentialFile().c_str(), 0600);
  }
  EXPECT_NE(logText().find("ERROR Claude OAuth refresh skipped: Claude Code's credential file cannot be written"),
            std::string::npos);
  EXPECT_TRUE(requestsTo("/api/oauth/usage").empty());
}

TEST_F(ClaudeOAuthUsageServerTest, AFailedWriteBackKeepsTheRotatedCredentialAndRetriesIt) {
  tokenTimeout_ = 10;
  writeFile(credentialFile(), credentialJson(kNow));
  ::chmod(credentialFile().c_str(), 0600);
  startServer({answer(200, kUsageDocument)}, {answer(200, Json{{"access_token", "at-new-0002"},
                                                               {"refresh_token", "rt-new-0002"},
                                                               {"expires_in", 28800}}.dump(), 1.0)});
  // The file turns read-only after the check and before the write-back.
  auto blocker = whileTokenRequestInFlight([&] { ::chmod(credentialFile().c_str(), 0400); });
  EXPECT_EQ(fetch().size(), 3u);
  blocker.join();

  // The new access token is used at once; the rotated refresh token is kept, 0600.
  EXPECT_EQ(requestsTo("/api/oauth/usage")[0]["headers"]["Authorization"], "Bearer at-new-0002");
  EXPECT_EQ(stored()["claudeAiOauth"]["refreshToken"], "rt-old-0001");
  ASSERT_TRUE(std::filesystem::exists(pendingFile()));
  EXPECT_EQ(Json::parse(readFile(pendingFile()))["claudeAiOauth"]["refreshToken"], "rt-new-0002");
  struct stat st {};
  ASSERT_EQ(::stat(pendingFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(client_->credentialWarning(), ClaudeOAuthUsage::kPendingWarning);
  EXPECT_NE(logText().find("ERROR Claude OAuth refresh: credential write-back failed; kept the new credential in "
                           "Quotadial's folder and will retry"),
            std::string::npos);

  // Still read-only at the next fetch: the kept credential serves, no new refresh.
  EXPECT_EQ(fetch(kNow + 300).size(), 3u);
  EXPECT_EQ(requestsTo("/oauth/token").size(), 1u);
  EXPECT_EQ(requestsTo("/api/oauth/usage")[1]["headers"]["Authorization"], "Bearer at-new-0002");

  // Writable again: the next fetch writes it back and forgets the kept copy.
  ::chmod(credentialFile().c_str(), 0600);
  EXPECT_EQ(fetch(kNow + 600).size(), 3u);
  EXPECT_EQ(stored()["claudeAiOauth"]["refreshToken"], "rt-new-0002");
  EXPECT_EQ(stored()["claudeAiOauth"]["accessToken"], "at-new-0002");
  EXPECT_EQ(stored()["mcpOAuth"]["server"]["token"], "keep-me");
  EXPECT_FALSE(std::filesystem::exists(pendingFile()));
  EXPECT_EQ(client_->credentialWarning(), std::nullopt);
  EXPECT_NE(logText().find("INFO Claude OAuth: wrote back the refreshed credential kept in Quotadial's folder"),
            std::string::npos);
  EXPECT_EQ(requestsTo("/oauth/token").size(), 1u);
}

TEST_F(ClaudeOAuthUsageServerTest, AKeptCredentialGivesWayToANewerOneFromClaudeCode) {
  tokenTimeout_ = 10;
  writeFile(credentialFile(), credentialJson(kNow));
  startServer({answer(200, kUsageDocument)}, {answer(200, Json{{"access_token", "at-new-0002"},
                                                               {"refresh_token", "rt-new-0002"},
                                                               {"expires_in", 28800}}.dump(), 1.0)});
  auto blocker = whileTokenRequestInFlight([&] { ::chmod(credentialFile().c_str(), 0400); });
  EXPECT_EQ(fetch().size(), 3u);
  blocker.join();
  ASSERT_TRUE(std::filesystem::exists(pendingFile()));

  // Claude Code logs in again (or refreshes) and writes its own credential.
  ::chmod(credentialFile().c_str(), 0600);
  const std::string claudeCode = R"({"claudeAiOauth": {"accessToken": "at-cc-0003", "refreshToken": "rt-cc-0003",
                                      "expiresAt": )" + std::to_string(static_cast<long long>((kNow + 3600) * 1000)) + "}}";
  writeFile(credentialFile(), claudeCode);
  EXPECT_EQ(fetch(kNow + 300).size(), 3u);
  EXPECT_EQ(readFile(credentialFile()), claudeCode);
  EXPECT_FALSE(std::filesystem::exists(pendingFile()));
  EXPECT_EQ(client_->credentialWarning(), std::nullopt);
  EXPECT_EQ(requestsTo("/api/oauth/usage")[1]["headers"]["Authorization"], "Bearer at-cc-0003");
}

TEST_F(ClaudeOAuthUsageServerTest, ClaudeCodeRefreshingMeanwhileKeepsItsTokens) {
  tokenTimeout_ = 10;
  writeFile(credentialFile(), credentialJson(kNow));
  startServer({answer(200, kUsageDocument)}, {answer(200, Json{{"access_token", "at-new-0002"},
                                                               {"refresh_token", "rt-new-0002"},
                                                               {"expires_in", 28800}}.dump(), 1.0)});
  const std::string claudeCode = R"({"claudeAiOauth": {"accessToken": "at-cc-0003", "refreshToken": "rt-cc-0003",
                                      "expiresAt": )" + std::to_string(static_cast<long long>((kNow + 28800) * 1000)) +
                                 R"(, "subscriptionType": "max"}})";
  auto claude = whileTokenRequestInFlight([&] { writeFile(credentialFile(), claudeCode); });
  EXPECT_EQ(fetch().size(), 3u);
  claude.join();
  EXPECT_EQ(readFile(credentialFile()), claudeCode);
  EXPECT_EQ(requestsTo("/api/oauth/usage")[0]["headers"]["Authorization"], "Bearer at-cc-0003");
  EXPECT_FALSE(std::filesystem::exists(pendingFile()));
  EXPECT_NE(logText().find("INFO Claude OAuth refresh: Claude Code refreshed the credential meanwhile; keeping its "
                           "version"),
            std::string::npos);
}

TEST_F(ClaudeOAuthUsageServerTest, TokenLifetimesOutOfRangeAreWrittenAsExpiringNow) {
  const auto nowMs = static_cast<long long>(kNow * 1000);
  struct Case {
    std::string expiresIn;
    long long expected;
  };
  const std::vector<Case> cases = {
      {"1e300", nowMs},
      {"-5", nowMs},
      {"0", nowMs},
      {"31708800", nowMs},  // 367 days
      {"31622400", nowMs + 31'622'400'000LL},  // 366 days: the longest believed
      {"28800", nowMs + 28'800'000LL},
  };
  for (const auto& c : cases) {
    writeFile(credentialFile(), credentialJson(kNow));
    startServer({answer(200, kUsageDocument)},
                {answer(200, R"({"access_token": "at-new-0002", "refresh_token": "rt-new-0002", "expires_in": )" +
                                 c.expiresIn + "}")});
    EXPECT_EQ(fetch().size(), 3u) << c.expiresIn;
    const auto written = stored()["claudeAiOauth"]["expiresAt"];
    ASSERT_TRUE(written.is_number_integer()) << c.expiresIn;
    EXPECT_EQ(written.get<long long>(), c.expected) << c.expiresIn;
    EXPECT_EQ(stored()["claudeAiOauth"]["refreshToken"], "rt-new-0002") << c.expiresIn;
  }
  EXPECT_NE(logText().find("WARN Claude OAuth refresh: token lifetime out of range; recorded as expiring now"),
            std::string::npos);
}

// The client id must be the one Claude Code itself refreshes this credential with.
std::optional<std::string> clientIdAfterTokenURL(std::string_view text) {
  const std::string_view tokenURL = R"(TOKEN_URL:"https://platform.claude.com/v1/oauth/token")";
  const auto at = text.find(tokenURL);
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view key = R"(CLIENT_ID:")";
  const auto id = text.find(key, at);
  if (id == std::string_view::npos || id - at > 2000) return std::nullopt;
  const auto start = id + key.size();
  const auto end = text.find('"', start);
  if (end == std::string_view::npos) return std::nullopt;
  return std::string(text.substr(start, end - start));
}

TEST(ClaudeOAuthClientId, IsTheOneClaudeCodeRefreshesWith) {
  const auto fixture = readFile(std::filesystem::path(QUOTADIAL_TEST_FIXTURES_DIR) / "claude-code-oauth-config.txt");
  EXPECT_EQ(clientIdAfterTokenURL(fixture), std::string(ClaudeOAuthUsage::kClientId));
  EXPECT_EQ(std::string(ClaudeOAuthUsage::kClientId), "9d1c250a-e61b-44d9-88ed-5944d1962f5e");
}

TEST(ClaudeOAuthClientId, MatchesTheInstalledClaudeCode) {
  // Claude Code from npm: the cache the developers install it into, or one named
  // by QUOTADIAL_CLAUDE_CODE_BINARY.
  std::vector<std::filesystem::path> candidates;
  if (const char* named = std::getenv("QUOTADIAL_CLAUDE_CODE_BINARY")) candidates.emplace_back(named);
  // The account's own home: the tests' HOME points into a sandbox.
  if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir)
    candidates.push_back(std::filesystem::path(user->pw_dir) /
                         ".cache/quotadial-npm/node_modules/@anthropic-ai/claude-code/bin/claude.exe");
  std::optional<std::filesystem::path> binary;
  for (const auto& c : candidates)
    if (std::filesystem::is_regular_file(c)) {
      binary = c;
      break;
    }
  if (!binary) GTEST_SKIP() << "Claude Code is not installed (npm install --prefix ~/.cache/quotadial-npm "
                               "@anthropic-ai/claude-code)";
  // Read in slices with an overlap, so the configuration object is found whole.
  std::ifstream in(*binary, std::ios::binary);
  std::string window;
  std::optional<std::string> found;
  std::vector<char> slice(16 << 20);
  while (!found && in) {
    in.read(slice.data(), static_cast<std::streamsize>(slice.size()));
    window.append(slice.data(), static_cast<size_t>(in.gcount()));
    found = clientIdAfterTokenURL(window);
    if (window.size() > 8192) window.erase(0, window.size() - 8192);
  }
  ASSERT_TRUE(found) << "no OAuth configuration in " << *binary;
  EXPECT_EQ(*found, ClaudeOAuthUsage::kClientId);
}

TEST(ClaudeOAuthEndpoints, EnvironmentOverridesTheDefaults) {
  ::unsetenv("QUOTADIAL_CLAUDE_USAGE_URL");
  ::unsetenv("QUOTADIAL_CLAUDE_TOKEN_URLS");
  auto defaults = ClaudeOAuthUsage::Endpoints::fromEnvironment();
  EXPECT_EQ(defaults.usageURL, "https://api.anthropic.com/api/oauth/usage");
  ASSERT_EQ(defaults.tokenURLs.size(), 2u);

  ::setenv("QUOTADIAL_CLAUDE_USAGE_URL", "http://127.0.0.1:9/u", 1);
  ::setenv("QUOTADIAL_CLAUDE_TOKEN_URLS", " http://127.0.0.1:9/a , ,http://127.0.0.1:9/b", 1);
  auto overridden = ClaudeOAuthUsage::Endpoints::fromEnvironment();
  EXPECT_EQ(overridden.usageURL, "http://127.0.0.1:9/u");
  EXPECT_EQ(overridden.tokenURLs, (std::vector<std::string>{"http://127.0.0.1:9/a", "http://127.0.0.1:9/b"}));
  ::unsetenv("QUOTADIAL_CLAUDE_USAGE_URL");
  ::unsetenv("QUOTADIAL_CLAUDE_TOKEN_URLS");
}

}  // namespace
}  // namespace qd
