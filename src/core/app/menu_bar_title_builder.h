#pragma once
#include <map>
#include <string>
#include <vector>

#include "models/app_settings.h"
#include "models/forecast_result.h"
#include "models/provider.h"

namespace qd {

class AppState;

// The short text beside the tray icon. Pure: reads only what it is given.
namespace MenuBarTitleBuilder {

struct Inputs {
  MenuBarDisplayMode mode = MenuBarDisplayMode::iconOnly;
  bool showRemaining = true;
  Provider focusedProvider = Provider::claude;
  std::vector<Provider> sortedEnabledProviders;  // codex before claude
  std::map<std::string, ForecastResult> forecasts;  // keyed by ForecastResult::id()
};

[[nodiscard]] std::string title(const Inputs& inputs);
// The same from the application state's settings, enabled providers and forecasts.
[[nodiscard]] std::string title(const AppState& state);
// The same in another display mode than the user's.
[[nodiscard]] std::string title(const AppState& state, MenuBarDisplayMode mode);

}  // namespace MenuBarTitleBuilder
}  // namespace qd
