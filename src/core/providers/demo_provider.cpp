#include "providers/demo_provider.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace qd {

namespace {

struct DemoShape {
  double fiveHourResetIn;  // seconds from now
  double fiveHourPeak;     // percent at now
  double weekResetIn;      // seconds from now
  double weekSpan;         // seconds from the first weekly sample to now
  double weekPeak;
  const char* fiveHourLimitId;
  const char* weekLimitId;
  const char* modelId;
  const char* modelName;
  const char* effort;
  const char* speed;  // nullptr: none
  const char* plan;
};

const DemoShape& shapeOf(Provider p) {
  static const DemoShape claude{10'080, 28, 311'040, 293'760, 41, "claude-5h", "claude-sevenDay",
                                "claude-opus-4-8", "Opus 4.8", "medium", nullptr, "Max"};
  static const DemoShape codex{12'000, 22, 328'320, 276'480, 34, "codex-5h", "codex-sevenDay",
                               "gpt-5.5", "GPT-5.5", "medium", "standard", "Pro"};
  return p == Provider::claude ? claude : codex;
}

// One decimal by truncation, so the series ends exactly at its peak.
double truncateToTenth(double used) { return std::floor(used * 10.0) / 10.0; }

UsageSnapshot demoSnapshot(Provider p, const DemoShape& shape, Timestamp at, WindowKind window, double used,
                           Timestamp resetAt) {
  UsageSnapshot s;
  s.provider = p;
  s.timestamp = at;
  s.windowKind = window;
  s.usedPercent = truncateToTenth(used);
  s.remainingPercent = std::max(0.0, 100.0 - s.usedPercent);
  s.resetAt = resetAt;
  const bool five = window == WindowKind::fiveHour;
  s.windowDurationMins = five ? 300.0 : 10'080.0;
  s.limitId = five ? shape.fiveHourLimitId : shape.weekLimitId;
  s.limitName = five ? "5-hour limit" : "7-day range";
  s.modelId = shape.modelId;
  s.modelDisplayName = shape.modelName;
  s.effortLevel = shape.effort;
  if (shape.speed) s.speedMode = shape.speed;
  s.planType = shape.plan;
  s.source = SnapshotSource::demo;
  s.sourceConfidence = SourceConfidence::high;
  return s;
}

}  // namespace

DemoProvider::DemoProvider(Provider provider, const Clock& clock) : provider_(provider), clock_(clock) {}

ProviderHealth DemoProvider::health() const {
  ProviderHealth h;
  h.state = ProviderHealth::State::demo;
  h.detail = "Synthetic data";
  h.lastUpdate = clock_.now();
  return h;
}

std::vector<UsageSnapshot> DemoProvider::history(Provider provider, Timestamp now) {
  const DemoShape& shape = shapeOf(provider);
  std::vector<UsageSnapshot> out;
  out.reserve(23);

  const Timestamp fiveReset = addSeconds(now, shape.fiveHourResetIn);
  // The span reaches back at most two hours and never before the window opened.
  const double minutesSinceOpen = secondsBetween(addSeconds(fiveReset, -18'000), now) / 60.0;
  const double spanMinutes = std::min(120.0, minutesSinceOpen);
  for (int i = 0; i <= 12; ++i) {
    const double f = i / 12.0;
    const Timestamp at = addSeconds(now, -spanMinutes * (1.0 - f) * 60.0);
    out.push_back(demoSnapshot(provider, shape, at, WindowKind::fiveHour, shape.fiveHourPeak * std::pow(f, 0.78),
                               fiveReset));
  }

  const Timestamp weekReset = addSeconds(now, shape.weekResetIn);
  for (int i = 0; i <= 9; ++i) {
    const double f = i / 9.0;
    const Timestamp at = addSeconds(now, -(1.0 - f) * shape.weekSpan);
    out.push_back(demoSnapshot(provider, shape, at, WindowKind::sevenDay, shape.weekPeak * f, weekReset));
  }
  return out;
}

std::vector<std::pair<std::string, std::int64_t>> DemoProvider::dailySeries(Provider provider, int days) {
  static constexpr std::array<const char*, 7> labels{"04", "05", "06", "07", "08", "09", "10"};
  static constexpr std::array<std::int64_t, 7> claudeMillions{12, 15, 9, 18, 11, 14, 10};
  static constexpr std::array<std::int64_t, 7> codexMillions{9, 6, 14, 7, 12, 8, 5};
  const auto& millions = provider == Provider::claude ? claudeMillions : codexMillions;
  std::vector<std::pair<std::string, std::int64_t>> out;
  const int n = std::clamp(days, 0, 7);
  for (int i = 0; i < n; ++i) out.emplace_back(labels[i], millions[i] * 1'000'000);
  return out;
}

std::vector<std::int64_t> DemoProvider::weeklyTotals(Provider provider) {
  std::int64_t thisWeek = 0;
  for (const auto& [label, tokens] : dailySeries(provider, 7)) thisWeek += tokens;
  // Earlier weeks as fractions of this one, so the trend shows a rise for
  // Claude and a fall for Codex.
  static constexpr std::array<double, 3> claude{0.78, 0.91, 0.86};
  static constexpr std::array<double, 3> codex{1.02, 0.95, 1.15};
  std::vector<std::int64_t> weeks;
  for (double f : provider == Provider::claude ? claude : codex)
    weeks.push_back(static_cast<std::int64_t>(std::llround(f * static_cast<double>(thisWeek) / 1e6)) * 1'000'000);
  weeks.push_back(thisWeek);
  return weeks;
}

double DemoProvider::weeklySpendUSD(Provider provider) { return provider == Provider::claude ? 23.0 : 11.0; }

}  // namespace qd
