// The settings loader must refuse or accept any bytes without faulting; accepted
// settings must encode and decode again to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "storage/settings_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto settings = qd::decodeSettings(text);
  if (!settings) return 0;
  auto encoded = qd::encodeSettings(*settings);
  if (!encoded) std::abort();
  auto again = qd::decodeSettings(*encoded);
  if (!again || !(*again == *settings)) std::abort();
  return 0;
}
