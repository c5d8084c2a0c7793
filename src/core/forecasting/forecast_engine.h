#pragma once
// Builds the forecast of one provider's window from its recorded snapshots.
// Pure; safe from any thread.
#include <vector>

#include "models/forecast_basis.h"
#include "models/forecast_result.h"
#include "models/provider.h"
#include "models/source_confidence.h"
#include "models/timestamp.h"
#include "models/usage_snapshot.h"
#include "models/window_kind.h"

namespace qd::ForecastEngine {

// Every input yields a result; each gap in the data is a case with its own summary.
// `snapshots` are all stored snapshots of that provider and window, in any order.
[[nodiscard]] ForecastResult forecast(Provider provider, WindowKind window, const std::vector<UsageSnapshot>& snapshots,
                                      ForecastBasis basis, Timestamp now);

// Trust in a rate measured over `sampleCount` samples: <5 low, 5...23 medium, 24+ high.
[[nodiscard]] SourceConfidence confidenceForSampleCount(int sampleCount);

}  // namespace qd::ForecastEngine
