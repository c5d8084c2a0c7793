#pragma once
// The texts and choices of the cards as pure functions of the published values,
// so the rules can be tested without widgets. Widgets only lay these out.
#include <optional>
#include <string>
#include <vector>

#include "models/forecast_basis.h"
#include "models/forecast_result.h"
#include "models/pace_result.h"
#include "models/recommendation.h"
#include "models/scenario_result.h"

namespace qd::CardLogic {

// 100 − used floored at 0 when remaining is shown, else used itself.
[[nodiscard]] double shownPercent(double used, bool showRemaining);
[[nodiscard]] const char* leftOrUsed(bool showRemaining);
// "86% left" / "14% used" (the percentage floored at 0).
[[nodiscard]] std::string usageValue(double used, bool showRemaining);

// Where a straight line from the current use now to the projection at the
// reset crosses 100 %; only when the projection exceeds 100 and the use is below it.
[[nodiscard]] std::optional<Timestamp> runOut(const ForecastResult& f, Timestamp now);
// "· runs out 14:05 (2h)".
[[nodiscard]] std::string runOutSuffix(Timestamp at, Timestamp now);

struct Outlook {
  std::string symbol;          // "checkmark.circle.fill" or "exclamationmark.triangle.fill"
  ForecastStatus status;       // tint
  std::string lead;            // "On track: ~80% used by reset"
  std::string tail;            // "· at recent pace", "· from your history", ...
  bool spiking = false;        // draw "arrow.up.right" "· usage up, recent pace"
  std::optional<std::string> runOut;  // the run-out suffix
};
[[nodiscard]] std::optional<Outlook> fiveHourOutlook(const ForecastResult& f, bool showRemaining, Timestamp now);
[[nodiscard]] std::optional<Outlook> longWindowOutlook(const ForecastResult& f, bool showRemaining,
                                                       ForecastBasis basis, bool spiking, Timestamp now);

// The reset line under a usage row: the phrase (with the countdown as help), or the countdown alone.
struct ResetLine {
  std::string text;
  std::string help;
};
[[nodiscard]] std::optional<ResetLine> resetLine(const ForecastResult& f, Timestamp now);

// "5-hour range", "7-day range", "Weekly range", "Monthly range", "Range".
[[nodiscard]] std::string rangeTitle(WindowKind w);

enum class Tone { primary, secondary, safe, watch, risky, accent, neutral };
struct SummaryRow {
  std::string label;
  std::string value;
  Tone tone = Tone::primary;
  bool isStatus = false;  // the value is a pill + confidence text
};
// The summary block of the forecast card; `pace` only for a long window's card.
[[nodiscard]] std::vector<SummaryRow> summaryRows(const ForecastResult& f, const std::optional<PaceResult>& pace,
                                                  bool isLongWindow, bool showRemaining, ForecastBasis basis,
                                                  Timestamp now);
[[nodiscard]] std::string confidenceText(SourceConfidence c);  // "high confidence"
[[nodiscard]] std::string confidenceHelp(SourceConfidence c);

// "this week", "5h", "Window".
[[nodiscard]] std::string scenarioScope(WindowKind w);
[[nodiscard]] std::optional<std::string> scenarioDetail(const ScenarioResult& s);

[[nodiscard]] std::string recommendationSymbol(ForecastStatus s);
// The worst status among the first three; nothing for noData / unknown or no lines.
[[nodiscard]] std::optional<ColorRole> bannerTint(const std::vector<Recommendation>& shown);

struct ExtraUsageLines {
  std::string usedText;                // "£12.34 used"
  std::optional<double> barPercent;    // with a budget
  ColorRole barColour = ColorRole::safe;
  std::string detail;                  // budget line or the note
};
// Nothing when the card is hidden.
[[nodiscard]] std::optional<ExtraUsageLines> extraUsage(bool enabled, double usedGBP, std::optional<double> limitGBP,
                                                        double budgetSetting);

struct TrendDelta {
  std::string symbol;  // "arrow.up.right" / "arrow.down.right"
  std::string text;    // "+12%", "-8%"
  Tone tone;
};
[[nodiscard]] TrendDelta trendDelta(double deltaPct);

}  // namespace qd::CardLogic
