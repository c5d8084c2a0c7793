// Raw values and labels of the domain enums.
#include "models/forecast_basis.h"
#include "models/forecast_status.h"
#include "models/provider.h"
#include "models/provider_health.h"
#include "models/source_confidence.h"
#include "models/window_kind.h"

namespace qd {

std::string_view rawValue(Provider p) {
  switch (p) {
    case Provider::codex: return "codex";
    case Provider::claude: return "claude";
  }
  return "codex";
}

std::string_view displayName(Provider p) {
  return p == Provider::codex ? "Codex" : "Claude Code";
}

std::string_view shortLabel(Provider p) { return p == Provider::codex ? "C" : "Cl"; }

std::string_view rawValue(WindowKind w) {
  switch (w) {
    case WindowKind::fiveHour: return "fiveHour";
    case WindowKind::sevenDay: return "sevenDay";
    case WindowKind::weekly: return "weekly";
    case WindowKind::monthly: return "monthly";
    case WindowKind::unknown: return "unknown";
  }
  return "unknown";
}

std::string_view shortLabel(WindowKind w) {
  switch (w) {
    case WindowKind::fiveHour: return "5h";
    case WindowKind::sevenDay: return "7d";
    case WindowKind::weekly: return "Weekly";
    case WindowKind::monthly: return "Monthly";
    case WindowKind::unknown: return "Window";
  }
  return "Window";
}

int sortRank(WindowKind w) {
  switch (w) {
    case WindowKind::fiveHour: return 0;
    case WindowKind::sevenDay:
    case WindowKind::weekly: return 1;
    case WindowKind::monthly: return 2;
    case WindowKind::unknown: return 3;
  }
  return 3;
}

bool isLongWindow(WindowKind w) { return w == WindowKind::sevenDay || w == WindowKind::weekly; }

std::string_view rawValue(SourceConfidence c) {
  switch (c) {
    case SourceConfidence::low: return "low";
    case SourceConfidence::medium: return "medium";
    case SourceConfidence::high: return "high";
  }
  return "low";
}

std::string_view rawValue(ForecastStatus s) {
  switch (s) {
    case ForecastStatus::noData: return "noData";
    case ForecastStatus::safe: return "safe";
    case ForecastStatus::watch: return "watch";
    case ForecastStatus::risky: return "risky";
    case ForecastStatus::limitLikely: return "limitLikely";
    case ForecastStatus::limited: return "limited";
    case ForecastStatus::unknown: return "unknown";
  }
  return "unknown";
}

std::string_view label(ForecastStatus s) {
  switch (s) {
    case ForecastStatus::noData: return "No data";
    case ForecastStatus::safe: return "Safe";
    case ForecastStatus::watch: return "Watch";
    case ForecastStatus::risky: return "Risky";
    case ForecastStatus::limitLikely: return "Limit likely";
    case ForecastStatus::limited: return "Limited";
    case ForecastStatus::unknown: return "Unknown";
  }
  return "Unknown";
}

ColorRole colorRole(ForecastStatus s) {
  switch (s) {
    case ForecastStatus::safe: return ColorRole::safe;
    case ForecastStatus::watch: return ColorRole::watch;
    case ForecastStatus::risky:
    case ForecastStatus::limitLikely: return ColorRole::risky;
    case ForecastStatus::limited: return ColorRole::limited;
    case ForecastStatus::noData:
    case ForecastStatus::unknown: return ColorRole::neutral;
  }
  return ColorRole::neutral;
}

int severity(ForecastStatus s) {
  switch (s) {
    case ForecastStatus::noData: return 0;
    case ForecastStatus::safe: return 1;
    case ForecastStatus::watch: return 2;
    case ForecastStatus::risky: return 3;
    case ForecastStatus::limitLikely: return 4;
    case ForecastStatus::limited: return 5;
    case ForecastStatus::unknown: return 0;
  }
  return 0;
}

std::string_view rawValue(ColorRole r) {
  switch (r) {
    case ColorRole::neutral: return "neutral";
    case ColorRole::safe: return "safe";
    case ColorRole::watch: return "watch";
    case ColorRole::risky: return "risky";
    case ColorRole::limited: return "limited";
  }
  return "neutral";
}

ForecastStatus worstStatus(const std::vector<ForecastStatus>& statuses) {
  if (statuses.empty()) return ForecastStatus::noData;
  ForecastStatus worst = statuses.front();
  for (ForecastStatus s : statuses)
    if (severity(s) > severity(worst)) worst = s;
  return worst;
}

std::string_view rawValue(ForecastBasis b) {
  switch (b) {
    case ForecastBasis::last30m: return "last30m";
    case ForecastBasis::last1h: return "last1h";
    case ForecastBasis::last3h: return "last3h";
    case ForecastBasis::last6h: return "last6h";
    case ForecastBasis::last24h: return "last24h";
    case ForecastBasis::sinceWindowStart: return "sinceWindowStart";
    case ForecastBasis::smart: return "smart";
  }
  return "last1h";
}

std::string_view label(ForecastBasis b) {
  switch (b) {
    case ForecastBasis::last30m: return "30m";
    case ForecastBasis::last1h: return "1h";
    case ForecastBasis::last3h: return "3h";
    case ForecastBasis::last6h: return "6h";
    case ForecastBasis::last24h: return "24h";
    case ForecastBasis::sinceWindowStart: return "Start";
    case ForecastBasis::smart: return "Smart";
  }
  return "1h";
}

std::string_view helpText(ForecastBasis b) {
  switch (b) {
    case ForecastBasis::last30m:
      return "Projects from your burn over the last 30 minutes \u2014 reacts fast to a recent burst.";
    case ForecastBasis::last1h: return "Projects from your burn over the last hour.";
    case ForecastBasis::last3h: return "Projects from your burn over the last 3 hours.";
    case ForecastBasis::last6h:
      return "Projects from your burn over the last 6 hours \u2014 smooths out spikes.";
    case ForecastBasis::last24h:
      return "Projects from your burn over the last 24 hours \u2014 best for the weekly window; evens out a "
             "single heavy day.";
    case ForecastBasis::sinceWindowStart: return "Projects from your average burn since this window began.";
    case ForecastBasis::smart:
      return "Recommended: projects from your real usage history (typical daily volume and when you work), "
             "not just the recent rate.";
  }
  return "";
}

std::optional<double> trailingSpanSeconds(ForecastBasis b) {
  switch (b) {
    case ForecastBasis::last30m: return 30 * 60.0;
    case ForecastBasis::last1h: return 3600.0;
    case ForecastBasis::last3h: return 3 * 3600.0;
    case ForecastBasis::last6h: return 6 * 3600.0;
    case ForecastBasis::last24h: return 24 * 3600.0;
    case ForecastBasis::sinceWindowStart:
    case ForecastBasis::smart: return std::nullopt;
  }
  return std::nullopt;
}

std::string_view rawValue(ProviderHealth::State s) {
  switch (s) {
    case ProviderHealth::State::connected: return "connected";
    case ProviderHealth::State::idle: return "idle";
    case ProviderHealth::State::unavailable: return "unavailable";
    case ProviderHealth::State::error: return "error";
    case ProviderHealth::State::demo: return "demo";
  }
  return "idle";
}

}  // namespace qd
