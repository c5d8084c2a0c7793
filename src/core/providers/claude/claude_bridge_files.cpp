#include "providers/claude/claude_bridge_files.h"

#include <nlohmann/json.hpp>

#include "storage/atomic_file.h"
#include "storage/local_file_store.h"
#include "utilities/json_document.h"

namespace qd {

std::string_view rawValue(ClaudeBridgeStatus::State s) {
  switch (s) {
    case ClaudeBridgeStatus::State::error: return "error";
    case ClaudeBridgeStatus::State::notInstalled: return "notInstalled";
    case ClaudeBridgeStatus::State::installed: return "installed";
    case ClaudeBridgeStatus::State::wrapping: return "wrapping";
    case ClaudeBridgeStatus::State::foreign: return "foreign";
  }
  return "error";
}

namespace ClaudeBridgeFiles {

std::filesystem::path metaFile() { return LocalFileStore::baseDirectory() / kMetaFileName; }

std::optional<ClaudeCurrentSettings> decodeMeta(std::string_view text) {
  const auto parsed = parseJsonDocument(text);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const nlohmann::json& json = *parsed;
  ClaudeCurrentSettings meta;
  // A member of the wrong type fails the whole record, as a strict decoder would.
  auto text_ = [&](const char* key, std::optional<std::string>& out) {
    auto it = json.find(key);
    if (it == json.end() || it->is_null()) return true;
    if (!it->is_string()) return false;
    out = it->get<std::string>();
    return true;
  };
  if (!text_("modelId", meta.modelId) || !text_("modelDisplayName", meta.modelDisplayName) ||
      !text_("effortLevel", meta.effortLevel))
    return std::nullopt;
  if (auto it = json.find("thinkingEnabled"); it != json.end() && !it->is_null()) {
    if (!it->is_boolean()) return std::nullopt;
    meta.thinkingEnabled = it->get<bool>();
  }
  if (auto it = json.find("capturedAt"); it != json.end() && !it->is_null()) {
    if (!it->is_string()) return std::nullopt;
    meta.capturedAt = parseISO8601(it->get_ref<const std::string&>(), /*requireFraction=*/false);
    if (!meta.capturedAt) return std::nullopt;
  }
  return meta;
}

std::optional<ClaudeCurrentSettings> readMeta(const std::filesystem::path& file) {
  auto text = readWholeFile(file);
  if (!text) return std::nullopt;
  return decodeMeta(*text);
}

std::optional<ClaudeCurrentSettings> readMeta() { return readMeta(metaFile()); }

std::string encodeMeta(const ClaudeCurrentSettings& meta) {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  if (meta.modelId) j["modelId"] = *meta.modelId;
  if (meta.modelDisplayName) j["modelDisplayName"] = *meta.modelDisplayName;
  if (meta.effortLevel) j["effortLevel"] = *meta.effortLevel;
  if (meta.thinkingEnabled) j["thinkingEnabled"] = *meta.thinkingEnabled;
  if (meta.capturedAt) j["capturedAt"] = formatISO8601(*meta.capturedAt);
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace ClaudeBridgeFiles
}  // namespace qd
