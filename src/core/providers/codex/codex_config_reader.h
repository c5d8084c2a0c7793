#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qd {

// What the provider stamps on Codex snapshots, as the raw text of each setting.
struct CodexConfig {
  std::optional<std::string> model;                 // "model"
  std::optional<std::string> modelReasoningEffort;  // "model_reasoning_effort"
  std::optional<std::string> fastMode;              // "fast", else "fast_mode"

  bool operator==(const CodexConfig&) const = default;
};

// Reads the Codex tool's config.toml: the top-level keys only (a key inside a
// table such as [profiles.x] is not the setting). Stateless; safe from any thread.
namespace CodexConfigReader {

// `$CODEX_HOME/config.toml` when CODEX_HOME is set, else `~/.codex/config.toml`.
[[nodiscard]] std::filesystem::path configFile();
// Never fails: a missing, unreadable, non-UTF-8 or oversized file gives every field absent.
[[nodiscard]] CodexConfig read();
// A text that is not valid TOML gives every field absent.
[[nodiscard]] CodexConfig parse(std::string_view text);

}  // namespace CodexConfigReader
}  // namespace qd
