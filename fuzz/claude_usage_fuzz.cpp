// The OAuth usage answer and the bridge's claude-meta.json: text from outside the program.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "providers/claude/claude_bridge_files.h"
#include "providers/claude/claude_oauth_usage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto now = qd::fromUnixSeconds(1'796'000'000);
  if (auto snaps = qd::ClaudeOAuthUsage::parse(text, now)) {
    for (const auto& s : *snaps)
      if (s.usedPercent < 0 || s.usedPercent > 100 || s.remainingPercent < 0) __builtin_trap();
  }
  (void)qd::ClaudeOAuthUsage::parseExtraUsage(text);
  if (auto meta = qd::ClaudeBridgeFiles::decodeMeta(text))
    if (qd::ClaudeBridgeFiles::decodeMeta(qd::ClaudeBridgeFiles::encodeMeta(*meta)) != meta) __builtin_trap();
  return 0;
}
