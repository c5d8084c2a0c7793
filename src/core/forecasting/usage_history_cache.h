#pragma once
// The per-file aggregates of the transcript scan and their cache file
// "usage-history-cache.json": one JSON object, transcript path → FileAgg.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "models/timestamp.h"

namespace qd {

// One usage line that carries a (message.id, requestId) pair, kept so that the
// pair can be counted once across files. The file's own tables include it.
struct KeyedUsage {
  uint64_t key = 0;
  Timestamp time{};
  int64_t tokens = 0;
  int64_t costNano = 0;
  std::array<char, 10> day{};  // local day key
  int hour = 0;                // local hour
  bool operator==(const KeyedUsage&) const = default;
  [[nodiscard]] std::string_view dayKey() const { return {day.data(), day.size()}; }
};

// What one transcript file contributed when it was last parsed.
struct FileAgg {
  int64_t size = 0;
  double mtime = 0;  // seconds since 1970, with fraction
  std::string provider;  // "codex" or "claude"; other values are ignored by the tables
  std::map<std::string, int64_t, std::less<>> byDay;
  std::map<int, int64_t> byHour;
  std::map<std::string, int64_t, std::less<>> byDayCostNano;  // US dollars × 1e9 (dollars in the file)
  std::vector<KeyedUsage> keyed;  // sorted by key; one entry per pair
  // What the figures were made with (time zone and prices); figures made otherwise are rebuilt.
  std::string keyedBy;
  // Models of this file priced by a family fallback, sorted, at most a few.
  std::vector<std::string> fallbackModels;
  bool operator==(const FileAgg&) const = default;
};

using FileAggCache = std::map<std::string, FileAgg>;

namespace UsageHistoryCache {

// Decodes the whole cache; any defect (invalid JSON, a missing required key, a
// wrong type) gives nothing. `byHour`, `byDayCost`, `keyed`, `keyedBy` and
// `fallbackModels` may be absent.
[[nodiscard]] std::optional<FileAggCache> decode(std::string_view json);
// Compact JSON. Entries whose path is not valid UTF-8 are left out.
[[nodiscard]] std::string encode(const FileAggCache& cache);

// Reads the file (missing, unreadable, oversized or undecodable: nothing).
[[nodiscard]] std::optional<FileAggCache> load(const std::string& path);

}  // namespace UsageHistoryCache
}  // namespace qd
