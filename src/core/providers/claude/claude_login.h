#pragma once
// How Claude Code signs in, read from what it leaves on disk. Only a claude.ai
// subscription has plan limits: Claude Code gives the status line `rate_limits`
// for that login alone, so with an API key there is no quota to show, only the
// spend in the transcripts.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "models/timestamp.h"

namespace qd::ClaudeLogin {

enum class Kind { unknown, subscription, apiKey };

struct Evidence {
  bool oauthCredential = false;   // a claudeAiOauth entry in <Claude home>/.credentials.json
  bool apiKeyConfigured = false;  // ANTHROPIC_API_KEY / ANTHROPIC_AUTH_TOKEN, apiKeyHelper, primaryApiKey
  std::optional<Timestamp> bridgeRanAt;   // the bridge's last claude-meta.json
  std::optional<Timestamp> newestReading;  // the newest stored Claude quota reading
};

// Quota readings of the last week or a subscription credential: subscription.
// Otherwise a configured API key, or a bridge that runs and is given no rate
// limits: API key. Nothing known: unknown.
[[nodiscard]] Kind decide(const Evidence& evidence, Timestamp now);

// Reads the credential file and settings under `claudeHome`, Claude Code's
// `.claude.json` (`claudeJson`), the bridge's meta file in `supportDirectory`
// and the environment through `getenv`. Files are read with a size bound.
[[nodiscard]] Evidence gather(const std::filesystem::path& claudeHome, const std::filesystem::path& claudeJson,
                              const std::filesystem::path& supportDirectory,
                              std::optional<Timestamp> newestReading,
                              const std::function<const char*(const char*)>& getenv);
// The same for the standard places and the process environment.
[[nodiscard]] Evidence gather(std::optional<Timestamp> newestReading);

}  // namespace qd::ClaudeLogin
