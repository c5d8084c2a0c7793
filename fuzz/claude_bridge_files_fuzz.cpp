// The bridge's settings file ("claude-meta.json") and the estimator's last live
// reading ("claude-anchor.json"): any bytes decode or are refused without
// faulting, and what decodes encodes and decodes again to the same value.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "providers/claude/claude_bridge_files.h"
#include "providers/claude/claude_estimator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto meta = qd::ClaudeBridgeFiles::decodeMeta(text)) {
    auto again = qd::ClaudeBridgeFiles::decodeMeta(qd::ClaudeBridgeFiles::encodeMeta(*meta));
    if (!again) __builtin_trap();
  }
  if (auto anchor = qd::ClaudeEstimator::decodeAnchor(text)) {
    auto again = qd::ClaudeEstimator::decodeAnchor(qd::ClaudeEstimator::encodeAnchor(*anchor));
    if (!again) __builtin_trap();
  }
  return 0;
}
