#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "models/timestamp.h"
#include "models/usage_snapshot.h"
#include "utilities/ports/http_client.h"
#include "utilities/ports/main_loop.h"
#include "utilities/serial_queue.h"

namespace qd {

class CredentialStore;

// Claude's live quota from Anthropic's OAuth usage endpoint, read with Claude
// Code's own credential. Refreshes the access token shortly before it expires and
// writes the rotated credential back so Claude Code keeps working.
//
// Thread-safety: every public member may be called from any thread. Fetches run
// one at a time on the worker queue "quotadial.claude.oauth"; completions and the
// writes of `lastStatus` / `lastExtraUsage` happen on the main loop. Completions
// already queued on the main loop hold only shared state, so destroying the object
// while one is queued is safe. Destruction cancels a usage request in flight
// (never a token refresh) and waits for the fetch to end, so the object must be
// destroyed before `mainLoop` is.
class ClaudeOAuthUsage {
 public:
  class Status {
   public:
    enum class Kind { ok, httpError, networkError, refreshFailed, tokenExpired, noCredential, parseError };

    [[nodiscard]] static Status ok(int windows) { return Status(Kind::ok, windows, {}); }
    [[nodiscard]] static Status httpError(int status) { return Status(Kind::httpError, status, {}); }
    [[nodiscard]] static Status networkError(std::string m) { return Status(Kind::networkError, 0, std::move(m)); }
    [[nodiscard]] static Status refreshFailed(std::string m) { return Status(Kind::refreshFailed, 0, std::move(m)); }
    [[nodiscard]] static Status tokenExpired() { return Status(Kind::tokenExpired, 0, {}); }
    [[nodiscard]] static Status noCredential() { return Status(Kind::noCredential, 0, {}); }
    [[nodiscard]] static Status parseError() { return Status(Kind::parseError, 0, {}); }

    [[nodiscard]] Kind kind() const { return kind_; }
    // The window count of `ok`, the HTTP status of `httpError`, else 0.
    [[nodiscard]] int number() const { return number_; }
    [[nodiscard]] const std::string& message() const { return message_; }
    // The user-facing line: "ok (3 windows)", "HTTP 429", "network: ...".
    [[nodiscard]] std::string label() const;

    bool operator==(const Status&) const = default;

   private:
    Status(Kind k, int n, std::string m) : kind_(k), number_(n), message_(std::move(m)) {}
    Kind kind_;
    int number_;
    std::string message_;
  };

  // The account's pay-as-you-go credit. Amounts are the server's minor units / 100,
  // in `currency` whatever the field names say.
  struct ExtraUsage {
    bool enabled = false;
    double usedGBP = 0;
    std::optional<double> limitGBP;
    std::string currency = "GBP";
    bool operator==(const ExtraUsage&) const = default;
  };

  // The usage URL and the token URLs (tried in order), with their time limits.
  struct Endpoints {
    std::string usageURL;
    std::vector<std::string> tokenURLs;
    double usageTimeoutSeconds = 10;
    double tokenTimeoutSeconds = 15;

    [[nodiscard]] static Endpoints defaults();
    // The defaults, overridden by QUOTADIAL_CLAUDE_USAGE_URL and
    // QUOTADIAL_CLAUDE_TOKEN_URLS (comma-separated, in order) when set and non-empty.
    [[nodiscard]] static Endpoints fromEnvironment();
  };

  using Completion = std::function<void(std::vector<UsageSnapshot>)>;

  ClaudeOAuthUsage(Endpoints endpoints, std::shared_ptr<HttpClient> http,
                   std::shared_ptr<CredentialStore> credentials, MainLoop& mainLoop);
  ~ClaudeOAuthUsage();
  ClaudeOAuthUsage(const ClaudeOAuthUsage&) = delete;
  ClaudeOAuthUsage& operator=(const ClaudeOAuthUsage&) = delete;

  // A client on Claude Code's credential file, libcurl and the endpoints from the
  // environment, posting to `mainLoop`. The owner destroys it before the loop.
  [[nodiscard]] static std::shared_ptr<ClaudeOAuthUsage> standard(MainLoop& mainLoop);

  // Starts one fetch. `completion` runs exactly once, on the main loop, with the
  // snapshots read (empty on every failure; the reason is then in `lastStatus`).
  void fetch(Timestamp now, Completion completion);

  [[nodiscard]] std::optional<Status> lastStatus() const;
  [[nodiscard]] std::optional<ExtraUsage> lastExtraUsage() const;
  // The subscription type last read from the credential names a team or enterprise plan.
  [[nodiscard]] bool isPooledAccount() const;
  // Whether the credential exists; decided on the first call and kept.
  [[nodiscard]] bool credentialExists();
  // How many completions have run so far (waiting on fetches in tests).
  [[nodiscard]] std::uint64_t completedFetches() const;

  // The response's windows as snapshots stamped `now`; nothing when `body` is not
  // a JSON object. Exposed for tests and the fuzz target.
  [[nodiscard]] static std::optional<std::vector<UsageSnapshot>> parse(std::string_view body, Timestamp now);
  // The "extra_usage" member, or nothing when it is missing or not an object.
  [[nodiscard]] static std::optional<ExtraUsage> parseExtraUsage(std::string_view body);

  // The OAuth client id Claude Code itself refreshes this credential with (its
  // production configuration's CLIENT_ID).
  static constexpr const char* kClientId = "9d1c250a-e61b-44d9-88ed-5944d1962f5e";

  // A problem with Claude Code's credential file the user should know about (the
  // provider's health shows it), or nothing.
  [[nodiscard]] std::optional<std::string> credentialWarning() const;
  static constexpr const char* kPendingWarning =
      "refreshed Claude login kept in Quotadial's folder until Claude Code's credential file can be written";
  static constexpr const char* kNotWritableWarning =
      "Claude Code's credential file cannot be written; login not refreshed";
  // The `refreshFailed` message when the file cannot take the rotated credential.
  static constexpr const char* kNotWritable = "credential file not writable";

 private:
  struct Credential;
  struct Published;  // what the main loop reads; shared with queued completions
  struct RefreshResult;

  void runFetch(Timestamp now, Completion completion);
  [[nodiscard]] std::optional<Credential> readCredential();
  [[nodiscard]] RefreshResult refresh(const Credential& credential, Timestamp now);
  [[nodiscard]] bool writeCredential(const std::string& json, const std::string& expectedAccessToken);
  // A rotated credential kept from an earlier failed write-back: written back now
  // when possible, else used as it is; dropped when Claude Code has saved a newer
  // one. Nothing when none is kept.
  [[nodiscard]] std::optional<Credential> resolvePending(const Credential& onDisk);
  void setCredentialWarning(std::optional<std::string> warning);
  void finish(const Status& status, std::vector<UsageSnapshot> snapshots, Completion completion,
              std::optional<ExtraUsage> extra);

  Endpoints endpoints_;
  std::shared_ptr<HttpClient> http_;
  std::shared_ptr<CredentialStore> credentials_;
  MainLoop& mainLoop_;
  std::shared_ptr<Published> published_;

  mutable std::mutex mutex_;  // guards the members below
  std::optional<std::string> subscriptionType_;
  std::optional<bool> credentialExists_;
  std::optional<std::string> credentialWarning_;

  // Touched only on the worker queue.
  std::optional<Status> lastStatusOnQueue_;
  std::optional<Timestamp> lastRefreshFailure_;

  std::atomic<bool> cancelled_{false};  // set when destruction begins
  SerialQueue queue_{"quotadial.claude.oauth"};  // last: joined before the rest goes
};

}  // namespace qd
