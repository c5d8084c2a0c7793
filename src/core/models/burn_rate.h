#pragma once
#include "models/forecast_basis.h"

namespace qd {

// How fast one window is being used, measured over one look-back.
struct BurnRate {
  double percentPerHour = 0;  // percentage points per hour; may be zero or negative
  int sampleCount = 0;        // samples the measurement covers
  double spanHours = 0;       // first to last sample measured (sinceWindowStart: since the window began)
  ForecastBasis basis = ForecastBasis::last1h;  // the look-back actually used; never `smart`

  bool operator==(const BurnRate&) const = default;
};

}  // namespace qd
