#include "app/diagnostic_modes.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

#include "app/app_state.h"
#include "forecasting/burn_rate_calculator.h"
#include "forecasting/forecast_engine.h"
#include "forecasting/pace_calculator.h"
#include "forecasting/scenario_engine.h"
#include "providers/demo_provider.h"
#include "storage/local_file_store.h"
#include "storage/snapshot_store.h"
#include "utilities/number_formatting.h"
#include "utilities/ports/clock.h"
#include "utilities/time_formatting.h"

namespace qd {
namespace DiagnosticModes {

namespace {

using NumberFormatting::percent;
using TimeFormatting::countdown;

std::string printf1(const char* pattern, double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, pattern, value);
  return buf;
}

std::string confidenceWord(SourceConfidence c) {
  switch (c) {
    case SourceConfidence::low: return "Low";
    case SourceConfidence::medium: return "Medium";
    case SourceConfidence::high: return "High";
  }
  return "Low";
}

// A fixed instant keeps the fixtures independent of the day the test runs.
const Timestamp kNow = fromUnixSeconds(1'800'000'000);

UsageSnapshot sample(Provider p, WindowKind w, double minutesAgo, double used, double resetInSeconds,
                     double durationMins) {
  UsageSnapshot s;
  s.provider = p;
  s.windowKind = w;
  s.timestamp = addSeconds(kNow, -minutesAgo * 60);
  s.usedPercent = used;
  s.remainingPercent = std::max(0.0, 100.0 - used);
  s.resetAt = addSeconds(kNow, resetInSeconds);
  s.windowDurationMins = durationMins;
  s.source = SnapshotSource::codexAppServer;
  s.sourceConfidence = SourceConfidence::high;
  return s;
}

// The Claude reset fixtures: 7-day window read from the bridge.
UsageSnapshot claudeWeek(double minutesAgo, double used, double resetInSeconds) {
  UsageSnapshot s = sample(Provider::claude, WindowKind::sevenDay, minutesAgo, used, resetInSeconds, 10'080);
  s.source = SnapshotSource::claudeStatusLine;
  return s;
}

bool isReset(const UsageSnapshot& a, const UsageSnapshot& b) {
  return BurnRateCalculator::latestSeries({a, b}).size() == 1;
}

// `n` samples over the last 50 minutes, rising steadily.
ForecastResult forecastOfSamples(int n) {
  std::vector<UsageSnapshot> series;
  for (int i = 0; i < n; ++i)
    series.push_back(sample(Provider::codex, WindowKind::fiveHour, 50.0 * (n - 1 - i) / std::max(1, n - 1),
                            10 + i * 0.5, 4 * 3600, 300));
  return ForecastEngine::forecast(Provider::codex, WindowKind::fiveHour, series, ForecastBasis::last1h, kNow);
}

ForecastResult weekly(double currentUsed, std::optional<double> projected) {
  ForecastResult r;
  r.provider = Provider::claude;
  r.windowKind = WindowKind::sevenDay;
  r.currentUsedPercent = currentUsed;
  r.currentRemainingPercent = 100 - currentUsed;
  r.projectedUsedAtReset = projected;
  r.status = ForecastStatus::noData;
  AppState::regradeLongWindow(r);
  return r;
}

LogicCheck named(std::string name, std::function<bool()> passes) {
  return [name = std::move(name), passes = std::move(passes)] { return LogicCheckOutcome{passes(), name}; };
}

}  // namespace

std::vector<LogicCheck> logicChecks() {
  std::vector<LogicCheck> checks;

  // Run-out: 60 % used at 8 %/h with the reset 10 h ahead projects 140 %,
  // which crosses 100 % halfway there.
  checks.push_back([] {
    std::vector<UsageSnapshot> s{sample(Provider::codex, WindowKind::fiveHour, 60, 52, 36'000, 600),
                                 sample(Provider::codex, WindowKind::fiveHour, 0, 60, 36'000, 600)};
    auto r = ForecastEngine::forecast(Provider::codex, WindowKind::fiveHour, s, ForecastBasis::last1h, kNow);
    const double hours = r.runOutAt ? secondsBetween(kNow, *r.runOutAt) / 3600 : NAN;
    return LogicCheckOutcome{std::abs(hours - 5) < 0.05, "runOut crosses at ~5h (got" + printf1("%.2f", hours) + ")"};
  });
  checks.push_back(named("runOut nil when projection stays under 100", [] {
    std::vector<UsageSnapshot> s{sample(Provider::codex, WindowKind::fiveHour, 60, 40, 3 * 3600, 300),
                                 sample(Provider::codex, WindowKind::fiveHour, 0, 50, 3 * 3600, 300)};
    auto r = ForecastEngine::forecast(Provider::codex, WindowKind::fiveHour, s, ForecastBasis::last1h, kNow);
    return r.projectedUsedAtReset && *r.projectedUsedAtReset < 100 && !r.runOutAt;
  }));
  checks.push_back(named("weeklyStatus(101) == risky", [] { return weekly(60, 101).status == ForecastStatus::risky; }));
  checks.push_back(named("weeklyStatus(96) == watch", [] { return weekly(60, 96).status == ForecastStatus::watch; }));
  checks.push_back(named("weeklyStatus(80) == safe", [] { return weekly(60, 80).status == ForecastStatus::safe; }));
  checks.push_back(named("weeklyStatus(currentUsed>=100) == limited",
                         [] { return weekly(100, 40).status == ForecastStatus::limited; }));
  checks.push_back(named("confidence(30 samples) == high",
                         [] { return forecastOfSamples(30).confidence == SourceConfidence::high; }));
  checks.push_back(named("confidence(5 samples) == medium",
                         [] { return forecastOfSamples(5).confidence == SourceConfidence::medium; }));
  checks.push_back(named("confidence(3 samples) == low",
                         [] { return forecastOfSamples(3).confidence == SourceConfidence::low; }));
  checks.push_back(named("percent(-1) == -1%", [] { return percent(-1.0) == "-1%"; }));
  checks.push_back(named("clampPercent caps at 140", [] {
    // 50 % rising 30 %/h with 5 h to go would reach 200 %.
    std::vector<UsageSnapshot> s{sample(Provider::codex, WindowKind::fiveHour, 60, 20, 5 * 3600, 300),
                                 sample(Provider::codex, WindowKind::fiveHour, 0, 50, 5 * 3600, 300)};
    auto r = ForecastEngine::forecast(Provider::codex, WindowKind::fiveHour, s, ForecastBasis::last1h, kNow);
    return r.projectedUsedAtReset == 140.0 && r.projectedRemainingAtReset == 0.0;
  }));
  checks.push_back([] {
    // The demo's newest Codex 5-hour sample (effort "medium"), far more future
    // use than fits: the projection clamps at 140 but the saving keeps its size.
    const auto demo = DemoProvider::history(Provider::codex, kNow);
    const UsageSnapshot* latest = nullptr;
    for (const auto& s : demo)
      if (s.windowKind == WindowKind::fiveHour && (!latest || s.timestamp > latest->timestamp)) latest = &s;
    if (!latest) return LogicCheckOutcome{false, "scenario fixture available"};
    const auto results = ScenarioEngine::scenarios(Provider::codex, 50, 200, *latest, SourceConfidence::high);
    if (results.empty()) return LogicCheckOutcome{false, "scenario fixture available"};
    const ScenarioResult& lower = results.front();
    const double saving = lower.estimatedSavingPercent.value_or(NAN);
    const bool ok = lower.projectedUsedAtReset == 140.0 && saving > 0 && std::abs(saving - 50) < 1e-9;
    return LogicCheckOutcome{ok, "scenario saving survives clamp (" + lower.title + " saves " +
                                     printf1("%.1f", saving) + "pp at " + percent(lower.projectedUsedAtReset) + ")"};
  });
  checks.push_back(named("isReset true on sharp drop (77%->6%)",
                         [] { return isReset(claudeWeek(60, 77, 86'400), claudeWeek(0, 6, 86'400)); }));
  checks.push_back(named("isReset false on small change (77%->75%)",
                         [] { return !isReset(claudeWeek(60, 77, 86'400), claudeWeek(0, 75, 86'400)); }));
  checks.push_back(named("isReset true on reset-time jump",
                         [] { return isReset(claudeWeek(60, 40, 86'400), claudeWeek(0, 40, 86'400 + 7 * 86'400)); }));
  checks.push_back([] {
    // Two samples of the old window, a reset, then three of the new one.
    std::vector<UsageSnapshot> s{claudeWeek(300, 70, 86'400), claudeWeek(240, 77, 86'400),
                                 claudeWeek(180, 6, 7 * 86'400), claudeWeek(120, 8, 7 * 86'400),
                                 claudeWeek(60, 9, 7 * 86'400)};
    const size_t kept = BurnRateCalculator::latestSeries(s).size();
    return LogicCheckOutcome{kept == 3, "latestSeries drops pre-reset samples (" + std::to_string(kept) + " kept)"};
  });

  for (LogicCheck& c : claudeEstimatorLogicChecks()) checks.push_back(std::move(c));
  return checks;
}

int runLogicTest(const CommandLineOptions&, std::ostream& out) {
  int failures = 0;
  for (const LogicCheck& check : logicChecks()) {
    LogicCheckOutcome o = check();
    if (!o.passed) ++failures;
    out << (o.passed ? "PASS" : "FAIL") << " \u00b7 " << o.name << "\n";
  }
  out << "\n";
  if (failures == 0)
    out << "All logic tests passed.\n";
  else
    out << failures << " logic test(s) FAILED.\n";
  out.flush();
  return failures == 0 ? 0 : 1;
}

int runSelfTest(const CommandLineOptions&, std::ostream& out) {
  const Timestamp now = SystemClock::instance().now();
  for (Provider p : allCases<Provider>()) {
    const auto history = DemoProvider::history(p, now);
    out << "\n=== " << displayName(p) << " ===\n";
    // Window kinds in the order of their raw values: "fiveHour" before "sevenDay".
    std::vector<WindowKind> kinds;
    for (const auto& s : history)
      if (std::find(kinds.begin(), kinds.end(), s.windowKind) == kinds.end()) kinds.push_back(s.windowKind);
    std::sort(kinds.begin(), kinds.end(), [](WindowKind a, WindowKind b) { return rawValue(a) < rawValue(b); });
    for (WindowKind w : kinds) {
      std::vector<UsageSnapshot> series;
      for (const auto& s : history)
        if (s.windowKind == w) series.push_back(s);
      const ForecastResult f = ForecastEngine::forecast(p, w, series, ForecastBasis::last1h, now);
      const std::string tag = w == WindowKind::fiveHour ? "5h" : w == WindowKind::sevenDay ? "7d" : std::string(shortLabel(w));
      const std::string rate = f.burnRatePercentPerHour && std::isfinite(*f.burnRatePercentPerHour)
                                   ? printf1("%.1f%%/h", *f.burnRatePercentPerHour)
                                   : "\u2014";
      out << "[" << tag << "] used=" << percent(f.currentUsedPercent) << " burn=" << rate
          << " proj=" << percent(f.projectedUsedAtReset) << " ttl=" << countdown(f.estimatedTimeToLimit)
          << " status=" << label(f.status) << " conf=" << confidenceWord(f.confidence)
          << " samples=" << f.sampleCount << "\n";
      out << "   summary: " << f.humanSummary << "\n";
      const UsageSnapshot* newest = nullptr;
      for (const auto& s : series)
        if (!newest || s.timestamp > newest->timestamp) newest = &s;
      if (isLongWindow(w) && newest) {
        const PaceResult pace = PaceCalculator::pace(*newest, now);
        out << "   pace: " << label(pace.verdict) << " (ideal " << percent(pace.idealUsageNow) << ", delta "
            << NumberFormatting::signedPoints(pace.paceDelta) << ")\n";
      }
      if (w == WindowKind::fiveHour && f.projectedUsedAtReset && newest) {
        const double extra = std::max(0.0, *f.projectedUsedAtReset - f.currentUsedPercent);
        for (const ScenarioResult& s : ScenarioEngine::scenarios(p, f.currentUsedPercent, extra, *newest, f.confidence))
          out << "   scenario: " << s.title << "\n";
      }
    }
  }
  out << "\n";
  out.flush();
  return 0;
}

int runDumpStore(const CommandLineOptions&, std::ostream& out) {
  SnapshotStore store(LocalFileStore::snapshotsFile());
  const std::string dash = "\u2014";
  // Streamed: a year of readings is listed without holding it in memory.
  const bool read = store.forEachByTime(
      [&](size_t count) { out << "Store: " << count << " snapshot(s) at " << store.url().string() << "\n"; },
      [&](const UsageSnapshot& s) {
        out << "  " << rawValue(s.provider) << "/" << rawValue(s.windowKind) << " used=" << percent(s.usedPercent)
            << " reset=" << (s.resetAt ? formatISO8601(*s.resetAt) : dash) << " model=" << s.modelId.value_or(dash)
            << " effort=" << s.effortLevel.value_or(dash) << " src=" << s.source << " ts=" << formatISO8601(s.timestamp)
            << "\n";
      });
  if (!read) out << "Store: 0 snapshot(s) at " << store.url().string() << "\n";
  out.flush();
  return 0;
}

}  // namespace DiagnosticModes
}  // namespace qd
