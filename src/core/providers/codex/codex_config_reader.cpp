#include "providers/codex/codex_config_reader.h"

#include <simdjson.h>

#include "storage/file_reading.h"
#include "storage/local_file_store.h"

namespace qd::CodexConfigReader {

namespace {

// A real config.toml is a few kilobytes; it is read again for every payload.
constexpr int64_t kMaxConfigBytes = 4 * 1024 * 1024;

std::string_view trimSpacesAndTabs(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

std::string_view stripQuotes(std::string_view s) {
  const auto first = s.find_first_not_of("\"'");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of("\"'");
  return s.substr(first, last - first + 1);
}

}  // namespace

std::optional<std::string> scanValue(std::string_view text, std::string_view key) {
  size_t pos = 0;
  while (pos <= text.size()) {
    auto nl = text.find('\n', pos);
    if (nl == std::string_view::npos) nl = text.size();
    const std::string_view rawLine = text.substr(pos, nl - pos);
    pos = nl + 1;
    if (rawLine.empty()) continue;
    const std::string_view line = trimSpacesAndTabs(rawLine);
    if (!line.starts_with(key)) continue;
    const auto eq = line.find('=');
    if (eq == std::string_view::npos || eq + 1 >= line.size()) continue;
    if (trimSpacesAndTabs(line.substr(0, eq)) != key) continue;
    const std::string_view value = stripQuotes(trimSpacesAndTabs(line.substr(eq + 1)));
    if (value.empty()) return std::nullopt;
    return std::string(value);
  }
  return std::nullopt;
}

CodexConfig parse(std::string_view text) {
  CodexConfig config;
  config.model = scanValue(text, "model");
  config.modelReasoningEffort = scanValue(text, "model_reasoning_effort");
  config.fastMode = scanValue(text, "fast");
  if (!config.fastMode) config.fastMode = scanValue(text, "fast_mode");
  return config;
}

std::filesystem::path configFile() { return LocalFileStore::codexHome() / "config.toml"; }

CodexConfig read() {
  const auto text = readWholeFile(configFile(), kMaxConfigBytes);
  if (!text || !simdjson::validate_utf8(text->data(), text->size())) return {};
  return parse(*text);
}

}  // namespace qd::CodexConfigReader
