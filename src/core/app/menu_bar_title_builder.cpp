#include "app/menu_bar_title_builder.h"

#include <cmath>
#include <optional>

#include "app/app_state.h"
#include "utilities/number_formatting.h"
#include "utilities/time_formatting.h"

namespace qd::MenuBarTitleBuilder {

namespace {

const std::string kDash = "\u2014";
const std::string kDot = " \u00b7 ";

std::string longLabel(Provider p) { return std::string(displayName(p)); }

std::string windowLabel(WindowKind w) { return std::string(shortLabel(w)); }

std::string statusWord(ForecastStatus s) { return std::string(label(s)); }

// Used or left, floored at 0 (NaN counts as 0); an infinite value shows "—".
std::string shownValue(const ForecastResult& f, bool showRemaining) {
  double v = showRemaining ? 100.0 - f.currentUsedPercent : f.currentUsedPercent;
  if (std::isnan(v) || v < 0) v = 0;
  return NumberFormatting::percent(v);
}

const ForecastResult* find(const Inputs& in, Provider p, WindowKind w) {
  auto it = in.forecasts.find(std::string(rawValue(p)) + "-" + std::string(rawValue(w)));
  return it == in.forecasts.end() ? nullptr : &it->second;
}

std::string compact(const Inputs& in, const std::vector<Provider>& candidates) {
  std::string parts;
  for (Provider p : candidates) {
    if (!parts.empty()) parts += kDot;
    parts += std::string(shortLabel(p)) + " " + shownValue(*find(in, p, WindowKind::fiveHour), in.showRemaining);
  }
  return "AI  " + parts;
}

std::string minimal(const Inputs& in, const std::vector<Provider>& candidates) {
  std::string parts;
  for (Provider p : candidates) {
    if (!parts.empty()) parts += "/";
    std::string v = shownValue(*find(in, p, WindowKind::fiveHour), in.showRemaining);
    std::erase(v, '%');
    parts += v;
  }
  return "AI " + parts;
}

std::string forecastMode(const Inputs& in, const std::vector<Provider>& candidates) {
  const ForecastResult* pick = nullptr;
  for (Provider p : candidates) {
    const ForecastResult* f = find(in, p, WindowKind::fiveHour);
    if (!pick || severity(f->status) > severity(pick->status)) pick = f;
  }
  if (pick->status == ForecastStatus::limitLikely) {
    if (pick->estimatedTimeToLimit) return "AI  " + TimeFormatting::countdown(pick->estimatedTimeToLimit) + " left";
    return "AI  Limit likely";
  }
  return "AI  " + statusWord(pick->status);
}

std::string providerFocus(const Inputs& in, const std::vector<Provider>& candidates) {
  Provider focused = candidates.front();
  for (Provider p : candidates)
    if (p == in.focusedProvider) {
      focused = p;
      break;
    }
  const ForecastResult* five = find(in, focused, WindowKind::fiveHour);
  if (!five) return "AI " + kDash;
  std::string text = longLabel(focused) + " " + shownValue(*five, in.showRemaining);
  const ForecastResult* longWindow = find(in, focused, WindowKind::sevenDay);
  if (!longWindow) longWindow = find(in, focused, WindowKind::weekly);
  if (longWindow)
    text += kDot + windowLabel(longWindow->windowKind) + " " + shownValue(*longWindow, in.showRemaining);
  return text;
}

bool strained(ForecastStatus s) {
  return s == ForecastStatus::risky || s == ForecastStatus::limitLikely || s == ForecastStatus::limited;
}

}  // namespace

std::string title(const Inputs& in) {
  if (in.mode == MenuBarDisplayMode::iconOnly) return "";
  std::vector<Provider> candidates;
  for (Provider p : in.sortedEnabledProviders)
    if (find(in, p, WindowKind::fiveHour)) candidates.push_back(p);
  if (candidates.empty()) return "AI " + kDash;

  switch (in.mode) {
    case MenuBarDisplayMode::compact:
      return compact(in, candidates);
    case MenuBarDisplayMode::minimal:
      return minimal(in, candidates);
    case MenuBarDisplayMode::forecast:
      return forecastMode(in, candidates);
    case MenuBarDisplayMode::providerFocus:
      return providerFocus(in, candidates);
    case MenuBarDisplayMode::auto_: {
      bool anyStrained = false;
      for (Provider p : candidates) anyStrained = anyStrained || strained(find(in, p, WindowKind::fiveHour)->status);
      if (candidates.size() == 1) return providerFocus(in, candidates);
      return anyStrained ? forecastMode(in, candidates) : compact(in, candidates);
    }
    case MenuBarDisplayMode::iconOnly:
      break;
  }
  return "";
}

std::string title(const AppState& state) { return title(state, state.settings().menuBarDisplayMode); }

std::string title(const AppState& state, MenuBarDisplayMode mode) {
  Inputs in;
  in.mode = mode;
  in.showRemaining = state.settings().showRemaining;
  in.focusedProvider = state.settings().focusedProvider;
  in.sortedEnabledProviders = state.sortedEnabledProviders();
  in.forecasts = state.forecasts();
  return title(in);
}

}  // namespace qd::MenuBarTitleBuilder
