#pragma once
// Claude quota between live readings: each fresh live reading calibrates an
// "anchor" (percent of the window per transcript token, kept in
// "claude-anchor.json"); while the live data are stale, transcript tokens spent
// since then give estimated snapshots ("claude.transcript", low confidence).
// Also Claude Code's current model and effort, and how effort scales the burn.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "models/claude_current_settings.h"
#include "models/provider.h"
#include "models/timestamp.h"
#include "models/usage_snapshot.h"

namespace qd {

// What the Claude stages need from outside: the transcript token count and the
// application-support directory. Tests fill it with plain functions.
struct ClaudeStageContext {
  // Claude transcript tokens at or after a time point, or nothing while that
  // count is not known yet (UsageHistory::rollingClaudeTokensIfKnown).
  std::function<std::optional<int64_t>(Timestamp since)> tokensSince;
  std::filesystem::path supportDirectory;  // claude-anchor.json, claude-effort-rates.json
  std::function<void(std::string_view)> logInfo;  // the application log at level INFO; may be empty

  [[nodiscard]] int64_t tokens(Timestamp since) const { return tokensSince ? tokensSince(since).value_or(0) : 0; }
  [[nodiscard]] std::filesystem::path anchorFile() const { return supportDirectory / "claude-anchor.json"; }
  [[nodiscard]] std::filesystem::path ratesFile() const { return supportDirectory / "claude-effort-rates.json"; }
};

// Stateless; the anchor file is read and written only from the compute queue.
namespace ClaudeEstimator {

struct WindowAnchor {
  double usedPercent = 0;
  double pctPerToken = 0;  // percent of the window per transcript token
  Timestamp resetAt{};
  double windowDurationMins = 0;
  Timestamp capturedAt{};
  bool operator==(const WindowAnchor&) const = default;
};

struct Anchor {
  std::optional<WindowAnchor> fiveHour;
  std::optional<WindowAnchor> sevenDay;  // never from `weekly` (Sonnet-only) readings
  bool operator==(const Anchor&) const = default;
};

using CurrentSettings = ClaudeCurrentSettings;

// "claude.statusline" and "claude.oauth".
[[nodiscard]] bool isLiveSource(std::string_view source);

// Compact JSON with absent members left out; times in whole UTC seconds.
[[nodiscard]] std::string encodeAnchor(const Anchor& anchor);
// Nothing when the text is not an anchor.
[[nodiscard]] std::optional<Anchor> decodeAnchor(std::string_view json);
// Nothing when the file is missing or does not decode.
[[nodiscard]] std::optional<Anchor> loadAnchor(const std::filesystem::path& file);

// Updates and saves the anchor from one live reading (see the window rules).
void calibrate(const UsageSnapshot& snapshot, const ClaudeStageContext& context);
// Zero to two estimates: five-hour first, then seven-day.
[[nodiscard]] std::vector<UsageSnapshot> estimatedSnapshots(const ClaudeStageContext& context, Timestamp now);

// The estimates to append to the working set: one per window whose live data are
// at least 20 minutes old. Reads the working set without copying it.
[[nodiscard]] std::vector<UsageSnapshot> estimatesToAdd(const std::vector<UsageSnapshot>& snapshots,
                                                        const ClaudeStageContext& context, Timestamp now);
// The working set with those estimates appended (the application state's `augmentClaude`).
[[nodiscard]] std::vector<UsageSnapshot> augmentClaude(std::vector<UsageSnapshot> snapshots,
                                                       const ClaudeStageContext& context, Timestamp now);

// The bridge's current settings merged with the newest transcript model.
[[nodiscard]] std::optional<CurrentSettings> mergingCurrentModel(
    std::optional<CurrentSettings> meta, const std::optional<std::pair<std::string, Timestamp>>& transcript);

// "claude-haiku-4-5-20251001" → "Haiku 4.5"; "claude-opus-4-8[1m]" → "Opus 4.8 (1M context)".
[[nodiscard]] std::string displayName(std::string_view modelId);

// How much faster Claude's quota burns at the current effort than at the effort
// of the recent status-line readings (the application state's `claudeEffortScale`).
[[nodiscard]] double claudeEffortScale(Provider provider, const std::vector<UsageSnapshot>& snapshots,
                                       const std::optional<CurrentSettings>& current,
                                       const ClaudeStageContext& context);

}  // namespace ClaudeEstimator
}  // namespace qd
