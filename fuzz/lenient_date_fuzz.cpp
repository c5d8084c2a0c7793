// The lenient date reading must refuse or accept any text or number without
// faulting; an accepted date must format as ISO-8601 and read back to the same second.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "storage/json_lines.h"

namespace {

void check(const qd::Timestamp& t) {
  auto again = qd::JSONLines::parseDate(std::string_view(qd::formatISO8601(t)));
  if (!again || *again != std::chrono::floor<std::chrono::seconds>(t)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto t = qd::JSONLines::parseDate(text)) check(*t);
  if (size == sizeof(double)) {
    double number;
    std::memcpy(&number, data, sizeof number);
    if (auto t = qd::JSONLines::parseDate(number)) check(*t);
  }
  return 0;
}
