#include "app/live_sources.h"

#include "app/app_state.h"
#include "app/history_stages.h"
#include "providers/claude/claude_bridge_files.h"
#include "providers/claude/claude_oauth_usage.h"
#include "providers/claude/claude_provider.h"
#include "providers/claude/claude_status_line_bridge_installer.h"
#include "providers/codex/codex_provider.h"

namespace qd {

std::unique_ptr<UsageProvider> makeLiveProvider(Provider provider, LiveSourceContext& context) {
  switch (provider) {
    case Provider::codex:
      return std::make_unique<CodexProvider>(context.store, context.mainLoop, context.clock);
    case Provider::claude:
      return std::make_unique<ClaudeProvider>(context.store, ClaudeOAuthUsage::shared(context.mainLoop),
                                              context.mainLoop, context.clock);
  }
  return nullptr;
}

namespace {

// Claude's OAuth client and bridge installer as the application state reads them.
void attachClaudeStages(LiveStages& stages) {
  stages.isPooledAccount = [] {
    auto oauth = ClaudeOAuthUsage::sharedIfMade();
    return oauth && oauth->isPooledAccount();
  };
  stages.lastExtraUsage = []() -> std::optional<NotificationManager::Overage> {
    auto oauth = ClaudeOAuthUsage::sharedIfMade();
    auto extra = oauth ? oauth->lastExtraUsage() : std::nullopt;
    if (!extra) return std::nullopt;
    return NotificationManager::Overage{extra->enabled, extra->usedGBP, extra->limitGBP};
  };
  auto toOutcome = [](const ClaudeStatusLineBridgeInstaller::Outcome& o) {
    return LiveStages::BridgeOutcome{o.message, o.status.previousCommand,
                                     o.status.state == ClaudeBridgeStatus::State::error};
  };
  stages.installBridge = [toOutcome] { return toOutcome(ClaudeStatusLineBridgeInstaller::install()); };
  stages.uninstallBridge = [toOutcome] { return toOutcome(ClaudeStatusLineBridgeInstaller::uninstall()); };
  stages.bridgeStateText = [] {
    const auto status = ClaudeStatusLineBridgeInstaller::currentStatus();
    if (status.state == ClaudeBridgeStatus::State::error) return "error(\"" + status.errorText + "\")";
    return std::string(rawValue(status.state));
  };
}

}  // namespace

void attachLiveStages(AppStateOptions& options) {
  // Each subsystem's owner adds its part here: options.history, options.stages.*.
  (void)attachHistoryStages(options, [](const std::filesystem::path& file) { return ClaudeBridgeFiles::readMeta(file); });
  attachClaudeStages(options.stages);
}

}  // namespace qd
