#pragma once
#include <optional>
#include <string>

#include "models/provider.h"
#include "models/source_confidence.h"
#include "models/timestamp.h"
#include "models/uuid.h"
#include "models/window_kind.h"

namespace qd {

// One observation of one provider's quota window at one moment: what providers
// produce, the snapshot store persists and all forecasting reads. Field order is
// the JSON key order. Equality compares every field.
struct UsageSnapshot {
  Uuid id = Uuid::random();
  Provider provider = Provider::codex;
  Timestamp timestamp{};
  WindowKind windowKind = WindowKind::unknown;
  double usedPercent = 0;
  double remainingPercent = 0;
  std::optional<Timestamp> resetAt;
  std::optional<double> windowDurationMins;
  std::optional<std::string> limitId;
  std::optional<std::string> limitName;
  std::optional<std::string> modelId;
  std::optional<std::string> modelDisplayName;
  std::optional<std::string> effortLevel;
  std::optional<bool> thinkingEnabled;
  std::optional<std::string> speedMode;
  std::optional<std::string> planType;
  std::optional<std::string> rateLimitReachedType;
  std::string source;
  SourceConfidence sourceConfidence = SourceConfidence::medium;

  bool operator==(const UsageSnapshot&) const = default;

  // "5h", "7d", "1d", "24h" from the duration; the kind's short label without one.
  [[nodiscard]] std::string windowLabel() const;
};

// Source names of the mechanisms that produce snapshots.
namespace SnapshotSource {
inline constexpr const char* codexAppServer = "codex.app-server";
inline constexpr const char* claudeOAuth = "claude.oauth";
inline constexpr const char* claudeStatusLine = "claude.statusline";
inline constexpr const char* claudeTranscript = "claude.transcript";
inline constexpr const char* demo = "demo";
}  // namespace SnapshotSource

// How far ahead of the clock a reading's timestamp may be and still count: small
// skews between the bridge's clock and ours pass, a reading stamped a day ahead
// (a wrong clock, a hand-edited file) does not win over every newer correct one.
inline constexpr double kFutureStampToleranceSeconds = 300;

// Stamped more than the tolerance after `now`: ignored by the forecasts, the
// title and the newest-reading checks until the clock reaches it.
[[nodiscard]] inline bool isFutureStamp(Timestamp stamp, Timestamp now) {
  return secondsBetween(now, stamp) > kFutureStampToleranceSeconds;
}
[[nodiscard]] inline bool isFutureStamped(const UsageSnapshot& s, Timestamp now) {
  return isFutureStamp(s.timestamp, now);
}

}  // namespace qd
