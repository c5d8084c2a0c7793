// The history cache reader: any bytes decode to a cache or to nothing, and a
// decoded cache written out again decodes again.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "forecasting/usage_history_cache.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto cache = qd::UsageHistoryCache::decode(bytes);
  if (!cache) return 0;
  const std::string again = qd::UsageHistoryCache::encode(*cache);
  auto reread = qd::UsageHistoryCache::decode(again);
  if (!reread || reread->size() != cache->size()) __builtin_trap();
  return 0;
}
