#include "app/status_report.h"

#include <cmath>

#include "app/app_state.h"
#include "app/menu_bar_title_builder.h"
#include "utilities/number_formatting.h"
#include "utilities/shell.h"
#include "utilities/time_formatting.h"

namespace qd::StatusReport {

namespace {

struct Style {
  bool on = false;
  [[nodiscard]] std::string wrap(const char* code, const std::string& s) const {
    return on ? std::string("\x1b[") + code + "m" + s + "\x1b[0m" : s;
  }
  [[nodiscard]] std::string bold(const std::string& s) const { return wrap("1", s); }
  [[nodiscard]] std::string dim(const std::string& s) const { return wrap("2", s); }
  [[nodiscard]] std::string status(ForecastStatus st, const std::string& s) const {
    switch (colorRole(st)) {
      case ColorRole::safe: return wrap("32", s);
      case ColorRole::watch: return wrap("33", s);
      case ColorRole::risky: return wrap("31", s);
      case ColorRole::limited: return wrap("1;31", s);
      case ColorRole::neutral: return dim(s);
    }
    return s;
  }
};

// Used, or left when the user shows what remains; floored at 0.
double shownPercent(double used, bool showRemaining) {
  double v = showRemaining ? 100.0 - used : used;
  if (std::isnan(v) || v < 0) v = 0;
  return v;
}

std::optional<std::string> resetText(const ForecastResult& f, Timestamp now) {
  auto phrase = TimeFormatting::resetPhrase(f.resetAt, now);
  if (!phrase) return std::nullopt;
  std::string s = *phrase;
  if (f.timeUntilReset) s += " (" + TimeFormatting::countdown(f.timeUntilReset) + ")";
  return s;
}

std::vector<ForecastResult> providerForecasts(const AppState& state, Provider p) {
  std::vector<ForecastResult> out;
  for (const auto& [sp, w] : state.availableSeries())
    if (sp == p)
      if (auto f = state.forecast(p, w)) out.push_back(*f);
  return out;
}

size_t displayWidth(std::string_view s) {
  // Characters, counting each UTF-8 lead byte once.
  size_t chars = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++chars;
  return chars;
}

// `text` broken at spaces into lines of at most `width` characters, every line
// after `indent`; a word longer than the line stays whole. Width 0: one line.
std::string wrapped(const std::string& text, size_t indent, size_t width) {
  const std::string pad(indent, ' ');
  if (width == 0 || width <= indent + 8 || indent + displayWidth(text) <= width) return pad + text + "\n";
  std::string out, line;
  size_t lineWidth = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(start, end - start);
    const size_t w = displayWidth(word);
    if (!line.empty() && indent + lineWidth + 1 + w > width) {
      out += pad + line + "\n";
      line.clear();
      lineWidth = 0;
    }
    if (!word.empty()) {
      if (!line.empty()) {
        line += ' ';
        ++lineWidth;
      }
      line += word;
      lineWidth += w;
    }
    start = end + 1;
  }
  if (!line.empty()) out += pad + line + "\n";
  return out;
}

std::string padRight(std::string s, size_t width) {
  // Width in characters, counting each UTF-8 lead byte once.
  size_t chars = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++chars;
  if (chars < width) s.append(width - chars, ' ');
  return s;
}

const char* recommendationMark(ForecastStatus s) {
  switch (s) {
    case ForecastStatus::safe: return "\u2713";
    case ForecastStatus::watch: return "!";
    case ForecastStatus::risky:
    case ForecastStatus::limitLikely: return "\u26a0";
    case ForecastStatus::limited: return "\u2717";
    default: return "i";
  }
}

nlohmann::ordered_json optionalTime(const std::optional<Timestamp>& t) {
  return t ? nlohmann::ordered_json(formatISO8601(*t)) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json optionalNumber(const std::optional<double>& v) {
  return v && std::isfinite(*v) ? nlohmann::ordered_json(*v) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json number(double v) { return std::isfinite(v) ? nlohmann::ordered_json(v) : nlohmann::ordered_json(nullptr); }

// An API-key login of Claude Code has no quota: say so, and show the spend instead.
std::string apiKeyLines(const AppState& state, const std::string& indent) {
  return indent + "Signed in with an API key: API usage has no plan limits.\n" + std::string(indent.size(), ' ') +
         "Spend in the last 7 days (from transcripts): " + state.spendThisWeek(Provider::claude) + "\n";
}

}  // namespace

EmptyState emptyState(bool codexInstalled) {
  if (codexInstalled)
    return {"Connecting to Codex\u2026",
            "Codex usage should appear in a few seconds. Connect Claude to add its quota too."};
  return {"Nothing connected yet", "Install the Codex CLI for live usage, or connect Claude below."};
}

std::string text(const AppState& state, bool colour, size_t width) {
  // Below this the reset moves under the figures instead of beside them.
  constexpr size_t kOneRowWidth = 64;
  const bool narrow = width != 0 && width < kOneRowWidth;
  const Style st{colour};
  const AppSettings& s = state.settings();
  const Timestamp now = state.clock().now();
  const char* side = s.showRemaining ? "left" : "used";
  std::string out;

  const ForecastStatus global = state.globalStatus();
  out += st.bold("Quotadial") + " \u00b7 " + st.status(global, std::string(label(global)));
  if (s.demoMode) out += "  " + st.dim("(demo data)");
  out += "\n";

  if (state.workingSnapshots().empty()) {
    const EmptyState empty = emptyState(Shell::which("codex").has_value());
    out += "\n" + st.bold(empty.title) + "\n" + empty.text + "\n\n";
    if (state.claudeUsesApiKey())
      out += apiKeyLines(state, "  Claude Code:            ");
    else
      out += "  Connect Claude Code:    quotadial --install-claude-bridge\n";
    out += "  Try it with demo data:  quotadial --status --demo\n";
    return out;
  }

  for (Provider p : state.sortedEnabledProviders()) {
    out += "\n" + st.bold(std::string(displayName(p)));
    if (auto fresh = state.freshnessLabel(p)) out += " \u00b7 " + st.dim(*fresh);
    out += "\n";
    if (auto it = state.providerHealth().find(p);
        it != state.providerHealth().end() && it->second.state == ProviderHealth::State::error)
      out += "  " + st.status(ForecastStatus::risky, it->second.detail) + "\n";
    const auto forecasts = providerForecasts(state, p);
    if (forecasts.empty()) {
      out += p == Provider::claude && state.claudeUsesApiKey() ? apiKeyLines(state, "  ")
                                                              : "  No data for this provider yet.\n";
      continue;
    }
    for (const ForecastResult& f : forecasts) {
      std::string row = "  " + padRight(std::string(shortLabel(f.windowKind)), 8) +
                        padRight(NumberFormatting::percent(shownPercent(f.currentUsedPercent, s.showRemaining)) + " " +
                                     side,
                                 11);
      const auto reset = resetText(f, now);
      if (reset && !narrow) row += padRight(*reset, 30);
      row += st.status(f.status, std::string(label(f.status)));
      std::string pace;
      if (isLongWindow(f.windowKind))
        if (auto it = state.paces().find(p); it != state.paces().end()) pace = std::string(label(it->second.verdict));
      if (!narrow) {
        out += row + (pace.empty() ? "" : " \u00b7 " + pace) + "\n";
      } else {
        // Figures and status first; the reset and pace under them.
        out += row + "\n";
        std::string under = reset ? *reset : "";
        if (!pace.empty()) under += (under.empty() ? "" : " \u00b7 ") + pace;
        if (!under.empty()) out += wrapped(under, 10, width);
      }
      out += st.dim(wrapped(f.humanSummary, 10, width));
    }
    if (auto headroom = state.headroomLabel(p)) out += wrapped(*headroom, 10, width);
  }

  if (!state.recommendations().empty()) {
    out += "\n" + st.bold("Advice") + "\n";
    for (const Recommendation& r : state.recommendations())
      out += "  " + st.status(r.status, recommendationMark(r.status)) + wrapped(r.message, 4, width).substr(3);
  }
  if (state.lastRefresh()) out += "\n" + st.dim("Updated " + TimeFormatting::clock(state.lastRefresh())) + "\n";
  return out;
}

nlohmann::ordered_json json(const AppState& state) {
  using J = nlohmann::ordered_json;
  const AppSettings& s = state.settings();
  const Timestamp now = state.clock().now();
  J root = J::object();
  root["version"] = QUOTADIAL_VERSION;
  root["mode"] = s.demoMode ? "demo" : "live";
  root["generatedAt"] = formatISO8601(now);
  root["lastRefresh"] = optionalTime(state.lastRefresh());
  root["globalStatus"] = std::string(rawValue(state.globalStatus()));
  root["showRemaining"] = s.showRemaining;

  J providers = J::array();
  for (Provider p : state.sortedEnabledProviders()) {
    J entry = J::object();
    entry["provider"] = std::string(rawValue(p));
    entry["name"] = std::string(displayName(p));
    auto fresh = state.freshnessLabel(p);
    entry["freshness"] = fresh ? J(*fresh) : J(nullptr);
    if (auto health = state.reportedHealth(p))
      entry["health"] = J{{"state", std::string(rawValue(health->state))}, {"detail", health->detail}};
    else
      entry["health"] = nullptr;
    J windows = J::array();
    for (const ForecastResult& f : providerForecasts(state, p)) {
      J w = J::object();
      w["window"] = std::string(rawValue(f.windowKind));
      w["label"] = std::string(shortLabel(f.windowKind));
      w["usedPercent"] = number(f.currentUsedPercent);
      w["remainingPercent"] = number(f.currentRemainingPercent);
      w["shown"] = NumberFormatting::percent(shownPercent(f.currentUsedPercent, s.showRemaining));
      w["shownKind"] = s.showRemaining ? "left" : "used";
      w["resetAt"] = optionalTime(f.resetAt);
      w["secondsUntilReset"] = optionalNumber(f.timeUntilReset);
      auto phrase = TimeFormatting::resetPhrase(f.resetAt, now);
      w["resetPhrase"] = phrase ? J(*phrase) : J(nullptr);
      w["status"] = std::string(rawValue(f.status));
      w["statusLabel"] = std::string(label(f.status));
      w["confidence"] = std::string(rawValue(f.confidence));
      w["burnRatePercentPerHour"] = optionalNumber(f.burnRatePercentPerHour);
      w["projectedUsedAtReset"] = optionalNumber(f.projectedUsedAtReset);
      w["runOutAt"] = optionalTime(f.runOutAt);
      w["summary"] = f.humanSummary;
      windows.push_back(std::move(w));
    }
    entry["windows"] = std::move(windows);
    if (auto it = state.paces().find(p); it != state.paces().end()) {
      entry["pace"] = J{{"verdict", std::string(label(it->second.verdict))},
                        {"idealUsageNow", number(it->second.idealUsageNow)},
                        {"paceDelta", number(it->second.paceDelta)},
                        {"projectedEnd", optionalNumber(it->second.projectedEnd)},
                        {"summary", it->second.summary}};
    } else {
      entry["pace"] = nullptr;
    }
    providers.push_back(std::move(entry));
  }
  root["providers"] = std::move(providers);

  J recs = J::array();
  for (const Recommendation& r : state.recommendations())
    recs.push_back(J{{"provider", r.provider ? J(std::string(rawValue(*r.provider))) : J(nullptr)},
                     {"status", std::string(rawValue(r.status))},
                     {"message", r.message}});
  root["recommendations"] = std::move(recs);
  if (const auto& other = state.viewerOf())
    root["collector"] = J{{"pid", other->pid}, {"mode", other->mode.empty() ? J(nullptr) : J(other->mode)}};
  else
    root["collector"] = nullptr;

  if (state.workingSnapshots().empty()) {
    const EmptyState empty = emptyState(Shell::which("codex").has_value());
    root["emptyState"] = J{{"title", empty.title}, {"text", empty.text}};
  } else {
    root["emptyState"] = nullptr;
  }

  // For status bars: the tray title and the window the forecast card focuses on.
  root["title"] = MenuBarTitleBuilder::title(state);
  std::optional<std::pair<Provider, WindowKind>> focus;
  if (state.forecast(s.focusedProvider, s.focusedWindow) &&
      s.enabledProviders.contains(s.focusedProvider))
    focus = std::pair{s.focusedProvider, s.focusedWindow};
  if (!focus) focus = state.mostUrgentSeries();
  if (!focus && !state.availableSeries().empty()) focus = state.availableSeries().front();
  root["focus"] = focus ? J{{"provider", std::string(rawValue(focus->first))},
                            {"window", std::string(rawValue(focus->second))}}
                        : J(nullptr);
  return root;
}

}  // namespace qd::StatusReport
