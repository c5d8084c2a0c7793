#include "app/usage_test_mode.h"

#include <cstdio>

#include "app/command_line.h"

#include "forecasting/usage_history.h"
#include "utilities/number_formatting.h"
#include "utilities/ports/clock.h"

namespace qd {

namespace {

std::string compact(int64_t tokens) {
  char buf[64];
  if (tokens >= 1'000'000'000) std::snprintf(buf, sizeof buf, "%.1fB", static_cast<double>(tokens) / 1e9);
  else if (tokens > 999'999) std::snprintf(buf, sizeof buf, "%.0fM", static_cast<double>(tokens) / 1e6);
  else if (tokens < 1000) std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(tokens));
  else std::snprintf(buf, sizeof buf, "%.0fK", static_cast<double>(tokens) / 1e3);
  return buf;
}

}  // namespace

std::string usageTestReport(const UsageHistory& history, Timestamp now) {
  std::string out;
  char buf[256];
  for (Provider p : allCases<Provider>()) {
    out += "\n=== " + std::string(displayName(p)) + " daily tokens ===\n";
    for (const auto& [day, tokens] : history.recentSeries(p, 7, now)) {
      std::snprintf(buf, sizeof buf, "  %s: %s  (%lld)\n", day.c_str(), compact(tokens).c_str(),
                    static_cast<long long>(tokens));
      out += buf;
    }
    const double average = history.averageDailyTokens(p, 7, now);
    out += "  avg/day: " + NumberFormatting::tokens(static_cast<int64_t>(average)) + "\n";
    const double spend = history.costUSD(p, addSeconds(now, -604800));
    std::snprintf(buf, sizeof buf, "  est spend 7d: $%.2f (~\u00a3%.2f)\n", spend, spend * NumberFormatting::usdToGbp);
    out += buf;
  }
  if (const auto peak = history.peakWindow(4)) {
    std::snprintf(buf, sizeof buf, "\nPeak window (local): %02d:00-%02d:00\n", peak->first % 24, peak->second % 24);
    out += buf;
  }
  out += "\n";
  return out;
}

int runUsageTest(const CommandLineOptions&, std::ostream& out) {
  // It exists to scan: it looks once (no watches) but takes up no earlier figures.
  UsageHistory::Options o = UsageHistory::Options::defaults();
  o.oneShot = true;
  UsageHistory history(std::move(o));
  history.refreshSync();
  out << usageTestReport(history, SystemClock::instance().now());
  out.flush();
  return 0;
}

}  // namespace qd
