#include "providers/claude/claude_oauth_usage.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "providers/claude/claude_credential_file.h"
#include "providers/claude/credential_store.h"
#include "utilities/curl_http_client.h"
#include "utilities/app_logger.h"
#include "utilities/text.h"
#include "utilities/json_document.h"

namespace qd {

using OJson = nlohmann::ordered_json;

namespace {

constexpr double kRefreshLeadSeconds = 60;
constexpr double kRefreshBackoffSeconds = 900;
constexpr int kWriteAttempts = 3;
// A token lifetime outside (0, one year] is not believed: the credential is then
// written as expiring now, so Claude Code (and the next fetch) refresh it again
// with the rotated refresh token instead of trusting a nonsense date.
constexpr double kMaxTokenLifetimeSeconds = 366.0 * 86400;
// Room asked of the credential's folder beyond the document itself.
constexpr std::size_t kWriteProbeSlack = 4096;
// Numbers above this are milliseconds since 1970, at or below it seconds.
constexpr double kMillisecondThreshold = 5'000'000'000.0;

std::optional<OJson> parseJson(std::string_view text) { return parseJsonDocument<OJson>(text); }

// Compact JSON, or nothing when a string is not valid UTF-8.
std::optional<std::string> dumpJson(const OJson& value) {
  try {
    return value.dump();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> stringMember(const OJson& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

struct WindowMapping {
  WindowKind kind;
  double minutes;
  const char* limitName;
};

std::optional<WindowMapping> windowFor(const std::string& key) {
  if (key == "five_hour" || key == "current_session" || key == "session")
    return WindowMapping{WindowKind::fiveHour, 300, "fiveHour"};
  if (key == "seven_day" || key == "weekly" || key == "seven_day_overall")
    return WindowMapping{WindowKind::sevenDay, 10080, "sevenDay"};
  if (key == "seven_day_sonnet") return WindowMapping{WindowKind::weekly, 10080, "Sonnet 7d"};
  return std::nullopt;
}

std::optional<Timestamp> resetTime(const OJson& window) {
  auto it = window.find("resets_at");
  if (it == window.end()) return std::nullopt;
  if (it->is_string()) return parseISO8601(it->get_ref<const std::string&>());
  if (it->is_number()) {
    double v = it->get<double>();
    if (!std::isfinite(v)) return std::nullopt;
    return fromUnixSeconds(v > kMillisecondThreshold ? v / 1000 : v);
  }
  return std::nullopt;
}

std::vector<UsageSnapshot> snapshotsFrom(const OJson& root, Timestamp now) {
  std::vector<std::pair<const std::string*, const OJson*>> candidates;
  for (auto it = root.begin(); it != root.end(); ++it)
    if (it->is_object()) candidates.emplace_back(&it.key(), &it.value());
  const size_t topLevel = candidates.size();
  for (size_t i = 0; i < topLevel; ++i)
    for (auto it = candidates[i].second->begin(); it != candidates[i].second->end(); ++it)
      if (it->is_object()) candidates.emplace_back(&it.key(), &it.value());

  std::vector<UsageSnapshot> out;
  for (const auto& [key, window] : candidates) {
    auto mapping = windowFor(*key);
    if (!mapping) continue;
    std::optional<double> used;
    for (const char* name : {"utilization", "used_percentage", "used_pct", "percent_used"}) {
      auto it = window->find(name);
      if (it != window->end() && it->is_number()) {
        used = it->get<double>();
        break;
      }
    }
    if (!used) continue;
    if (std::any_of(out.begin(), out.end(), [&](const UsageSnapshot& s) { return s.windowKind == mapping->kind; }))
      continue;
    UsageSnapshot s;
    s.provider = Provider::claude;
    s.timestamp = now;
    s.windowKind = mapping->kind;
    s.windowDurationMins = mapping->minutes;
    s.limitName = mapping->limitName;
    s.usedPercent = std::clamp(*used, 0.0, 100.0);
    s.remainingPercent = std::max(0.0, 100.0 - s.usedPercent);
    s.resetAt = resetTime(*window);
    s.source = SnapshotSource::claudeOAuth;
    s.sourceConfidence = SourceConfidence::high;
    out.push_back(std::move(s));
  }
  return out;
}

std::optional<ClaudeOAuthUsage::ExtraUsage> extraUsageFrom(const OJson& root) {
  auto it = root.find("extra_usage");
  if (it == root.end() || !it->is_object()) return std::nullopt;
  const OJson& extra = *it;
  auto money = [&](const char* key) -> std::optional<double> {
    auto m = extra.find(key);
    if (m == extra.end() || !m->is_number()) return std::nullopt;
    return m->get<double>() / 100.0;
  };
  ClaudeOAuthUsage::ExtraUsage e;
  e.usedGBP = money("used_credits").value_or(0);
  auto enabled = extra.find("is_enabled");
  e.enabled = enabled != extra.end() && enabled->is_boolean() && enabled->get<bool>();
  e.limitGBP = money("monthly_limit");
  e.currency = stringMember(extra, "currency").value_or("GBP");
  return e;
}

std::string envOrEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string trimmed(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r\n");
  return std::string(s.substr(first, last - first + 1));
}

}  // namespace

// ---- records ------------------------------------------------------------------

struct ClaudeOAuthUsage::Credential {
  std::optional<std::string> subscriptionType;
  std::string accessToken;
  std::optional<std::string> refreshToken;
  Timestamp expiresAt;
  OJson raw;  // the whole document, so a write-back keeps every key
  // The file's document this credential was taken from (differs from `raw` for
  // one kept for write-back).
  OJson onDisk;
};

namespace {

// Claude Code refreshed (or replaced) the credential when either token differs.
bool sameTokens(const OJson& a, const OJson& b) {
  auto tokens = [](const OJson& doc) {
    std::pair<std::optional<std::string>, std::optional<std::string>> out;
    auto oauth = doc.find("claudeAiOauth");
    if (oauth == doc.end() || !oauth->is_object()) return out;
    out.first = stringMember(*oauth, "accessToken");
    out.second = stringMember(*oauth, "refreshToken");
    return out;
  };
  return tokens(a) == tokens(b);
}

// `fresh` with the `claudeAiOauth` members of `ours` laid over its own, so what
// Claude Code wrote meanwhile elsewhere in the document survives.
OJson mergedOver(const OJson& fresh, const OJson& ours) {
  OJson out = fresh;
  OJson oauth = out.contains("claudeAiOauth") && out["claudeAiOauth"].is_object() ? out["claudeAiOauth"] : OJson::object();
  if (auto it = ours.find("claudeAiOauth"); it != ours.end() && it->is_object())
    for (auto m = it->begin(); m != it->end(); ++m) oauth[m.key()] = m.value();
  out["claudeAiOauth"] = std::move(oauth);
  return out;
}

}  // namespace

struct ClaudeOAuthUsage::RefreshResult {
  std::optional<Credential> credential;
  Status failure = Status::tokenExpired();
};

struct ClaudeOAuthUsage::Published {
  std::mutex mutex;
  std::optional<Status> lastStatus;
  std::optional<ExtraUsage> lastExtraUsage;
  std::uint64_t completed = 0;
};

std::string ClaudeOAuthUsage::Status::label() const {
  switch (kind_) {
    case Kind::ok: return "ok (" + std::to_string(number_) + " windows)";
    case Kind::httpError: return "HTTP " + std::to_string(number_);
    case Kind::networkError: return "network: " + message_;
    case Kind::refreshFailed: return "token refresh failed: " + message_;
    case Kind::tokenExpired: return "token expired \u2014 waiting for Claude to refresh it";
    case Kind::noCredential: return "no Claude Code credential found";
    case Kind::parseError: return "unrecognised response shape";
  }
  return {};
}

ClaudeOAuthUsage::Endpoints ClaudeOAuthUsage::Endpoints::defaults() {
  Endpoints e;
  e.usageURL = "https://api.anthropic.com/api/oauth/usage";
  e.tokenURLs = {"https://platform.claude.com/v1/oauth/token", "https://console.anthropic.com/v1/oauth/token"};
  return e;
}

ClaudeOAuthUsage::Endpoints ClaudeOAuthUsage::Endpoints::fromEnvironment() {
  Endpoints e = defaults();
  if (auto usage = trimmed(envOrEmpty("QUOTADIAL_CLAUDE_USAGE_URL")); !usage.empty()) e.usageURL = usage;
  const std::string tokens = envOrEmpty("QUOTADIAL_CLAUDE_TOKEN_URLS");
  std::vector<std::string> urls;
  size_t start = 0;
  while (start <= tokens.size()) {
    size_t comma = tokens.find(',', start);
    if (comma == std::string::npos) comma = tokens.size();
    if (auto url = trimmed(std::string_view(tokens).substr(start, comma - start)); !url.empty())
      urls.push_back(std::move(url));
    start = comma + 1;
  }
  if (!urls.empty()) e.tokenURLs = std::move(urls);
  return e;
}

// ---- construction and accessors ---------------------------------------------------

ClaudeOAuthUsage::ClaudeOAuthUsage(Endpoints endpoints, std::shared_ptr<HttpClient> http,
                                   std::shared_ptr<CredentialStore> credentials, MainLoop& mainLoop)
    : endpoints_(std::move(endpoints)),
      http_(std::move(http)),
      credentials_(std::move(credentials)),
      mainLoop_(mainLoop),
      published_(std::make_shared<Published>()) {}

// A fetch in flight ends at once instead of waiting out its timeouts; the queue,
// the last member, is joined after this body.
ClaudeOAuthUsage::~ClaudeOAuthUsage() { cancelled_ = true; }

std::shared_ptr<ClaudeOAuthUsage> ClaudeOAuthUsage::standard(MainLoop& mainLoop) {
  return std::make_shared<ClaudeOAuthUsage>(Endpoints::fromEnvironment(), std::make_shared<CurlHttpClient>(),
                                            std::make_shared<ClaudeCredentialFile>(ClaudeCredentialFile::standard()),
                                            mainLoop);
}

std::optional<ClaudeOAuthUsage::Status> ClaudeOAuthUsage::lastStatus() const {
  std::lock_guard lock(published_->mutex);
  return published_->lastStatus;
}

std::optional<ClaudeOAuthUsage::ExtraUsage> ClaudeOAuthUsage::lastExtraUsage() const {
  std::lock_guard lock(published_->mutex);
  return published_->lastExtraUsage;
}

std::uint64_t ClaudeOAuthUsage::completedFetches() const {
  std::lock_guard lock(published_->mutex);
  return published_->completed;
}

bool ClaudeOAuthUsage::isPooledAccount() const {
  std::lock_guard lock(mutex_);
  if (!subscriptionType_) return false;
  const std::string type = asciiLowercase(*subscriptionType_);
  return type.find("team") != std::string::npos || type.find("enterprise") != std::string::npos;
}

bool ClaudeOAuthUsage::credentialExists() {
  std::lock_guard lock(mutex_);
  if (!credentialExists_) credentialExists_ = credentials_->exists();
  return *credentialExists_;
}

std::optional<std::vector<UsageSnapshot>> ClaudeOAuthUsage::parse(std::string_view body, Timestamp now) {
  auto json = parseJson(body);
  if (!json || !json->is_object()) return std::nullopt;
  return snapshotsFrom(*json, now);
}

std::optional<ClaudeOAuthUsage::ExtraUsage> ClaudeOAuthUsage::parseExtraUsage(std::string_view body) {
  auto json = parseJson(body);
  if (!json || !json->is_object()) return std::nullopt;
  return extraUsageFrom(*json);
}

// ---- the fetch ----------------------------------------------------------------

void ClaudeOAuthUsage::fetch(Timestamp now, Completion completion) {
  queue_.async([this, now, completion = std::move(completion)]() mutable { runFetch(now, std::move(completion)); });
}

void ClaudeOAuthUsage::runFetch(Timestamp now, Completion completion) {
  auto credential = readCredential();
  if (!credential) return finish(Status::noCredential(), {}, std::move(completion), std::nullopt);
  if (auto kept = resolvePending(*credential)) credential = std::move(kept);

  if (credential->expiresAt <= addSeconds(now, kRefreshLeadSeconds)) {
    auto refreshed = refresh(*credential, now);
    if (!refreshed.credential) return finish(refreshed.failure, {}, std::move(completion), std::nullopt);
    credential = std::move(refreshed.credential);
  }

  HttpClient::Request request;
  request.method = "GET";
  request.url = endpoints_.usageURL;
  request.timeoutSeconds = endpoints_.usageTimeoutSeconds;
  request.cancel = &cancelled_;
  request.headers = {{"Authorization", "Bearer " + credential->accessToken},
                     {"anthropic-beta", "oauth-2025-04-20"},
                     {"Content-Type", "application/json"}};
  auto result = http_->perform(request);
  if (auto* error = std::get_if<HttpClient::TransportError>(&result))
    return finish(Status::networkError(error->message), {}, std::move(completion), std::nullopt);
  auto& response = std::get<HttpClient::Response>(result);
  if (response.status != 200)
    return finish(Status::httpError(static_cast<int>(response.status)), {}, std::move(completion), std::nullopt);

  auto json = parseJson(response.body);
  if (!json || !json->is_object()) return finish(Status::parseError(), {}, std::move(completion), std::nullopt);
  auto snapshots = snapshotsFrom(*json, now);
  auto extra = extraUsageFrom(*json);

  if (!lastStatusOnQueue_ && !snapshots.empty()) {
    std::vector<std::string> keys;
    for (auto it = json->begin(); it != json->end(); ++it) keys.push_back(it.key());
    std::sort(keys.begin(), keys.end());
    std::string joined;
    for (const auto& k : keys) joined += (joined.empty() ? "" : ",") + k;
    AppLogger::shared().info("Claude OAuth usage keys: " + joined);
  }
  if (snapshots.empty()) return finish(Status::parseError(), {}, std::move(completion), extra);
  const int count = static_cast<int>(snapshots.size());
  finish(Status::ok(count), std::move(snapshots), std::move(completion), extra);
}

void ClaudeOAuthUsage::finish(const Status& status, std::vector<UsageSnapshot> snapshots, Completion completion,
                              std::optional<ExtraUsage> extra) {
  lastStatusOnQueue_ = status;
  mainLoop_.post([published = published_, status, extra, snapshots = std::move(snapshots),
                  completion = std::move(completion)]() mutable {
    {
      std::lock_guard lock(published->mutex);
      published->lastStatus = status;
      if (extra) published->lastExtraUsage = extra;
    }
    if (completion) completion(std::move(snapshots));
    std::lock_guard lock(published->mutex);
    ++published->completed;
  });
}

// ---- the credential --------------------------------------------------------------

std::optional<ClaudeOAuthUsage::Credential> ClaudeOAuthUsage::readCredential() {
  auto secret = credentials_->readSecret();
  if (!secret) return std::nullopt;
  auto doc = parseJson(*secret);
  if (!doc || !doc->is_object()) return std::nullopt;
  auto oauth = doc->find("claudeAiOauth");
  if (oauth == doc->end() || !oauth->is_object()) return std::nullopt;
  auto access = oauth->find("accessToken");
  auto expires = oauth->find("expiresAt");
  if (access == oauth->end() || !access->is_string() || expires == oauth->end() || !expires->is_number())
    return std::nullopt;

  Credential c;
  c.accessToken = access->get<std::string>();
  c.expiresAt = fromUnixSeconds(expires->get<double>() / 1000.0);
  c.refreshToken = stringMember(*oauth, "refreshToken");
  c.subscriptionType = stringMember(*oauth, "subscriptionType");
  c.raw = std::move(*doc);
  c.onDisk = c.raw;
  {
    std::lock_guard lock(mutex_);
    subscriptionType_ = c.subscriptionType;
  }
  return c;
}

bool ClaudeOAuthUsage::writeCredential(const std::string& json, const std::string& expectedAccessToken) {
  if (!credentials_->addOrUpdate(json)) return false;
  auto back = readCredential();
  return back && back->accessToken == expectedAccessToken;
}

ClaudeOAuthUsage::RefreshResult ClaudeOAuthUsage::refresh(const Credential& credential, Timestamp now) {
  auto fail = [](Status s) { return RefreshResult{std::nullopt, std::move(s)}; };
  if (!credential.refreshToken || credential.refreshToken->empty()) return fail(Status::tokenExpired());
  if (lastRefreshFailure_ && secondsBetween(*lastRefreshFailure_, now) < kRefreshBackoffSeconds)
    return fail(Status::tokenExpired());

  // The server retires the refresh token it is sent: spend it only when the new
  // one can be stored.
  const std::size_t documentSize = dumpJson(credential.raw).value_or(std::string()).size();
  if (!credentials_->canReplace(documentSize + kWriteProbeSlack)) {
    if (lastStatusOnQueue_ != Status::refreshFailed(kNotWritable))
      AppLogger::shared().error("Claude OAuth refresh skipped: Claude Code's credential file cannot be written");
    setCredentialWarning(kNotWritableWarning);
    return fail(Status::refreshFailed(kNotWritable));
  }

  OJson bodyJson = {{"grant_type", "refresh_token"},
                    {"refresh_token", *credential.refreshToken},
                    {"client_id", kClientId}};
  auto body = dumpJson(bodyJson);
  if (!body) return fail(Status::refreshFailed("encode"));

  std::optional<HttpClient::Response> answer;
  std::string lastMessage = "no response";
  for (const auto& url : endpoints_.tokenURLs) {
    HttpClient::Request request;
    request.method = "POST";
    request.url = url;
    request.body = *body;
    // Never cancelled: a refresh the server has answered rotates the token, and
    // the new one must reach the credential file.
    request.timeoutSeconds = endpoints_.tokenTimeoutSeconds;
    request.headers = {{"Content-Type", "application/json"}};
    auto result = http_->perform(request);
    if (auto* error = std::get_if<HttpClient::TransportError>(&result)) {
      lastMessage = error->message;
      continue;
    }
    auto& response = std::get<HttpClient::Response>(result);
    if (response.status == 404 || response.status == 405) {
      lastMessage = "HTTP " + std::to_string(response.status);
      continue;
    }
    answer = std::move(response);
    break;
  }
  if (!answer) {
    lastRefreshFailure_ = now;
    return fail(Status::refreshFailed(lastMessage));
  }
  if (answer->status != 200) {
    lastRefreshFailure_ = now;
    const std::string http = "HTTP " + std::to_string(answer->status);
    AppLogger::shared().error("Claude OAuth refresh failed: " + http);
    return fail(Status::refreshFailed(http));
  }

  auto tokens = parseJson(answer->body);
  std::optional<std::string> newAccess;
  std::optional<std::string> rotated;
  std::optional<double> expiresIn;
  if (tokens && tokens->is_object()) {
    newAccess = stringMember(*tokens, "access_token");
    rotated = stringMember(*tokens, "refresh_token");
    if (rotated && rotated->empty()) rotated.reset();
    auto e = tokens->find("expires_in");
    // A lifetime beyond ten years is a bad answer, but the tokens in it must still be kept.
    if (e != tokens->end() && e->is_number() && std::isfinite(e->get<double>()))
      expiresIn = std::clamp(e->get<double>(), 0.0, 315'360'000.0);
  }
  // Without a lifetime the answer is unusable, unless it rotated the refresh token:
  // the old one is retired then, and the new one must reach the file.
  if (!newAccess || (!expiresIn && !rotated)) {
    lastRefreshFailure_ = now;
    return fail(Status::refreshFailed("unexpected token response"));
  }
  double lifetime = expiresIn.value_or(0);
  if (!std::isfinite(lifetime) || lifetime <= 0 || lifetime > kMaxTokenLifetimeSeconds) {
    AppLogger::shared().warn("Claude OAuth refresh: token lifetime out of range; recorded as expiring now");
    lifetime = 0;
  }
  const double expiresAtSeconds = toUnixSeconds(now) + lifetime;

  // Claude Code may have refreshed the same credential while ours was in flight:
  // its tokens are the ones the server now honours, so they win.
  auto current = readCredential();
  if (!current) {
    AppLogger::shared().warn("Claude OAuth refresh: the credential vanished meanwhile; dropped the new tokens");
    return fail(Status::noCredential());
  }
  if (!sameTokens(current->raw, credential.onDisk)) {
    AppLogger::shared().info("Claude OAuth refresh: Claude Code refreshed the credential meanwhile; keeping its version");
    lastRefreshFailure_.reset();
    return RefreshResult{std::move(current), Status::tokenExpired()};
  }

  OJson ours = OJson::object();
  ours["claudeAiOauth"] = OJson::object();
  ours["claudeAiOauth"]["accessToken"] = *newAccess;
  // Whole milliseconds, as Claude Code writes them; in range by the bound above.
  ours["claudeAiOauth"]["expiresAt"] = static_cast<std::int64_t>(std::llround(expiresAtSeconds * 1000.0));
  if (rotated) ours["claudeAiOauth"]["refreshToken"] = *rotated;
  OJson updated = mergedOver(current->raw, ours);

  if (auto before = dumpJson(current->raw)) credentials_->backup(*before);

  const auto text = dumpJson(updated);
  bool written = false;
  if (text)
    for (int attempt = 0; attempt < kWriteAttempts && !written; ++attempt) written = writeCredential(*text, *newAccess);

  Credential fresh;
  fresh.accessToken = *newAccess;
  fresh.refreshToken = rotated ? rotated : credential.refreshToken;
  fresh.expiresAt = fromUnixSeconds(expiresAtSeconds);
  fresh.raw = updated;

  if (!written) {
    if (text && credentials_->keepPending(*text)) {
      AppLogger::shared().error(
          "Claude OAuth refresh: credential write-back failed; kept the new credential in Quotadial's folder and "
          "will retry");
      setCredentialWarning(kPendingWarning);
      lastRefreshFailure_.reset();
      return RefreshResult{std::move(fresh), Status::tokenExpired()};
    }
    lastRefreshFailure_ = now;
    AppLogger::shared().error("Claude OAuth refresh: credential write-back FAILED after retries");
    return fail(Status::refreshFailed("credential write"));
  }

  AppLogger::shared().info(std::string("Claude OAuth token refreshed (rotated: ") + (rotated ? "true" : "false") + ")");
  lastRefreshFailure_.reset();
  setCredentialWarning(std::nullopt);
  return RefreshResult{std::move(fresh), Status::tokenExpired()};
}

std::optional<ClaudeOAuthUsage::Credential> ClaudeOAuthUsage::resolvePending(const Credential& onDisk) {
  auto pendingText = credentials_->readPending();
  if (!pendingText) return std::nullopt;
  auto pending = parseJson(*pendingText);
  auto backup = credentials_->readBackup();
  auto base = backup ? parseJson(*backup) : std::nullopt;
  // The file no longer holds the document ours replaces: Claude Code (or a new
  // login) wrote a newer one, which wins.
  if (!pending || !pending->is_object() || !base || !sameTokens(onDisk.raw, *base)) {
    credentials_->dropPending();
    setCredentialWarning(std::nullopt);
    AppLogger::shared().info("Claude OAuth: Claude Code saved a newer credential; dropped the one kept for write-back");
    return std::nullopt;
  }
  OJson updated = mergedOver(onDisk.raw, *pending);
  auto text = dumpJson(updated);
  auto oauth = updated["claudeAiOauth"];
  auto access = stringMember(oauth, "accessToken");
  auto expires = oauth.find("expiresAt");
  if (!text || !access || expires == oauth.end() || !expires->is_number()) {
    credentials_->dropPending();
    setCredentialWarning(std::nullopt);
    return std::nullopt;
  }
  if (credentials_->canReplace(text->size() + kWriteProbeSlack) && writeCredential(*text, *access)) {
    credentials_->dropPending();
    setCredentialWarning(std::nullopt);
    AppLogger::shared().info("Claude OAuth: wrote back the refreshed credential kept in Quotadial's folder");
    return readCredential();
  }
  setCredentialWarning(kPendingWarning);
  Credential c;
  c.accessToken = *access;
  c.refreshToken = stringMember(oauth, "refreshToken");
  c.subscriptionType = onDisk.subscriptionType;
  c.expiresAt = fromUnixSeconds(expires->get<double>() / 1000.0);
  c.raw = std::move(updated);
  c.onDisk = onDisk.raw;
  return c;
}

void ClaudeOAuthUsage::setCredentialWarning(std::optional<std::string> warning) {
  std::lock_guard lock(mutex_);
  credentialWarning_ = std::move(warning);
}

std::optional<std::string> ClaudeOAuthUsage::credentialWarning() const {
  std::lock_guard lock(mutex_);
  return credentialWarning_;
}

}  // namespace qd
