#include "forecasting/pace_calculator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "utilities/number_formatting.h"

namespace qd::PaceCalculator {

namespace {

// Points either side of the even-spend line that still count as on pace (exclusive).
constexpr double kPaceTolerance = 5;
// The last stretch of a window divides by this many days at least, so the allowance stays finite.
constexpr double kMinDivisorDays = 0.1;
constexpr double kMaxProjection = 140;

// 100 / window days (a window shorter than a day counts as one): "14.3%".
std::string evenDailyShare(double windowDurationMins) {
  const double share = 100 / std::max(windowDurationMins / 1440, 1.0);
  if (!std::isfinite(share)) return "\u2014";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f%%", share);
  return buf;
}

}  // namespace

PaceResult pace(const UsageSnapshot& snapshot, Timestamp now) {
  PaceResult r;
  if (!snapshot.resetAt || !snapshot.windowDurationMins || !(*snapshot.windowDurationMins > 0)) {
    r.summary = "Pace unavailable (no window data).";
    return r;
  }
  const double windowMins = *snapshot.windowDurationMins;
  const Timestamp start = addSeconds(*snapshot.resetAt, -windowMins * 60);
  const double length = secondsBetween(start, *snapshot.resetAt);
  const double elapsed = secondsBetween(start, now);

  double ratio = std::min(elapsed / length, 1.0);
  if (!(ratio >= 0) || !(length > 0)) ratio = 0;
  r.elapsedRatio = ratio;
  r.idealUsageNow = ratio * 100;
  r.paceDelta = snapshot.usedPercent - r.idealUsageNow;
  r.daysRemaining = std::max(0.0, secondsBetween(now, *snapshot.resetAt) / 86400);
  r.remainingDailyAllowance =
      snapshot.remainingPercent / (r.daysRemaining <= kMinDivisorDays ? kMinDivisorDays : r.daysRemaining);
  if (ratio > 0.01) r.projectedEnd = std::min(std::max(snapshot.usedPercent / ratio, 0.0), kMaxProjection);

  using NumberFormatting::percent;
  using NumberFormatting::signedPoints;
  if (r.paceDelta > kPaceTolerance) {
    r.verdict = PaceResult::Verdict::overPace;
    r.summary = "Over pace by " + signedPoints(r.paceDelta) + ". Daily budget ~" + evenDailyShare(windowMins) + ".";
  } else if (r.paceDelta < -kPaceTolerance) {
    r.verdict = PaceResult::Verdict::underPace;
    r.summary = "Under pace by " + signedPoints(r.paceDelta) + ". Headroom of ~" +
                percent(r.remainingDailyAllowance) + "/day.";
  } else {
    r.verdict = PaceResult::Verdict::onPace;
    r.summary = "On pace. ~" + percent(r.remainingDailyAllowance) + "/day available.";
  }
  return r;
}

}  // namespace qd::PaceCalculator
