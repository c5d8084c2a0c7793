#include "providers/codex/codex_config_reader.h"

#include <simdjson.h>

#include <charconv>
#include <toml++/toml.h>

#include "storage/file_reading.h"
#include "storage/local_file_store.h"

namespace qd::CodexConfigReader {

namespace {

// A real config.toml is a few kilobytes; it is read again for every payload.
constexpr int64_t kMaxConfigBytes = 4 * 1024 * 1024;

// The text of a top-level setting: a string as it is, a boolean or number as
// TOML writes it; tables, arrays, dates and empty strings count as absent.
std::optional<std::string> settingText(const toml::table& table, std::string_view key) {
  const toml::node* node = table.get(key);
  if (!node) return std::nullopt;
  if (auto s = node->value<std::string>()) return s->empty() ? std::nullopt : std::optional<std::string>(*s);
  if (auto b = node->as_boolean()) return b->get() ? "true" : "false";
  if (auto i = node->as_integer()) return std::to_string(i->get());
  if (auto f = node->as_floating_point()) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, f->get());
    return ec == std::errc() ? std::optional<std::string>(std::string(buf, end)) : std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

CodexConfig parse(std::string_view text) {
  toml::table table;
  try {
    table = toml::parse(text);
  } catch (const toml::parse_error&) {
    return {};  // a file that is not TOML reads as empty, as Codex itself would refuse it
  }
  CodexConfig config;
  config.model = settingText(table, "model");
  config.modelReasoningEffort = settingText(table, "model_reasoning_effort");
  config.fastMode = settingText(table, "fast");
  if (!config.fastMode) config.fastMode = settingText(table, "fast_mode");
  return config;
}

std::filesystem::path configFile() { return LocalFileStore::codexHome() / "config.toml"; }

CodexConfig read() {
  const auto text = readWholeFile(configFile(), kMaxConfigBytes);
  if (!text || !simdjson::validate_utf8(text->data(), text->size())) return {};
  return parse(*text);
}

}  // namespace qd::CodexConfigReader
