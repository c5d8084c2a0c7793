#pragma once
// A provider's health from what can be known without starting it: the tool on
// PATH, its credential, the status-line bridge, how Claude Code signs in, and the
// age of the newest reading. For the one-shot reports, which start no live source.
#include <optional>

#include "models/provider.h"
#include "models/provider_health.h"
#include "models/timestamp.h"
#include "providers/claude/claude_bridge_files.h"
#include "providers/claude/claude_login.h"

namespace qd::ProviderProbe {

struct Facts {
  bool toolFound = false;          // codex on PATH (Codex only)
  bool credentialPresent = false;  // auth.json (Codex), a subscription credential (Claude)
  ClaudeBridgeStatus bridge;       // Claude only
  ClaudeLogin::Kind login = ClaudeLogin::Kind::unknown;  // Claude only
  std::optional<Timestamp> newestReading;
};

// A reading younger than this makes a source count as connected.
inline constexpr double kFreshReadingSeconds = 900;

[[nodiscard]] ProviderHealth health(Provider provider, const Facts& facts, Timestamp now);
// Gathers the facts from the disk, the PATH and the environment.
[[nodiscard]] Facts facts(Provider provider, std::optional<Timestamp> newestReading, Timestamp now);

// The detail of a Claude Code login without plan limits, shared by every report.
inline constexpr const char* kApiKeyDetail = "signed in with an API key: no plan limits, spend from transcripts";

}  // namespace qd::ProviderProbe
