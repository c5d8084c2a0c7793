#pragma once
#include <filesystem>
#include <optional>
#include <string>

#include "providers/claude/claude_bridge_files.h"

namespace qd {

// Makes the status-line bridge Claude Code's status-line command, remembering a
// former command so the bridge keeps showing it, and reverses that. State lives
// only in Claude Code's `settings.json` and "claude-prev-statusline.json".
//
// Thread-safety: stateless functions over files; call from one thread at a time
// (the main thread or a command-line mode).
namespace ClaudeStatusLineBridgeInstaller {

// Recognises the bridge inside any status-line command.
inline constexpr const char* kMarker = "quotadial-claude-statusline-bridge";

struct Outcome {
  ClaudeBridgeStatus status;
  std::string message;
};

// Where the installer reads and writes; `standard()` follows the environment.
struct Paths {
  std::filesystem::path claudeHome;        // holds settings.json
  std::filesystem::path supportDirectory;  // the application-support directory
  std::optional<std::filesystem::path> bundledScript;  // the resource, when found

  [[nodiscard]] static Paths standard();
  [[nodiscard]] std::filesystem::path settingsFile() const { return claudeHome / "settings.json"; }
  [[nodiscard]] std::filesystem::path settingsBackup() const {
    return claudeHome / "settings.json.quotadial-backup";
  }
  [[nodiscard]] std::filesystem::path deployedScript() const {
    return supportDirectory / ClaudeBridgeFiles::kScriptFileName;
  }
  [[nodiscard]] std::filesystem::path previousCommandFile() const {
    return supportDirectory / ClaudeBridgeFiles::kPreviousCommandFileName;
  }
  // "~/.claude/settings.json" for the usual home, else the real path.
  [[nodiscard]] std::string settingsDisplayName() const;
};

[[nodiscard]] ClaudeBridgeStatus currentStatus(const Paths& paths = Paths::standard());
[[nodiscard]] Outcome install(const Paths& paths = Paths::standard());
[[nodiscard]] Outcome uninstall(const Paths& paths = Paths::standard());

// The status-line command that runs the script at `scriptPath` through python3.
[[nodiscard]] std::string commandFor(const std::filesystem::path& scriptPath);

}  // namespace ClaudeStatusLineBridgeInstaller
}  // namespace qd
