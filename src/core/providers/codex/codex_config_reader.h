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

// Reads the Codex tool's config.toml with a line scan, not a TOML parser: section
// headers, comments and arrays are not recognised. Stateless; safe from any thread.
namespace CodexConfigReader {

// `$CODEX_HOME/config.toml` when CODEX_HOME is set, else `~/.codex/config.toml`.
[[nodiscard]] std::filesystem::path configFile();
// Never fails: a missing, unreadable, non-UTF-8 or oversized file gives every field absent.
[[nodiscard]] CodexConfig read();
[[nodiscard]] CodexConfig parse(std::string_view text);
// The value of the first line of the form `key = value` (key matched exactly), its
// quotes stripped; an empty value there makes the key absent.
[[nodiscard]] std::optional<std::string> scanValue(std::string_view text, std::string_view key);

}  // namespace CodexConfigReader
}  // namespace qd
