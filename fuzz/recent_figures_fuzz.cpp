// The recent figures reader: any bytes decode to figures or to nothing, and
// decoded figures written out again decode to the same figures.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "forecasting/recent_figures.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const qd::Timestamp now = qd::fromUnixSeconds(1'800'000'000);
  auto figures = qd::RecentFiguresFile::decode(bytes, "k", now);
  if (!figures) return 0;
  auto again = qd::RecentFiguresFile::decode(qd::RecentFiguresFile::encode(*figures), "k", now);
  if (!again || !(*again == *figures)) __builtin_trap();
  return 0;
}
