#pragma once
// "usage-figures.json", beside the history cache: what the usage history last
// found (its tables, its recent rolling Claude counts and its latest-model lookup),
// small enough that a one-shot report can take it up instead of walking the
// transcript trees. Written whole after each scan, stored count and lookup; a
// cache, so anything doubtful in it reads as "not there".
//
// Times in the file are whole microseconds since 1970-01-01 UTC.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "forecasting/usage_history.h"
#include "models/timestamp.h"

namespace qd {

struct RecentFigures {
  struct RollingCount {
    int64_t minute = 0;  // the requested start, in whole minutes since 1970
    Timestamp at{};      // when it was counted
    int64_t value = 0;
    bool operator==(const RollingCount&) const = default;
  };
  struct ModelLookup {
    Timestamp checkedAt{};
    std::optional<UsageHistory::ModelSighting> found;  // none: no transcript named a model
    bool operator==(const ModelLookup&) const = default;
  };

  // What the figures were made from: time zone and prices, transcript folders.
  std::string key;
  std::optional<Timestamp> scannedAt;  // when `tables` were last made from a scan
  UsageTables tables;
  std::vector<RollingCount> rolling;  // by minute
  std::optional<ModelLookup> model;
  bool operator==(const RecentFigures&) const = default;
};

namespace RecentFiguresFile {

inline constexpr int kVersion = 1;
// Far above the figures of a busy year (16 days of tables, a day of rolling counts).
inline constexpr int64_t kMaxBytes = int64_t{1} << 20;
// How far a stamp may lie ahead of the reader's clock (another process's clock
// read a moment later, a small correction) before the file is distrusted.
inline constexpr double kFutureSlackSeconds = 300;

[[nodiscard]] std::string encode(const RecentFigures& figures);
// The figures when `json` is this version's document made with `key`, with every
// number in range and no stamp more than kFutureSlackSeconds after `now`; else nothing.
[[nodiscard]] std::optional<RecentFigures> decode(std::string_view json, std::string_view key, Timestamp now);

}  // namespace RecentFiguresFile
}  // namespace qd
