#include "app/notification_manager.h"

#include <atomic>
#include <cmath>
#include <cstdio>

#include "models/uuid.h"
#include "utilities/checked_rounding.h"
#include "utilities/local_time.h"
#include "utilities/number_formatting.h"
#include "utilities/time_formatting.h"

namespace qd {

namespace {

constexpr double kDailyCooldown = 64'800;   // 18 hours
constexpr double kRecapCooldown = 21'600;   // 6 hours

std::string name(Provider p) { return std::string(displayName(p)); }
std::string key(Provider p) { return std::string(rawValue(p)); }

// A threshold as the user set it, fraction dropped: 70.9 reads "70".
std::string wholeNumber(double value) {
  const auto whole = truncatedWithin(value, -1'000'000'000'000, 1'000'000'000'000);
  return whole ? std::to_string(*whole) : "\u2014";
}

long long dayNumber(Timestamp now) { return static_cast<long long>(std::floor(toUnixSeconds(now) / 86'400.0)); }

std::string format(const char* pattern, double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, pattern, value);
  return buf;
}

// Week of the year with weeks starting on Sunday and week 1 holding 1 January.
int weekOfYear(Timestamp now) {
  const LocalTime::DateTime local = LocalTime::toLocal(now);
  const auto jan1 = LocalTime::fromLocal(local.year, 1, 1);
  if (!jan1) return 0;
  const int dayOfYear = LocalTime::calendarDaysBetween(*jan1, now);
  const int jan1Weekday = LocalTime::toLocal(*jan1).weekday;
  return (dayOfYear + jan1Weekday) / 7 + 1;
}

}  // namespace

NotificationManager::NotificationManager(NotificationSink* sink, const Clock& clock)
    : sink_(sink), clock_(clock), authorized_(std::make_shared<std::atomic<bool>>(false)) {}

void NotificationManager::requestAuthorizationIfNeeded() {
  if (!sink_) return;
  std::weak_ptr<std::atomic<bool>> answerSlot = authorized_;
  sink_->requestAuthorization([answerSlot](bool granted) {
    if (auto slot = answerSlot.lock()) slot->store(granted);
  });
}

bool NotificationManager::authorized() const { return authorized_->load(); }

bool NotificationManager::gateOpen(const AppSettings& settings, Timestamp now) {
  if (!settings.notificationsEnabled || settings.demoMode) return false;
  if (settings.notificationsSnoozedUntil && now < *settings.notificationsSnoozedUntil) return false;
  return true;
}

void NotificationManager::fire(const std::string& group, const std::string& alertKey, double cooldownSeconds,
                               const std::string& title, const std::string& body) {
  const Timestamp t = clock_.now();
  if (auto it = lastFired_.find(alertKey); it != lastFired_.end() && secondsBetween(it->second, t) < cooldownSeconds)
    return;
  lastFired_[alertKey] = t;
  if (batching_)
    held_.push_back({group, alertKey, title, body});
  else
    deliver(alertKey, title, body);
}

void NotificationManager::deliver(const std::string& alertKey, const std::string& title, const std::string& body) {
  if (sink_) sink_->deliver(title, body, alertKey + "-" + Uuid::random().str());
}

void NotificationManager::beginBatch() { batching_ = true; }

void NotificationManager::endBatch() {
  batching_ = false;
  std::vector<Held> held = std::move(held_);
  held_.clear();
  std::vector<bool> sent(held.size(), false);
  for (size_t i = 0; i < held.size(); ++i) {
    if (sent[i]) continue;
    const Held& first = held[i];
    std::string body = first.body;
    for (size_t j = i + 1; j < held.size(); ++j) {
      if (sent[j] || held[j].group != first.group) continue;
      sent[j] = true;
      // "Codex burn rate high" reads "Burn rate high" under the provider's first alert.
      std::string heading = held[j].title;
      for (Provider p : allCases<Provider>()) {
        const std::string prefix = name(p) + " ";
        if (heading.rfind(prefix, 0) == 0) heading.erase(0, prefix.size());
      }
      if (!heading.empty() && heading[0] >= 'a' && heading[0] <= 'z') heading[0] = static_cast<char>(heading[0] - 32);
      body += "\n" + heading + ": " + held[j].body;
    }
    deliver(first.key, first.title, body);
  }
}

void NotificationManager::evaluate(const std::vector<ForecastResult>& forecasts,
                                   const std::vector<std::pair<Provider, PaceResult>>& paces,
                                   const AppSettings& settings) {
  if (!gateOpen(settings, clock_.now())) return;
  const double cooldown = static_cast<double>(settings.notificationCooldownMinutes) * 60.0;
  const auto& th = settings.notificationThresholds;
  using NumberFormatting::percent;

  for (const ForecastResult& f : forecasts) {
    if (f.windowKind != WindowKind::fiveHour) continue;
    const std::string p = key(f.provider), n = name(f.provider);
    if (f.currentUsedPercent >= th.fiveHourUsageAbove)
      fire(p, p + "-5h-usage", cooldown, n + " 5h usage high",
           "5h usage is above " + wholeNumber(th.fiveHourUsageAbove) + "% (now " + percent(f.currentUsedPercent) +
               ").");
    if (f.projectedUsedAtReset && *f.projectedUsedAtReset >= th.fiveHourForecastAbove)
      fire(p, p + "-5h-forecast", cooldown, n + " burn rate high",
           "At your " + std::string(label(f.basis)) + " pace, projected " + percent(f.projectedUsedAtReset) +
               " by reset.");
    // At the limit (100 % used, or the source says it is reached) there is nothing left to "hit".
    const bool reached = f.status == ForecastStatus::limited || f.currentUsedPercent >= 100 ||
                         (f.estimatedTimeToLimit && *f.estimatedTimeToLimit <= 0);
    if (reached)
      fire(p, p + "-5h-ttl", cooldown, n + " 5h limit reached",
           "You have reached the 5h limit. It resets " + TimeFormatting::relativeCountdown(f.timeUntilReset) + ".");
    else if (f.estimatedTimeToLimit && *f.estimatedTimeToLimit < th.timeToLimitUnderMinutes * 60.0)
      fire(p, p + "-5h-ttl", cooldown, n + " close to limit",
           "You may hit the 5h limit in ~" + TimeFormatting::countdown(f.estimatedTimeToLimit) + ".");
  }

  for (const auto& [provider, pace] : paces) {
    const std::string p = key(provider), n = name(provider);
    if (pace.projectedEnd && *pace.projectedEnd >= th.weeklyProjectedAbove)
      fire(p, p + "-weekly-proj", cooldown, n + " weekly pace warning",
           "Projected finish " + percent(pace.projectedEnd) + ".");
    if (pace.paceDelta >= th.weeklyPaceAbovePoints)
      fire(p, p + "-weekly-pace", cooldown, n + " above weekly pace",
           "You are " + NumberFormatting::signedPoints(pace.paceDelta) + " above ideal pace.");
  }
}

void NotificationManager::evaluateRunOut(const std::map<Provider, CalibratedProjection>& calibrated,
                                         const AppSettings& settings, Timestamp now) {
  if (!gateOpen(settings, now)) return;
  const std::string day = std::to_string(dayNumber(now));
  for (const auto& [provider, q] : calibrated) {
    if (!std::isfinite(q.daysOfHeadroom)) continue;
    if (!(q.projectedUsedAtReset >= 100) || !(q.daysOfHeadroom < q.daysRemaining - 0.75)) continue;
    const std::string weekday = LocalTime::format(addSeconds(now, q.daysOfHeadroom * 86'400.0), "%a");
    fire(key(provider), key(provider) + "-runout-" + day, kDailyCooldown, name(provider) + " will run out early",
         "At your usual pace it runs out " + weekday + " (~" +
             format("%.0f", std::max(0.0, q.daysRemaining - q.daysOfHeadroom)) + "d before reset).");
  }
}

void NotificationManager::evaluateBudget(const std::optional<Overage>& overage, const AppSettings& settings,
                                         Timestamp now) {
  if (!gateOpen(settings, now)) return;
  const double budget = settings.extraUsageBudgetGBP;
  if (!overage || !overage->enabled || !(budget > 0)) return;
  const std::string day = std::to_string(dayNumber(now));
  const double ratio = overage->usedGBP / budget;
  const std::string spend = format("\u00a3%.2f", overage->usedGBP);
  const std::string budgetText = wholeNumber(budget);
  if (ratio >= 1.0) {
    fire(key(Provider::claude), "overage-100-" + day, kDailyCooldown, "Overage budget reached",
         "Claude overage spend is " + spend + " \u2014 at/over your \u00a3" + budgetText + " budget.");
  } else if (ratio >= 0.8) {
    fire(key(Provider::claude), "overage-80-" + day, kDailyCooldown,
         "Overage budget at " + std::to_string(std::llround(ratio * 100)) + "%",
         "Claude overage spend is " + spend + " of your \u00a3" + budgetText + " budget.");
  }
}

bool NotificationManager::recapWindowOpen(Timestamp now) {
  const LocalTime::DateTime local = LocalTime::toLocal(now);
  return local.weekday == 0 && local.hour >= 18 && local.hour <= 21;
}

void NotificationManager::weeklyRecap(const std::string& text, const AppSettings& settings, Timestamp now) {
  if (!gateOpen(settings, now) || text.empty() || !recapWindowOpen(now)) return;
  fire("recap", "weekly-recap-" + std::to_string(weekOfYear(now)), kRecapCooldown, "Your week in AI usage", text);
}

}  // namespace qd
