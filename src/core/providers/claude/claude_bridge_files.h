#pragma once
// What the status-line bridge leaves in the application-support directory, as the
// rest of the program reads it: the installation state (`ClaudeBridgeStatus`) and
// Claude Code's current settings in "claude-meta.json" (`ClaudeCurrentSettings`).
#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "models/claude_current_settings.h"
#include "models/enum_cases.h"
#include "models/timestamp.h"

namespace qd {

// The bridge's installation as seen in Claude Code's settings.
struct ClaudeBridgeStatus {
  enum class State { error, notInstalled, installed, wrapping, foreign };

  State state = State::notInstalled;
  // `error` only: what went wrong ("Bundle script missing", "write failed").
  std::string errorText;
  // `wrapping`: the user's former status-line command; `foreign`: the command
  // installed now; absent otherwise.
  std::optional<std::string> previousCommand;

  bool operator==(const ClaudeBridgeStatus&) const = default;
};

template <>
struct EnumCases<ClaudeBridgeStatus::State> {
  static constexpr std::array<ClaudeBridgeStatus::State, 5> all{
      ClaudeBridgeStatus::State::error, ClaudeBridgeStatus::State::notInstalled, ClaudeBridgeStatus::State::installed,
      ClaudeBridgeStatus::State::wrapping, ClaudeBridgeStatus::State::foreign};
};

// "error", "notInstalled", "installed", "wrapping", "foreign".
[[nodiscard]] std::string_view rawValue(ClaudeBridgeStatus::State s);

namespace ClaudeBridgeFiles {

inline constexpr const char* kMetaFileName = "claude-meta.json";
inline constexpr const char* kPreviousCommandFileName = "claude-prev-statusline.json";
inline constexpr const char* kScriptFileName = "quotadial-claude-statusline-bridge.py";

// <application-support>/claude-meta.json
[[nodiscard]] std::filesystem::path metaFile();

// The current settings in `text` (the bridge's "claude-meta.json"): a JSON object whose members, when present and not null,
// have the types above and whose `capturedAt` is "yyyy-MM-ddTHH:mm:ssZ"-style
// ISO-8601 without a fraction. Anything else gives nothing. Unknown keys are ignored.
[[nodiscard]] std::optional<ClaudeCurrentSettings> decodeMeta(std::string_view text);
// Reads and decodes `file` (default: `metaFile()`); a missing or bad file gives nothing.
[[nodiscard]] std::optional<ClaudeCurrentSettings> readMeta(const std::filesystem::path& file);
[[nodiscard]] std::optional<ClaudeCurrentSettings> readMeta();
// Compact JSON with the present members only (the bridge's own form).
[[nodiscard]] std::string encodeMeta(const ClaudeCurrentSettings& meta);

}  // namespace ClaudeBridgeFiles
}  // namespace qd
