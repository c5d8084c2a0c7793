#pragma once
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "models/timestamp.h"

namespace qd {

// One rate-limit window as the Codex app-server reports it.
struct CodexRateLimitWindow {
  std::optional<double> usedPercent;         // points
  std::optional<double> windowDurationMins;  // minutes
  std::optional<Timestamp> resetAt;          // JSON key "resetsAt"

  bool operator==(const CodexRateLimitWindow&) const = default;
};

struct CodexRateLimitBucket {
  std::optional<std::string> limitId;
  std::optional<std::string> limitName;
  std::optional<CodexRateLimitWindow> primary;    // in practice the short window
  std::optional<CodexRateLimitWindow> secondary;  // in practice the weekly window
  std::optional<std::string> planType;
  std::optional<std::string> rateLimitReachedType;

  bool operator==(const CodexRateLimitBucket&) const = default;
};

// The "result" of "account/rateLimits/read" and the "params" of
// "account/rateLimits/updated". Every member is optional; JSON null counts as absent.
struct CodexRateLimitsPayload {
  std::optional<CodexRateLimitBucket> rateLimits;
  // Entries in the order the JSON object lists them.
  std::optional<std::vector<std::pair<std::string, CodexRateLimitBucket>>> rateLimitsByLimitId;

  bool operator==(const CodexRateLimitsPayload&) const = default;

  // The buckets to turn into snapshots: `rateLimits` when present, else the first
  // entry of `rateLimitsByLimitId` (its key standing in for a missing `limitId`),
  // else none. At most one.
  [[nodiscard]] std::vector<CodexRateLimitBucket> allBuckets() const;

  // Decodes a payload as a whole: a text or number member of the wrong JSON type
  // fails it; an unreadable "resetsAt" only leaves `resetAt` absent; unknown members
  // are ignored. Never throws.
  [[nodiscard]] static std::optional<CodexRateLimitsPayload> decode(std::string_view jsonBytes);
  [[nodiscard]] static std::optional<CodexRateLimitsPayload> decode(const nlohmann::ordered_json& value);
};

}  // namespace qd
