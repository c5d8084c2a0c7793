#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "providers/usage_provider.h"
#include "utilities/ports/clock.h"

namespace qd {

// The synthetic data set of demo mode: a pure generator of snapshots and of a
// fixed week of daily token counts. As a provider it only reports the demo health.
//
// Thread-safety: the static functions are pure; the object is immutable.
class DemoProvider final : public UsageProvider {
 public:
  explicit DemoProvider(Provider provider, const Clock& clock = SystemClock::instance());

  [[nodiscard]] Provider provider() const override { return provider_; }
  [[nodiscard]] ProviderHealth health() const override;
  void start(UpdateCallback) override {}
  void stop() override {}

  // A 5-hour series of 13 samples, then a 7-day series of 10, oldest first, each
  // ending at `now` at its maximum.
  [[nodiscard]] static std::vector<UsageSnapshot> history(Provider provider, Timestamp now);
  // The first min(days, 7) entries of a fixed week: (day label, tokens).
  [[nodiscard]] static std::vector<std::pair<std::string, std::int64_t>> dailySeries(Provider provider, int days);
  // Four weekly token totals, oldest first; the last is the sum of the demo week.
  [[nodiscard]] static std::vector<std::int64_t> weeklyTotals(Provider provider);
  // The demo week's spend in US dollars.
  [[nodiscard]] static double weeklySpendUSD(Provider provider);

 private:
  Provider provider_;
  const Clock& clock_;
};

}  // namespace qd
