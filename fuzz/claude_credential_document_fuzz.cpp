// Claude Code's credential document through the OAuth client: any bytes are read,
// and an expired credential is refreshed and written back, without faulting; a
// write-back keeps every member of the document and carries the new token.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/plain_main_loop.h"
#include "providers/claude/claude_oauth_usage.h"
#include "providers/claude/credential_store.h"
#include "utilities/app_logger.h"
#include "utilities/json_document.h"
#include "utilities/ports/http_client.h"

namespace {

class MemoryCredential final : public qd::CredentialStore {
 public:
  explicit MemoryCredential(std::string secret) : secret_(std::move(secret)) {}
  bool exists() override { return true; }
  std::optional<std::string> readSecret() override { return written_ ? written_ : secret_; }
  bool addOrUpdate(std::string_view secret) override {
    written_ = std::string(secret);
    return true;
  }
  void backup(std::string_view) override {}
  std::optional<std::string> written_;

 private:
  std::string secret_;
};

// The token endpoint rotates both tokens; the usage endpoint reports one window.
class CannedServer final : public qd::HttpClient {
 public:
  Result perform(const Request& request) override {
    if (request.url.find("token") != std::string::npos)
      return Response{200, R"({"access_token":"fresh-access","expires_in":28800,"refresh_token":"fresh-refresh"})"};
    return Response{200, R"({"five_hour":{"utilization":12,"resets_at":"2030-01-01T00:00:00Z"}})"};
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    qd::AppLogger::shared().setFileURL("/dev/null");
    return true;
  }();
  (void)quiet;
  const std::string document(reinterpret_cast<const char*>(data), size);
  auto store = std::make_shared<MemoryCredential>(document);
  qd::PlainMainLoop loop;
  qd::ClaudeOAuthUsage::Endpoints endpoints{"http://usage.invalid/api/oauth/usage",
                                            {"http://token.invalid/v1/oauth/token"}};
  {
    qd::ClaudeOAuthUsage client(endpoints, std::make_shared<CannedServer>(), store, loop);
    // Later than any expiry the document can name, so every readable credential is refreshed.
    client.fetch(qd::fromUnixSeconds(8.9e12), [&loop](std::vector<qd::UsageSnapshot>) { loop.quit(); });
    loop.run();
  }
  if (!store->written_) return 0;
  const auto before = qd::parseJsonDocument<nlohmann::ordered_json>(document);
  const auto after = qd::parseJsonDocument<nlohmann::ordered_json>(*store->written_);
  if (!before || !after || !after->is_object()) __builtin_trap();
  for (const auto& [key, value] : before->items()) {
    auto it = after->find(key);
    if (it == after->end()) __builtin_trap();
    if (key != "claudeAiOauth" && *it != value) __builtin_trap();
  }
  const auto& oauth = (*after)["claudeAiOauth"];
  if (!oauth.is_object() || oauth.value("accessToken", "") != "fresh-access") __builtin_trap();
  return 0;
}
