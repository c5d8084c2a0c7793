#pragma once
// Test support: the price list shipped in the source tree's resources, without a user override.
#include <memory>
#include <string>

#include "forecasting/pricing.h"

namespace qd::testing {

inline std::shared_ptr<const PriceList> shippedPrices() {
  static const std::shared_ptr<const PriceList> prices =
      PriceList::load(std::string(QUOTADIAL_BUILD_RESOURCES_DIR) + "/pricing.json", "/nonexistent/pricing.json").list;
  return prices;
}

}  // namespace qd::testing
