#include "providers/codex/codex_parsing.h"

#include <algorithm>

namespace qd::CodexParsing {

WindowKind windowKind(std::optional<double> mins) {
  if (!mins) return WindowKind::unknown;
  const double m = *mins;
  if (m >= 240 && m <= 360) return WindowKind::fiveHour;
  if (m >= 9000 && m <= 11000) return WindowKind::sevenDay;
  if (m >= 43000 && m <= 45000) return WindowKind::monthly;
  return WindowKind::unknown;
}

std::vector<UsageSnapshot> snapshots(const CodexRateLimitBucket& bucket, Timestamp now) {
  std::vector<UsageSnapshot> out;
  for (const auto* window : {&bucket.primary, &bucket.secondary}) {
    if (!window->has_value() || !(*window)->usedPercent) continue;
    const CodexRateLimitWindow& w = **window;
    UsageSnapshot s;
    s.id = Uuid::random();
    s.provider = Provider::codex;
    s.timestamp = now;
    s.windowKind = windowKind(w.windowDurationMins);
    s.usedPercent = *w.usedPercent;
    s.remainingPercent = std::max(0.0, 100.0 - *w.usedPercent);
    s.resetAt = w.resetAt;
    s.windowDurationMins = w.windowDurationMins;
    s.limitId = bucket.limitId;
    s.limitName = bucket.limitName;
    s.planType = bucket.planType;
    s.rateLimitReachedType = bucket.rateLimitReachedType;
    s.source = SnapshotSource::codexAppServer;
    s.sourceConfidence = SourceConfidence::high;
    out.push_back(std::move(s));
  }
  return out;
}

}  // namespace qd::CodexParsing
