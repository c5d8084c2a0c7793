#include "app/provider_probe.h"

#include <algorithm>
#include <system_error>

#include "providers/claude/claude_status_line_bridge_installer.h"
#include "storage/local_file_store.h"
#include "utilities/shell.h"
#include "utilities/time_formatting.h"

namespace qd::ProviderProbe {

namespace {

using H = ProviderHealth::State;

std::string readingAge(const std::optional<Timestamp>& newest, Timestamp now) {
  if (!newest) return "no reading yet";
  return "last reading " + TimeFormatting::countdown(std::max(0.0, secondsBetween(*newest, now))) + " ago";
}

bool fresh(const std::optional<Timestamp>& newest, Timestamp now) {
  return newest && secondsBetween(*newest, now) < kFreshReadingSeconds;
}

}  // namespace

ProviderHealth health(Provider provider, const Facts& f, Timestamp now) {
  const std::string age = readingAge(f.newestReading, now);
  if (provider == Provider::codex) {
    if (!f.toolFound) return {H::unavailable, "codex not found in PATH", f.newestReading, std::nullopt};
    if (!f.credentialPresent) return {H::unavailable, "codex found, not signed in", f.newestReading, std::nullopt};
    if (fresh(f.newestReading, now)) return {H::connected, age, f.newestReading, std::nullopt};
    return {H::idle, "codex found, signed in; " + age, f.newestReading, std::nullopt};
  }
  if (f.login == ClaudeLogin::Kind::apiKey) return {H::idle, kApiKeyDetail, f.newestReading, std::nullopt};
  using S = ClaudeBridgeStatus::State;
  if (fresh(f.newestReading, now)) {
    const bool bridged = f.bridge.state == S::installed || f.bridge.state == S::wrapping;
    return {H::connected, age + (bridged ? "" : "; bridge not installed"), f.newestReading, std::nullopt};
  }
  switch (f.bridge.state) {
    case S::installed:
    case S::wrapping:
      return {H::idle, std::string("bridge installed, ") + (f.newestReading ? age : "awaiting first response"),
              f.newestReading, std::nullopt};
    case S::notInstalled:
      return {H::unavailable, "bridge not installed; " + age, f.newestReading, std::nullopt};
    case S::foreign:
      return {H::unavailable, "another status line is installed; " + age, f.newestReading, std::nullopt};
    case S::error:
      return {H::error, f.bridge.errorText, f.newestReading, f.bridge.errorText};
  }
  return {};
}

Facts facts(Provider provider, std::optional<Timestamp> newestReading, Timestamp now) {
  Facts f;
  f.newestReading = newestReading;
  if (provider == Provider::codex) {
    f.toolFound = Shell::which("codex").has_value();
    std::error_code ec;
    f.credentialPresent = std::filesystem::exists(LocalFileStore::codexHome() / "auth.json", ec);
    return f;
  }
  f.bridge = ClaudeStatusLineBridgeInstaller::currentStatus();
  const ClaudeLogin::Evidence evidence = ClaudeLogin::gather(newestReading);
  f.credentialPresent = evidence.oauthCredential;
  f.login = ClaudeLogin::decide(evidence, now);
  return f;
}

}  // namespace qd::ProviderProbe
