#pragma once
#include <filesystem>

namespace qd {

// The application-support directory and the homes of the two tools.
namespace LocalFileStore {

// `$XDG_DATA_HOME/Quotadial`, else `~/.local/share/Quotadial`.
[[nodiscard]] std::filesystem::path baseDirectory();
// Creates the directory and its `logs` subdirectory, and an empty
// `snapshots.ndjson` when missing. Failures are ignored.
void ensureDirectories();
[[nodiscard]] std::filesystem::path snapshotsFile();  // <base>/snapshots.ndjson

// The user's home: `$HOME`, else the password database.
[[nodiscard]] std::filesystem::path homeDirectory();
// `$CLAUDE_CONFIG_DIR` when set and non-empty, else `~/.claude`.
[[nodiscard]] std::filesystem::path claudeHome();
// `$CODEX_HOME` when set and non-empty, else `~/.codex`.
[[nodiscard]] std::filesystem::path codexHome();

}  // namespace LocalFileStore
}  // namespace qd
