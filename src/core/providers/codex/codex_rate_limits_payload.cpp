#include "providers/codex/codex_rate_limits_payload.h"

#include <cmath>

#include "storage/json_lines.h"
#include "utilities/json_document.h"

namespace qd {

namespace {

using Json = nlohmann::ordered_json;

// Each reader returns false when the member is present with the wrong JSON type.
bool readText(const Json& object, const char* key, std::optional<std::string>& out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

bool readNumber(const Json& object, const char* key, std::optional<double>& out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_number()) return false;
  const double v = it->get<double>();
  if (!std::isfinite(v)) return false;
  out = v;
  return true;
}

std::optional<CodexRateLimitWindow> decodeWindow(const Json& value) {
  if (!value.is_object()) return std::nullopt;
  CodexRateLimitWindow window;
  if (!readNumber(value, "usedPercent", window.usedPercent)) return std::nullopt;
  if (!readNumber(value, "windowDurationMins", window.windowDurationMins)) return std::nullopt;
  if (auto it = value.find("resetsAt"); it != value.end()) window.resetAt = JSONLines::parseDate(*it);  // tolerant: absent, never a failure
  return window;
}

bool readWindow(const Json& object, const char* key, std::optional<CodexRateLimitWindow>& out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  out = decodeWindow(*it);
  return out.has_value();
}

std::optional<CodexRateLimitBucket> decodeBucket(const Json& value) {
  if (!value.is_object()) return std::nullopt;
  CodexRateLimitBucket bucket;
  if (!readText(value, "limitId", bucket.limitId) || !readText(value, "limitName", bucket.limitName) ||
      !readWindow(value, "primary", bucket.primary) || !readWindow(value, "secondary", bucket.secondary) ||
      !readText(value, "planType", bucket.planType) ||
      !readText(value, "rateLimitReachedType", bucket.rateLimitReachedType))
    return std::nullopt;
  return bucket;
}

}  // namespace

std::optional<CodexRateLimitsPayload> CodexRateLimitsPayload::decode(const Json& value) {
  try {
    if (!value.is_object()) return std::nullopt;
    CodexRateLimitsPayload payload;
    if (auto it = value.find("rateLimits"); it != value.end() && !it->is_null()) {
      payload.rateLimits = decodeBucket(*it);
      if (!payload.rateLimits) return std::nullopt;
    }
    if (auto it = value.find("rateLimitsByLimitId"); it != value.end() && !it->is_null()) {
      if (!it->is_object()) return std::nullopt;
      std::vector<std::pair<std::string, CodexRateLimitBucket>> entries;
      for (const auto& [key, entry] : it->items()) {
        auto bucket = decodeBucket(entry);
        if (!bucket) return std::nullopt;
        entries.emplace_back(key, std::move(*bucket));
      }
      payload.rateLimitsByLimitId = std::move(entries);
    }
    return payload;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<CodexRateLimitsPayload> CodexRateLimitsPayload::decode(std::string_view jsonBytes) {
  try {
    const auto value = parseJsonDocument<Json>(jsonBytes);
    if (!value) return std::nullopt;
    return decode(*value);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::vector<CodexRateLimitBucket> CodexRateLimitsPayload::allBuckets() const {
  if (rateLimits) return {*rateLimits};
  if (rateLimitsByLimitId && !rateLimitsByLimitId->empty()) {
    auto [key, bucket] = rateLimitsByLimitId->front();
    if (!bucket.limitId) bucket.limitId = key;
    return {bucket};
  }
  return {};
}

}  // namespace qd
