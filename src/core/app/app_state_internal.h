#pragma once
// Helpers shared by the files that implement AppState; not part of its interface.
#include <string>
#include <vector>

#include "models/usage_snapshot.h"

namespace qd::app_state_detail {

inline constexpr double kWeekSeconds = 604'800;

// The key of a series in the forecast maps: "codex-fiveHour".
inline std::string keyOf(Provider p, WindowKind w) {
  return std::string(rawValue(p)) + "-" + std::string(rawValue(w));
}

inline bool isLiveClaudeSource(const std::string& source) {
  return source == SnapshotSource::claudeStatusLine || source == SnapshotSource::claudeOAuth;
}

// The newest by timestamp; on equal timestamps the earliest in list order.
inline const UsageSnapshot* newest(const std::vector<const UsageSnapshot*>& list) {
  const UsageSnapshot* best = nullptr;
  for (const UsageSnapshot* s : list)
    if (!best || s->timestamp > best->timestamp) best = s;
  return best;
}

}  // namespace qd::app_state_detail
