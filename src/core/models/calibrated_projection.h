#pragma once
#include <cstdint>

namespace qd {

// The long window's usage at the reset estimated from the local token history
// rather than from the recent burn rate (computed by the refresh cycle).
struct CalibratedProjection {
  double projectedUsedAtReset = 0;  // percent, 0...140
  double avgDailyTokens = 0;        // the larger of the plain and the recency-weighted 7-day average
  int64_t tokensThisWindow = 0;     // since the window started
  double daysRemaining = 0;         // at least 0
  double dailyBurnPercent = 0;      // percent of the window a typical day uses
  double daysOfHeadroom = 0;        // days until 100%; +infinity when the daily burn is 0
  int activeDays = 0;               // days of the last 7 with any tokens
  bool spiking = false;             // recency-weighted daily tokens > 1.25 x the plain average

  bool operator==(const CalibratedProjection&) const = default;
};

}  // namespace qd
