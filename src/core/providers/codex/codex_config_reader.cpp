#include "providers/codex/codex_config_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <simdjson.h>

#include "storage/local_file_store.h"

namespace qd::CodexConfigReader {

namespace {

// A real config.toml is a few kilobytes; it is read again for every payload.
constexpr off_t kMaxConfigBytes = 4 * 1024 * 1024;

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

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
  // O_NONBLOCK with the regular-file check: a FIFO planted at the path must not hang us.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> result;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxConfigBytes) {
    std::string text;
    char buf[16384];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) {
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > static_cast<size_t>(kMaxConfigBytes)) break;
        continue;
      }
      if (n == 0) result = std::move(text);
      break;
    }
  }
  ::close(fd);
  return result;
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
  const auto text = readWholeFile(configFile());
  if (!text || !simdjson::validate_utf8(text->data(), text->size())) return {};
  return parse(*text);
}

}  // namespace qd::CodexConfigReader
