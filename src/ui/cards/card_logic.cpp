#include "cards/card_logic.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "utilities/number_formatting.h"
#include "utilities/time_formatting.h"

namespace qd::CardLogic {

namespace NF = NumberFormatting;
namespace TF = TimeFormatting;

double shownPercent(double used, bool showRemaining) { return showRemaining ? std::max(0.0, 100.0 - used) : used; }

const char* leftOrUsed(bool showRemaining) { return showRemaining ? "left" : "used"; }

std::string usageValue(double used, bool showRemaining) {
  return NF::percent(std::max(0.0, shownPercent(used, showRemaining))) + " " + leftOrUsed(showRemaining);
}

std::optional<Timestamp> runOut(const ForecastResult& f, Timestamp now) {
  if (!f.projectedUsedAtReset || !f.resetAt) return std::nullopt;
  const double p = *f.projectedUsedAtReset;
  const double u = f.currentUsedPercent;
  if (!(p > 100 && u < 100 && u < p)) return std::nullopt;
  // The forecast's own run-out instant, so the card and the summary name the same minute.
  if (f.runOutAt) return *f.runOutAt;
  return addSeconds(now, (100.0 - u) / (p - u) * secondsBetween(now, *f.resetAt));
}

std::string runOutSuffix(Timestamp at, Timestamp now) {
  return "· runs out " + TF::clock(at) + " (" + TF::countdown(secondsBetween(now, at)) + ")";
}

namespace {
Outlook outlookLead(const ForecastResult& f, bool showRemaining, const char* ending) {
  Outlook o;
  o.status = f.status;
  const bool safe = f.status == ForecastStatus::safe;
  o.symbol = safe ? "checkmark.circle.fill" : "exclamationmark.triangle.fill";
  double shown = shownPercent(*f.projectedUsedAtReset, showRemaining);
  if (showRemaining) shown = std::max(0.0, shown);
  o.lead = std::string(safe ? "On track: " : "") + "~" + NF::percent(shown) + " " + leftOrUsed(showRemaining) + ending;
  return o;
}
}  // namespace

std::optional<Outlook> fiveHourOutlook(const ForecastResult& f, bool showRemaining, Timestamp now) {
  if (!(f.currentUsedPercent < 100) || !f.projectedUsedAtReset) return std::nullopt;
  if (f.status == ForecastStatus::noData || f.status == ForecastStatus::safe) {
    const auto burn = f.burnRatePercentPerHour;
    if (!burn || *burn <= 0.5) return std::nullopt;
    if (std::abs(*f.projectedUsedAtReset - f.currentUsedPercent) < 3) return std::nullopt;
  }
  Outlook o = outlookLead(f, showRemaining, " by reset");
  if (auto t = runOut(f, now)) o.runOut = runOutSuffix(*t, now);
  else o.tail = "· at recent pace";
  return o;
}

std::optional<Outlook> longWindowOutlook(const ForecastResult& f, bool showRemaining, ForecastBasis basis,
                                         bool spiking, Timestamp now) {
  if (!f.projectedUsedAtReset) return std::nullopt;
  Outlook o = outlookLead(f, showRemaining, " at reset");
  o.tail = basis == ForecastBasis::smart ? "· from your history" : "· at " + std::string(label(basis)) + " pace";
  o.spiking = basis == ForecastBasis::smart && spiking;
  if (auto t = runOut(f, now)) o.runOut = runOutSuffix(*t, now);
  return o;
}

std::optional<ResetLine> resetLine(const ForecastResult& f, Timestamp now) {
  if (auto phrase = TF::resetPhrase(f.resetAt, now))
    return ResetLine{*phrase, "Resets " + TF::countdown(f.timeUntilReset) + " from now"};
  if (f.timeUntilReset) return ResetLine{TF::countdown(f.timeUntilReset), ""};
  return std::nullopt;
}

std::string rangeTitle(WindowKind w) {
  switch (w) {
    case WindowKind::fiveHour: return "5-hour range";
    case WindowKind::sevenDay: return "7-day range";
    case WindowKind::weekly: return "Weekly range";
    case WindowKind::monthly: return "Monthly range";
    case WindowKind::unknown: break;
  }
  return "Range";
}

std::string confidenceText(SourceConfidence c) { return std::string(rawValue(c)) + " confidence"; }

std::string confidenceHelp(SourceConfidence c) {
  switch (c) {
    case SourceConfidence::low: return "Not much usage data yet. This climbs to Medium then High as your history builds.";
    case SourceConfidence::medium: return "Based on a few days of real usage. A full week of history raises this to High.";
    case SourceConfidence::high: break;
  }
  return "Grounded in a full week of your real usage history.";
}

std::vector<SummaryRow> summaryRows(const ForecastResult& f, const std::optional<PaceResult>& pace, bool isLongWindow,
                                    bool showRemaining, ForecastBasis basis, Timestamp now) {
  std::vector<SummaryRow> rows;
  rows.push_back({"Current", usageValue(f.currentUsedPercent, showRemaining)});
  if (f.projectedUsedAtReset && f.burnRatePercentPerHour) {
    double shown = shownPercent(*f.projectedUsedAtReset, showRemaining);
    if (showRemaining) shown = std::max(0.0, shown);
    rows.push_back({"At " + std::string(label(basis)) + " pace",
                    "~" + NF::percent(shown) + " " + leftOrUsed(showRemaining) + " by reset",
                    *f.projectedUsedAtReset > 100 ? Tone::risky : Tone::secondary});
  }
  if (f.burnRatePercentPerHour) {
    const std::string name = showRemaining ? "Runs out" : "Time to limit";
    if (f.runOutAt)
      rows.push_back({name, "~" + TF::clock(*f.runOutAt) + " (in " + TF::countdown(secondsBetween(now, *f.runOutAt)) + ")"});
    else
      rows.push_back({name, "not before reset", Tone::secondary});
  }
  if (pace && isLongWindow) {
    Tone tone = Tone::neutral;
    switch (pace->verdict) {
      case PaceResult::Verdict::underPace: tone = Tone::safe; break;
      case PaceResult::Verdict::onPace: tone = Tone::accent; break;
      case PaceResult::Verdict::overPace: tone = Tone::watch; break;
      case PaceResult::Verdict::noData: tone = Tone::neutral; break;
    }
    rows.push_back({"Pace", std::string(label(pace->verdict)), tone});
  }
  if (auto phrase = TF::resetPhrase(f.resetAt, now)) {
    std::string text = *phrase;
    if (text.rfind("resets ", 0) == 0) text = text.substr(7);
    if (f.timeUntilReset) text += " (" + TF::countdown(f.timeUntilReset) + ")";
    rows.push_back({"Resets", text});
  }
  rows.push_back({"Status", confidenceText(f.confidence), Tone::secondary, true});
  return rows;
}

std::string scenarioScope(WindowKind w) {
  switch (w) {
    case WindowKind::sevenDay:
    case WindowKind::weekly:
    case WindowKind::monthly: return "this week";
    case WindowKind::fiveHour: return "5h";
    case WindowKind::unknown: break;
  }
  return "Window";
}

std::optional<std::string> scenarioDetail(const ScenarioResult& s) {
  if (s.runOutAt) return "runs out ~" + TF::clock(*s.runOutAt);
  const double saving = s.estimatedSavingPercent.value_or(0);
  if (saving > 0.5) return "saves ~" + NF::percent(saving);
  if (saving < -0.5) return "costs ~" + NF::percent(-saving) + " more";
  return std::nullopt;
}

std::string recommendationSymbol(ForecastStatus s) {
  switch (s) {
    case ForecastStatus::safe: return "checkmark.circle.fill";
    case ForecastStatus::watch: return "eye.fill";
    case ForecastStatus::risky:
    case ForecastStatus::limitLikely: return "exclamationmark.triangle.fill";
    case ForecastStatus::limited: return "xmark.octagon.fill";
    case ForecastStatus::noData:
    case ForecastStatus::unknown: break;
  }
  return "info.circle.fill";
}

std::optional<ColorRole> bannerTint(const std::vector<Recommendation>& shown) {
  std::vector<ForecastStatus> statuses;
  for (size_t i = 0; i < shown.size() && i < 3; ++i) statuses.push_back(shown[i].status);
  if (statuses.empty()) return std::nullopt;
  const ForecastStatus worst = worstStatus(statuses);
  if (worst == ForecastStatus::noData || worst == ForecastStatus::unknown) return std::nullopt;
  return colorRole(worst);
}

namespace {
std::string pounds(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "£%.2f", v);
  return buf;
}
}  // namespace

std::optional<ExtraUsageLines> extraUsage(bool enabled, double usedGBP, std::optional<double> limitGBP,
                                          double budgetSetting) {
  if (!enabled || !(usedGBP > 0 || budgetSetting > 0)) return std::nullopt;
  ExtraUsageLines lines;
  lines.usedText = pounds(usedGBP) + " used";
  const double budget = budgetSetting > 0 ? budgetSetting : limitGBP.value_or(0);
  if (budget > 0) {
    const double ratio = usedGBP / budget;
    lines.barPercent = std::min(ratio * 100.0, 100.0);
    lines.barColour = ratio >= 1.0 ? ColorRole::limited : ratio >= 0.8 ? ColorRole::watch : ColorRole::safe;
    lines.detail = pounds(usedGBP) + " of " + pounds(budget) + " budget · " +
                   std::to_string(static_cast<long long>(std::llround(ratio * 100.0))) + "%";
  } else {
    lines.detail = "Real money beyond your plan. Set a budget in Settings to get warned.";
  }
  return lines;
}

TrendDelta trendDelta(double deltaPct) {
  TrendDelta d;
  const bool up = deltaPct >= 0;
  d.symbol = up ? "arrow.up.right" : "arrow.down.right";
  d.text = (up ? "+" : "") + std::to_string(static_cast<long long>(std::llround(deltaPct))) + "%";
  d.tone = std::abs(deltaPct) < 5 ? Tone::neutral : up ? Tone::watch : Tone::safe;
  return d;
}

}  // namespace qd::CardLogic
