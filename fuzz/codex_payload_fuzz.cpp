// Decodes arbitrary bytes as a Codex rate-limit payload and turns what decodes into snapshots.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "providers/codex/codex_parsing.h"
#include "providers/codex/codex_rate_limits_payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (auto payload = qd::CodexRateLimitsPayload::decode(bytes)) {
    for (const auto& bucket : payload->allBuckets()) {
      auto snaps = qd::CodexParsing::snapshots(bucket, qd::fromUnixSeconds(1'800'000'000));
      if (snaps.size() > 2) __builtin_trap();
    }
  }
  return 0;
}
