#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "models/provider.h"
#include "models/timestamp.h"

namespace qd {

// The local usage history as the application state reads it: token and spend
// figures for the derived views, and the rescans of the transcripts. The
// history implements it; without one every figure is empty or zero.
//
// Thread-safety: the queries may be called from any thread (they wait on the
// history's own queue); `rescan` and `setOnChange` on the main thread.
class UsageFigures {
 public:
  virtual ~UsageFigures() = default;

  [[nodiscard]] virtual double averageDailyTokens(Provider provider, int lastDays, Timestamp now) const = 0;
  // Oldest first; the last entry is the current week.
  [[nodiscard]] virtual std::vector<std::int64_t> weeklyTotals(Provider provider, int weeks, Timestamp now) const = 0;
  [[nodiscard]] virtual double costUSD(Provider provider, Timestamp since) const = 0;
  // The busiest block of `blockHours` local hours: (start hour, end hour), the end
  // possibly past 23 (22 to 26 is 22:00 to 02:00).
  [[nodiscard]] virtual std::optional<std::pair<int, int>> peakWindow(int blockHours) const = 0;
  // One (yyyy-MM-dd, tokens) entry per local day, oldest first.
  [[nodiscard]] virtual std::vector<std::pair<std::string, std::int64_t>> recentSeries(Provider provider, int days,
                                                                                       Timestamp now) const = 0;

  // Where spend prices came from, and the models priced by a family fallback
  // ("claude-opus-9 (Claude Code)"), for the diagnostics text.
  [[nodiscard]] virtual std::vector<std::string> pricingNotes() const { return {}; }

  // Rescans the transcripts in the background; `done` runs on the main thread.
  virtual void rescan(std::function<void()> done) = 0;
  // Called on the main thread whenever the history's cache changed.
  virtual void setOnChange(std::function<void()> onChange) = 0;
};

}  // namespace qd
