// The snapshot line decoder must refuse or accept any bytes without faulting;
// whatever it accepts must encode, and decode again to the same record but for
// the sub-second part of its timestamps, which the line format does not carry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "storage/json_lines.h"

namespace {

void roundTrip(const qd::UsageSnapshot& s) {
  auto line = qd::JSONLines::encodeLine(s);
  if (!line) std::abort();
  qd::UsageSnapshot expected = s;
  expected.timestamp = std::chrono::floor<std::chrono::seconds>(s.timestamp);
  if (s.resetAt) expected.resetAt = std::chrono::floor<std::chrono::seconds>(*s.resetAt);
  auto again = qd::JSONLines::decodeLine(*line);
  if (!again || !(*again == expected)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto s = qd::JSONLines::decodeLine(text)) roundTrip(*s);
  const auto all = qd::JSONLines::decodeLines(text);
  if (all.size() > size / 2 + 1) std::abort();
  for (const auto& s : all) roundTrip(s);
  return 0;
}
