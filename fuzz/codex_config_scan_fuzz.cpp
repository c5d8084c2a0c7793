// Reads arbitrary text as the Codex configuration (TOML).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "providers/codex/codex_config_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto config = qd::CodexConfigReader::parse(text);
  // A value is never empty and never carries a line feed.
  for (const auto* value : {&config.model, &config.modelReasoningEffort, &config.fastMode})
    if (*value && ((*value)->empty() || (*value)->find('\n') != std::string::npos)) __builtin_trap();
  return 0;
}
