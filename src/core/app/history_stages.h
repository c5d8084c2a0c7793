#pragma once
// What the local usage history brings to a real run: the history itself (with
// its rescans and cache callbacks) and the Claude stages of the computation —
// estimates while live data are stale, Claude Code's current model and effort,
// effort-rate learning — and the history-calibrated projection of long windows.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "models/claude_current_settings.h"

namespace qd {

struct AppStateOptions;
class UsageHistory;

// Reads the bridge's "claude-meta.json" in a support directory (nothing when missing or bad).
using ClaudeMetaReader = std::function<std::optional<ClaudeCurrentSettings>(const std::filesystem::path& file)>;

// Creates the usage history on the user's transcripts (callbacks on
// `options.mainLoop`) and fills `options.history` and the stages `augmentWorkingSet`,
// `claudeCurrent`, `learn` and `calibrate`. Returns the history.
std::shared_ptr<UsageHistory> attachHistoryStages(AppStateOptions& options, ClaudeMetaReader readMeta);

// The same stages over a given history (tests).
void attachHistoryStages(AppStateOptions& options, std::shared_ptr<UsageHistory> history, ClaudeMetaReader readMeta);

}  // namespace qd
