// What the screens, the status report and the title read from the published state.
#include "app/app_state.h"
#include "app/app_state_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "forecasting/scenario_engine.h"
#include "providers/demo_provider.h"
#include "utilities/number_formatting.h"
#include "utilities/time_formatting.h"

namespace qd {

using namespace app_state_detail;

std::vector<ForecastResult> AppState::forecastsInOrder() const {
  std::vector<ForecastResult> out;
  for (Provider p : allCases<Provider>())
    for (WindowKind w : allCases<WindowKind>())
      if (auto it = forecasts_.find(keyOf(p, w)); it != forecasts_.end()) out.push_back(it->second);
  return out;
}

void AppState::recomputeAvailableSeries() {
  std::vector<std::pair<Provider, WindowKind>> pairs;
  std::set<std::pair<Provider, WindowKind>> seen;
  for (const UsageSnapshot& s : *working_)
    if (seen.insert({s.provider, s.windowKind}).second) pairs.emplace_back(s.provider, s.windowKind);
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const auto& a, const auto& b) { return sortRank(a.second) < sortRank(b.second); });
  availableSeries_ = std::move(pairs);
}

std::optional<std::pair<Provider, WindowKind>> AppState::mostUrgentSeries() const {
  const bool pooled = options_.stages.isPooledAccount && options_.stages.isPooledAccount();
  const Timestamp now = clock_->now();
  std::optional<std::pair<Provider, WindowKind>> best;
  const ForecastResult* bestForecast = nullptr;
  double bestScore = 0;
  auto weight = [](ForecastStatus s) {
    switch (s) {
      case ForecastStatus::safe: return 10'000.0;
      case ForecastStatus::watch: return 20'000.0;
      case ForecastStatus::risky: return 30'000.0;
      case ForecastStatus::limitLikely: return 40'000.0;
      case ForecastStatus::limited: return 50'000.0;
      default: return 0.0;
    }
  };
  for (const auto& [p, w] : availableSeries_) {
    if (p == Provider::claude && pooled) continue;
    auto it = forecasts_.find(keyOf(p, w));
    if (it == forecasts_.end()) continue;
    const ForecastResult& f = it->second;
    if (f.status == ForecastStatus::noData || f.status == ForecastStatus::unknown) continue;
    double score;
    if (f.currentUsedPercent >= 100)
      score = -1'000'000;
    else if (f.runOutAt)
      score = secondsBetween(now, *f.runOutAt);
    else
      score = 1'000'000 - weight(f.status) + f.currentRemainingPercent;
    if (!best || score < bestScore) {
      best = {p, w};
      bestScore = score;
      bestForecast = &f;
    }
  }
  if (!best || !(bestForecast->currentUsedPercent >= 100 || bestForecast->runOutAt)) return std::nullopt;
  return best;
}

// ---- derived views -------------------------------------------------------------------------------

std::vector<UsageSnapshot> AppState::series(Provider p, WindowKind w) const {
  std::vector<UsageSnapshot> out;
  for (const UsageSnapshot& s : *working_)
    if (s.provider == p && s.windowKind == w) out.push_back(s);
  std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.timestamp < b.timestamp; });
  return out;
}

std::optional<UsageSnapshot> AppState::latestSnapshot(Provider p, WindowKind w) const {
  std::vector<const UsageSnapshot*> list;
  for (const UsageSnapshot& s : *working_)
    if (s.provider == p && s.windowKind == w) list.push_back(&s);
  if (const UsageSnapshot* s = newest(list)) return *s;
  return std::nullopt;
}

std::optional<ForecastResult> AppState::forecast(Provider p, WindowKind w) const {
  if (auto it = forecasts_.find(keyOf(p, w)); it != forecasts_.end()) return it->second;
  return std::nullopt;
}

ForecastStatus AppState::globalStatus() const {
  std::vector<ForecastStatus> statuses;
  for (const ForecastResult& f : forecastsInOrder()) statuses.push_back(f.status);
  return worstStatus(statuses);
}

std::vector<ScenarioResult> AppState::scenarios(Provider p, WindowKind w) const {
  auto f = forecast(p, w);
  auto s = latestSnapshot(p, w);
  if (!f || !s || !f->projectedUsedAtReset) return {};
  return ScenarioEngine::scenarios(p, f->currentUsedPercent,
                                   std::max(0.0, *f->projectedUsedAtReset - f->currentUsedPercent), *s,
                                   f->confidence);
}

double AppState::avgDailyTokens(Provider p) const {
  if (settings_.demoMode) {
    auto days = DemoProvider::dailySeries(p, 7);
    if (days.empty()) return 0;
    double sum = 0;
    for (const auto& [label, tokens] : days) sum += static_cast<double>(tokens);
    return sum / static_cast<double>(days.size());
  }
  return history_ ? history_->averageDailyTokens(p, 7, clock_->now()) : 0;
}

AppState::WeekTrend AppState::weekTrend(Provider p) const {
  WeekTrend t;
  if (settings_.demoMode)
    t.weeks = DemoProvider::weeklyTotals(p);
  else if (history_)
    t.weeks = history_->weeklyTotals(p, 4, clock_->now());
  if (!t.weeks.empty()) t.thisWeek = t.weeks.back();
  if (t.weeks.size() >= 2) {
    const double previous = static_cast<double>(t.weeks[t.weeks.size() - 2]);
    if (previous >= 100'000 && previous >= 0.05 * static_cast<double>(t.thisWeek))
      t.deltaPct = (static_cast<double>(t.thisWeek) - previous) / previous * 100.0;
  }
  return t;
}

std::string AppState::spendThisWeek(Provider p) const {
  double usd = 0;
  if (settings_.demoMode)
    usd = DemoProvider::weeklySpendUSD(p);
  else if (history_)
    usd = history_->costUSD(p, addSeconds(clock_->now(), -kWeekSeconds));
  return NumberFormatting::money(usd, settings_.currencyGBP);
}

std::string AppState::spendThisWeekTotal() const {
  double usd = 0;
  if (settings_.demoMode) {
    usd = DemoProvider::weeklySpendUSD(Provider::codex) + DemoProvider::weeklySpendUSD(Provider::claude);
  } else if (history_) {
    const Timestamp since = addSeconds(clock_->now(), -kWeekSeconds);
    for (Provider p : sortedEnabledProviders()) usd += history_->costUSD(p, since);
  }
  return NumberFormatting::money(usd, settings_.currencyGBP);
}

std::vector<std::pair<std::string, std::int64_t>> AppState::dailySeries(Provider p) const {
  if (settings_.demoMode) return DemoProvider::dailySeries(p, 7);
  return history_ ? history_->recentSeries(p, 7, clock_->now()) : std::vector<std::pair<std::string, std::int64_t>>{};
}

std::optional<std::string> AppState::headroomLabel(Provider p) const {
  auto it = calibrated_.find(p);
  if (it == calibrated_.end()) return std::nullopt;
  const CalibratedProjection& c = it->second;
  if (!(c.dailyBurnPercent > 0.1) || !std::isfinite(c.daysOfHeadroom)) return std::nullopt;
  char buf[96];
  if (c.daysOfHeadroom >= 1)
    std::snprintf(buf, sizeof buf, "~%.1f days of your usual usage left", c.daysOfHeadroom);
  else
    std::snprintf(buf, sizeof buf, "~%.0fh of your usual usage left", c.daysOfHeadroom * 24);
  return std::string(buf);
}

std::optional<std::string> AppState::peakUsageWindowLabel() const {
  if (!history_) return std::nullopt;
  auto peak = history_->peakWindow(4);
  if (!peak) return std::nullopt;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:00\u2013%02d:00", ((peak->first % 24) + 24) % 24, ((peak->second % 24) + 24) % 24);
  return std::string(buf);
}

std::optional<std::string> AppState::freshnessLabel(Provider p) const {
  if (settings_.demoMode) return "demo";
  const Timestamp now = clock_->now();
  std::vector<const UsageSnapshot*> mine, live;
  for (const UsageSnapshot& s : *working_) {
    if (s.provider != p) continue;
    mine.push_back(&s);
    if (p == Provider::claude && isLiveClaudeSource(s.source)) live.push_back(&s);
  }
  if (p == Provider::codex) {
    const UsageSnapshot* s = newest(mine);
    if (!s) return std::nullopt;
    const double age = secondsBetween(s->timestamp, now);
    if (age < 120) return "live";
    return "as of " + TimeFormatting::countdown(age) + " ago";
  }
  if (const UsageSnapshot* s = newest(live)) {
    const double age = secondsBetween(s->timestamp, now);
    if (age < 1200) return "live";
    return "synced " + TimeFormatting::countdown(age) + " ago";
  }
  if (!mine.empty()) return "estimated";
  return std::nullopt;
}

std::optional<Timestamp> AppState::newestLiveReading(Provider p) const {
  std::optional<Timestamp> newestAt;
  for (const UsageSnapshot& s : *working_)
    if (s.provider == p && (p == Provider::codex || isLiveClaudeSource(s.source)))
      if (!newestAt || s.timestamp > *newestAt) newestAt = s.timestamp;
  return newestAt;
}

std::optional<ProviderHealth> AppState::reportedHealth(Provider p) const {
  if (auto it = providerHealth_.find(p); it != providerHealth_.end()) return it->second;
  if (settings_.demoMode || !options_.stages.probeHealth) return std::nullopt;
  return options_.stages.probeHealth(p, newestLiveReading(p), clock_->now());
}

bool AppState::claudeUsesApiKey() const {
  if (settings_.demoMode || !options_.stages.claudeApiKeyLogin) return false;
  const Timestamp now = clock_->now();
  if (!apiKeyLogin_ || std::abs(secondsBetween(apiKeyLogin_->first, now)) >= 60)
    apiKeyLogin_ = std::make_pair(now, options_.stages.claudeApiKeyLogin(newestLiveReading(Provider::claude), now));
  return apiKeyLogin_->second;
}

std::string AppState::weeklyRecapText() const {
  std::vector<std::string> sentences;
  for (Provider p : sortedEnabledProviders()) {
    auto f = forecast(p, WindowKind::sevenDay);
    if (!f) f = forecast(p, WindowKind::weekly);
    if (!f) continue;
    std::string sentence =
        std::string(displayName(p)) + ": " + NumberFormatting::percent(f->currentUsedPercent) + " of weekly used";
    if (history_) {
      auto days = history_->recentSeries(p, 7, clock_->now());
      const std::pair<std::string, std::int64_t>* heaviest = nullptr;
      for (const auto& day : days)
        if (day.second >= 1 && (!heaviest || day.second > heaviest->second)) heaviest = &day;
      if (heaviest) {
        const std::string& k = heaviest->first;
        sentence += ", heaviest " + (k.size() > 5 ? k.substr(k.size() - 5) : k);
      }
    }
    sentences.push_back(std::move(sentence));
  }
  std::string out;
  for (const std::string& s : sentences) {
    if (!out.empty()) out += ". ";
    out += s;
  }
  return out;
}

}  // namespace qd
