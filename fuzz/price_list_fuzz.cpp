// Reads arbitrary text as a price list and prices a request with it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "forecasting/pricing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = qd::PriceList::parse(text);
  if (!parsed) return 0;
  for (qd::Provider p : {qd::Provider::claude, qd::Provider::codex})
    for (std::string_view model : {"claude-opus-4-5-20251101", "gpt-5.1-codex", "", "x"}) {
      const auto q = parsed->list.quote(p, model);
      if (q.rates && qd::PriceList::costNano(*q.rates, {1'000'000'000'000, 1'000'000'000'000, 1, 1}) < 0)
        __builtin_trap();  // non-negative rates and counts never give a negative cost
    }
  return 0;
}
