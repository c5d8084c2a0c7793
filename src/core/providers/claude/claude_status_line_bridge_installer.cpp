#include "providers/claude/claude_status_line_bridge_installer.h"

#include <sys/stat.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <system_error>
#include <variant>

#include "storage/atomic_file.h"
#include "storage/local_file_store.h"
#include "utilities/app_logger.h"
#include "utilities/resources.h"
#include "utilities/json_document.h"

namespace qd::ClaudeStatusLineBridgeInstaller {

namespace {

using Json = nlohmann::json;  // sorted keys: Claude's settings are written that way

struct Missing {};
struct Invalid {};
using SettingsRead = std::variant<Missing, Invalid, Json>;

SettingsRead readSettings(const Paths& paths) {
  auto text = readWholeFile(paths.settingsFile());
  if (!text) {
    std::error_code ec;
    // A file we cannot read is not a file we may overwrite.
    return std::filesystem::exists(paths.settingsFile(), ec) ? SettingsRead{Invalid{}} : SettingsRead{Missing{}};
  }
  auto json = parseJsonDocument<Json>(*text);
  if (!json || !json->is_object()) return Invalid{};
  return std::move(*json);
}

enum class WriteResult { written, readOnly, failed };

// Through a symbolic link to its target (a dotfile manager's link stays a link);
// a read-only file is refused, never replaced behind the user's back.
WriteResult writeSettings(const Paths& paths, const Json& object) {
  std::error_code ec;
  std::filesystem::create_directories(paths.claudeHome, ec);
  std::string text;
  try {
    text = object.dump(2) + "\n";
  } catch (const std::exception&) {
    return WriteResult::failed;
  }
  const auto target = writeTarget(paths.settingsFile());
  if (isReadOnlyFile(target)) return WriteResult::readOnly;
  mode_t mode = 0644;
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;
  return writeFileAtomically(target, text, mode) ? WriteResult::written : WriteResult::failed;
}

Outcome writeFailed(const Paths& paths, WriteResult result, std::optional<std::string> previous,
                    const std::string& consequence) {
  const std::string name = paths.settingsDisplayName();
  std::string message = result == WriteResult::readOnly
                            ? "Your " + name + " is read-only; " + consequence + " Make it writable and try again."
                            : "Failed to write " + name + "; " + consequence;
  return Outcome{ClaudeBridgeStatus{ClaudeBridgeStatus::State::error,
                                    result == WriteResult::readOnly ? "settings read-only" : "write failed",
                                    std::move(previous)},
                 std::move(message)};
}

void backupSettings(const Paths& paths) {
  auto bytes = readWholeFile(paths.settingsFile());
  if (!bytes) return;
  (void)writeFileAtomically(paths.settingsBackup(), *bytes, 0600);
}

std::optional<std::string> readPreviousCommand(const Paths& paths) {
  auto text = readWholeFile(paths.previousCommandFile());
  if (!text) return std::nullopt;
  const auto parsed = parseJsonDocument<Json>(*text);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const Json& json = *parsed;
  for (const auto& [key, value] : json.items())
    if (!value.is_string()) return std::nullopt;
  auto it = json.find("command");
  if (it == json.end()) return std::nullopt;
  return it->get<std::string>();
}

[[nodiscard]] bool writePreviousCommand(const Paths& paths, const std::string& command) {
  try {
    return writeFileAtomically(paths.previousCommandFile(), Json{{"command", command}}.dump(), 0644);
  } catch (const std::exception&) {
    return false;
  }
}

std::optional<std::filesystem::path> deployBridgeScript(const Paths& paths) {
  if (!paths.bundledScript) return std::nullopt;
  auto bytes = readWholeFile(*paths.bundledScript);
  if (!bytes) {
    AppLogger::shared().error("Bridge deploy failed: cannot read " + paths.bundledScript->string());
    return std::nullopt;
  }
  // Replaced in one step: Claude Code may be starting the old copy right now.
  errno = 0;
  if (!writeFileAtomically(paths.deployedScript(), *bytes, 0755)) {
    const int err = errno ? errno : EIO;
    AppLogger::shared().error("Bridge deploy failed: " + std::generic_category().message(err));
    return std::nullopt;
  }
  std::error_code ec;
  auto absolute = std::filesystem::absolute(paths.deployedScript(), ec);
  return ec ? paths.deployedScript() : absolute;
}

std::optional<std::string> statusLineCommand(const Json& settings) {
  auto line = settings.find("statusLine");
  if (line == settings.end() || !line->is_object()) return std::nullopt;
  auto command = line->find("command");
  if (command == line->end() || !command->is_string()) return std::nullopt;
  return command->get<std::string>();
}

bool isBridge(const std::string& command) { return command.find(kMarker) != std::string::npos; }

Outcome invalidSettings(const Paths& paths) {
  return Outcome{ClaudeBridgeStatus{ClaudeBridgeStatus::State::error, "settings not valid JSON", std::nullopt},
                 "Your " + paths.settingsDisplayName() + " is not valid JSON; fix it and try again."};
}

}  // namespace

Paths Paths::standard() {
  return Paths{LocalFileStore::claudeHome(), LocalFileStore::baseDirectory(),
               Resources::locate(ClaudeBridgeFiles::kScriptFileName)};
}

std::string Paths::settingsDisplayName() const {
  if (claudeHome == LocalFileStore::homeDirectory() / ".claude") return "~/.claude/settings.json";
  return settingsFile().string();
}

std::string commandFor(const std::filesystem::path& scriptPath) {
  // Inside double quotes the shell still expands these four characters.
  std::string quoted;
  for (char c : scriptPath.string()) {
    if (c == '"' || c == '\\' || c == '$' || c == '`') quoted += '\\';
    quoted += c;
  }
  return "python3 \"" + quoted + "\"";
}

ClaudeBridgeStatus currentStatus(const Paths& paths) {
  auto read = readSettings(paths);
  auto* settings = std::get_if<Json>(&read);
  std::optional<std::string> command = settings ? statusLineCommand(*settings) : std::nullopt;
  if (!command) return ClaudeBridgeStatus{ClaudeBridgeStatus::State::notInstalled, {}, std::nullopt};
  if (isBridge(*command)) {
    if (auto previous = readPreviousCommand(paths))
      return ClaudeBridgeStatus{ClaudeBridgeStatus::State::wrapping, {}, previous};
    return ClaudeBridgeStatus{ClaudeBridgeStatus::State::installed, {}, std::nullopt};
  }
  return ClaudeBridgeStatus{ClaudeBridgeStatus::State::foreign, {}, command};
}

Outcome install(const Paths& paths) {
  std::error_code ec;
  std::filesystem::create_directories(paths.supportDirectory, ec);

  auto read = readSettings(paths);
  if (std::holds_alternative<Invalid>(read)) return invalidSettings(paths);

  auto script = deployBridgeScript(paths);
  if (!script)
    return Outcome{ClaudeBridgeStatus{ClaudeBridgeStatus::State::error, "Bundle script missing", std::nullopt},
                   "Could not locate the bundled bridge script."};

  Json settings = std::holds_alternative<Json>(read) ? std::get<Json>(read) : Json::object();
  backupSettings(paths);

  std::optional<std::string> previous;
  if (auto command = statusLineCommand(settings); command && !isBridge(*command)) {
    // The bridge would drop the user's command if it were not on disk first.
    if (!writePreviousCommand(paths, *command))
      return Outcome{ClaudeBridgeStatus{ClaudeBridgeStatus::State::error, "write failed", std::nullopt},
                     "Could not save your current status line; nothing was changed."};
    previous = command;
  }
  settings["statusLine"] = Json{{"type", "command"}, {"command", commandFor(*script)}};

  if (auto written = writeSettings(paths, settings); written != WriteResult::written)
    return writeFailed(paths, written, previous, "the bridge was not installed.");
  // Re-installing over a wrapping bridge keeps wrapping the command remembered then.
  if (!previous) previous = readPreviousCommand(paths);
  if (previous)
    return Outcome{ClaudeBridgeStatus{ClaudeBridgeStatus::State::wrapping, {}, previous},
                   "Installed Quotadial bridge wrapping your existing status line."};
  return Outcome{ClaudeBridgeStatus{ClaudeBridgeStatus::State::installed, {}, std::nullopt},
                 "Installed Quotadial bridge as the Claude status line."};
}

Outcome uninstall(const Paths& paths) {
  auto read = readSettings(paths);
  if (std::holds_alternative<Invalid>(read)) return invalidSettings(paths);
  if (std::holds_alternative<Missing>(read))
    return Outcome{ClaudeBridgeStatus{ClaudeBridgeStatus::State::notInstalled, {}, std::nullopt},
                   "No Claude settings found; nothing to uninstall."};
  Json settings = std::get<Json>(read);
  // Only the bridge is ours to remove: a status line the user set (or got back
  // from an earlier uninstall) stays as it is.
  auto command = statusLineCommand(settings);
  if (!command || !isBridge(*command))
    return Outcome{currentStatus(paths), "The Quotadial bridge is not installed; your status line was left as it is."};
  backupSettings(paths);

  std::string message;
  const auto previous = readPreviousCommand(paths);
  if (previous) {
    settings["statusLine"] = Json{{"type", "command"}, {"command", *previous}};
    message = "Removed bridge and restored your previous status line.";
  } else {
    settings.erase("statusLine");
    message = "Removed the Quotadial status line.";
  }
  if (auto written = writeSettings(paths, settings); written != WriteResult::written)
    return writeFailed(paths, written, previous, "the bridge is still installed.");
  // The saved command goes only once the restored settings are on disk.
  if (previous) {
    std::error_code ec;
    std::filesystem::remove(paths.previousCommandFile(), ec);
  }
  return Outcome{ClaudeBridgeStatus{ClaudeBridgeStatus::State::notInstalled, {}, std::nullopt}, message};
}

}  // namespace qd::ClaudeStatusLineBridgeInstaller
