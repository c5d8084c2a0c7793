#include "forecasting/recommendation_engine.h"

#include <string>

#include "utilities/number_formatting.h"
#include "utilities/time_formatting.h"

namespace qd::RecommendationEngine {

namespace {

// The cross-provider advice needs more than this many points of extra headroom.
constexpr double kHeadroomGapPoints = 15;

Recommendation make(Provider p, ForecastStatus status, std::string message) {
  Recommendation r;
  r.provider = p;
  r.status = status;
  r.message = std::move(message);
  return r;
}

void weeklyAdvice(Provider p, const ForecastResult& f, std::vector<Recommendation>& out) {
  if (!f.projectedRemainingAtReset) return;
  const std::string n(displayName(p));
  const std::string left = NumberFormatting::percent(f.projectedRemainingAtReset);
  switch (f.status) {
    case ForecastStatus::safe:
      out.push_back(make(p, ForecastStatus::safe,
                         n + " is on track: about " + left + " of your weekly left by reset (est.)."));
      break;
    case ForecastStatus::watch:
      out.push_back(make(p, ForecastStatus::watch,
                         n + " weekly is getting tight, ~" + left + " left by reset. Ease off for routine work."));
      break;
    case ForecastStatus::risky:
    case ForecastStatus::limitLikely:
    case ForecastStatus::limited:
      out.push_back(make(p, ForecastStatus::risky,
                         n + " weekly will run out before reset at this pace. Lower effort or slow down."));
      break;
    case ForecastStatus::noData:
    case ForecastStatus::unknown: break;
  }
}

void fiveHourAdvice(Provider p, const ForecastResult& f, std::vector<Recommendation>& out) {
  const std::string n(displayName(p));
  switch (f.status) {
    case ForecastStatus::watch:
      out.push_back(make(p, ForecastStatus::watch, n + " is near its 5h cap. Lower effort for routine edits."));
      break;
    case ForecastStatus::risky:
      out.push_back(
          make(p, ForecastStatus::risky, n + " 5h is risky. Lower effort or switch provider for routine edits."));
      break;
    case ForecastStatus::limitLikely:
      out.push_back(make(p, ForecastStatus::limitLikely,
                         n + " may hit the 5h limit in ~" + TimeFormatting::countdown(f.estimatedTimeToLimit) +
                             ". Save it for complex work."));
      break;
    case ForecastStatus::limited:
      out.push_back(make(p, ForecastStatus::limited,
                         n + " hit the 5h limit. Resets " + TimeFormatting::relativeCountdown(f.timeUntilReset) + "."));
      break;
    case ForecastStatus::noData:
    case ForecastStatus::safe:
    case ForecastStatus::unknown: break;
  }
}

bool strained(ForecastStatus s) {
  return s == ForecastStatus::risky || s == ForecastStatus::limitLikely || s == ForecastStatus::limited;
}

}  // namespace

std::vector<Recommendation> recommendations(const std::vector<Input>& inputs) {
  std::vector<Recommendation> out;
  for (const auto& in : inputs) {
    if (in.longWindow) weeklyAdvice(in.provider, *in.longWindow, out);
    if (in.fiveHour) fiveHourAdvice(in.provider, *in.fiveHour, out);
  }
  if (inputs.size() < 2) return out;

  const Input* strainedInput = nullptr;
  const Input* best = nullptr;
  for (const auto& in : inputs) {
    if (!in.fiveHour) continue;
    if (!strainedInput && strained(in.fiveHour->status)) strainedInput = &in;
    if (!best || in.fiveHour->currentRemainingPercent > best->fiveHour->currentRemainingPercent) best = &in;
  }
  if (!strainedInput || best->provider == strainedInput->provider) return out;
  if (!(best->fiveHour->currentRemainingPercent - strainedInput->fiveHour->currentRemainingPercent >
        kHeadroomGapPoints))
    return out;
  out.push_back(make(best->provider, ForecastStatus::safe,
                     std::string(displayName(best->provider)) +
                         " has more headroom right now. Consider it for routine edits."));
  return out;
}

}  // namespace qd::RecommendationEngine
