// Internet date-time reading must accept or refuse any text without faulting,
// and whatever it accepts must format and read back to the same second.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "models/timestamp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto t = qd::parseISO8601(text)) {
    auto again = qd::parseISO8601(qd::formatISO8601(*t));
    if (!again) std::abort();
    auto whole = std::chrono::floor<std::chrono::seconds>(*t);
    if (*again != whole) std::abort();
  }
  return 0;
}
