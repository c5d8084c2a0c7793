#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/app_state.h"

namespace qd {

// What the screens reach besides the application state: the live-source hooks
// of the Claude connection, the desktop services and the run's flags.
//
// Thread-safety: main thread only.
struct UiContext {
  std::shared_ptr<AppState> state;
  // Claude's quota is a shared team pool (the "Team" tag and notes).
  std::function<bool()> isPooledAccount;
  // Claude's paid overage; the server's limit when it reports one.
  struct Overage {
    bool enabled = false;
    double usedGBP = 0;
    std::optional<double> limitGBP;
  };
  std::function<std::optional<Overage>()> lastExtraUsage;
  // The bridge installer itself, without recording anything in the settings ("Repair").
  std::function<std::string()> repairBridge;
  // "installed", "notInstalled", "wrapping", "foreign" or an error text.
  std::function<std::string()> bridgeStateText;
  // Whether `codex` is on the search path.
  std::function<bool()> codexOnPath;
  DesktopServices* desktop = nullptr;
  std::function<void()> quit;
  bool capture = false;
  bool startSettings = false;

  [[nodiscard]] Timestamp now() const { return state->clock().now(); }
  [[nodiscard]] bool pooled() const { return isPooledAccount && isPooledAccount(); }
};

}  // namespace qd
