#include "models/app_settings.h"

namespace qd {

std::string_view rawValue(MenuBarDisplayMode m) {
  switch (m) {
    case MenuBarDisplayMode::iconOnly: return "iconOnly";
    case MenuBarDisplayMode::auto_: return "auto";
    case MenuBarDisplayMode::compact: return "compact";
    case MenuBarDisplayMode::forecast: return "forecast";
    case MenuBarDisplayMode::providerFocus: return "providerFocus";
    case MenuBarDisplayMode::minimal: return "minimal";
  }
  return "iconOnly";
}

std::string_view label(MenuBarDisplayMode m) {
  switch (m) {
    case MenuBarDisplayMode::iconOnly: return "Icon only";
    case MenuBarDisplayMode::auto_: return "Auto";
    case MenuBarDisplayMode::compact: return "Both providers";
    case MenuBarDisplayMode::forecast: return "Status word";
    case MenuBarDisplayMode::providerFocus: return "Focused provider";
    case MenuBarDisplayMode::minimal: return "Minimal numbers";
  }
  return "Icon only";
}

std::string_view helpText(MenuBarDisplayMode m) {
  switch (m) {
    case MenuBarDisplayMode::iconOnly: return "Just the gauge icon, no text. Narrowest.";
    case MenuBarDisplayMode::auto_: return "Percentages when healthy, switches to a status word when at risk.";
    case MenuBarDisplayMode::compact:
      return "Each provider's 5h figure, labelled \u2014 e.g. C 28% \u00b7 Cl 42% (C = Codex, Cl = Claude).";
    case MenuBarDisplayMode::forecast:
      return "A status word for the worst provider: Safe / Watch / Risky, or \u201c1h left\u201d.";
    case MenuBarDisplayMode::providerFocus:
      return "One provider's 5h then weekly \u2014 e.g. Codex 28% \u00b7 7d 61%.";
    case MenuBarDisplayMode::minimal:
      return "Narrowest with numbers: each provider's 5h figure, slash-separated and unlabelled \u2014 e.g. "
             "28/42 = Codex 28%, Claude 42%. (Left or used follows \u201cShow remaining\u201d.)";
  }
  return "";
}

}  // namespace qd
