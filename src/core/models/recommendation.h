#pragma once
#include <optional>
#include <string>

#include "models/forecast_status.h"
#include "models/provider.h"
#include "models/uuid.h"

namespace qd {

// One piece of advice about a provider, coloured by `status`.
struct Recommendation {
  Uuid id = Uuid::random();  // fresh for every recommendation made; identity in lists only
  std::optional<Provider> provider;
  ForecastStatus status = ForecastStatus::safe;
  std::string message;

  // Compares the advice, not `id`: a recompute that yields the same advice is
  // equal to the published list, so observers are not woken on every tick.
  bool operator==(const Recommendation& o) const {
    return provider == o.provider && status == o.status && message == o.message;
  }
};

}  // namespace qd
