#include "app/live_sources.h"

#include "app/app_state.h"
#include "app/history_stages.h"
#include "app/provider_probe.h"
#include "providers/claude/claude_bridge_files.h"
#include "providers/claude/claude_login.h"
#include "providers/claude/claude_oauth_usage.h"
#include "providers/claude/claude_provider.h"
#include "providers/claude/claude_status_line_bridge_installer.h"
#include "providers/codex/codex_provider.h"

namespace qd {

namespace {

std::unique_ptr<UsageProvider> makeProvider(Provider provider, LiveSourceContext& context,
                                            std::shared_ptr<ClaudeOAuthUsage> oauth) {
  switch (provider) {
    case Provider::codex:
      return std::make_unique<CodexProvider>(context.store, context.mainLoop, context.clock);
    case Provider::claude:
      if (!oauth) oauth = ClaudeOAuthUsage::standard(context.mainLoop);
      return std::make_unique<ClaudeProvider>(context.store, std::move(oauth), context.mainLoop, context.clock);
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<UsageProvider> makeLiveProvider(Provider provider, LiveSourceContext& context) {
  return makeProvider(provider, context, nullptr);
}

namespace {

// Claude's OAuth client and bridge installer as the application state reads them.
// `oauth` is null in a run without live providers.
void attachClaudeStages(LiveStages& stages, std::shared_ptr<ClaudeOAuthUsage> oauth) {
  stages.isPooledAccount = [oauth] { return oauth && oauth->isPooledAccount(); };
  stages.lastExtraUsage = [oauth]() -> std::optional<NotificationManager::Overage> {
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
  stages.probeHealth = [](Provider p, std::optional<Timestamp> newestReading, Timestamp now) {
    return ProviderProbe::health(p, ProviderProbe::facts(p, newestReading, now), now);
  };
  stages.claudeApiKeyLogin = [](std::optional<Timestamp> newestReading, Timestamp now) {
    return ClaudeLogin::decide(ClaudeLogin::gather(newestReading), now) == ClaudeLogin::Kind::apiKey;
  };
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
  // One OAuth client for every Claude provider the state makes, so its status and
  // back-off survive a restart of the providers. The state owns it through these
  // closures and destroys it, joining a fetch in flight, before the main loop goes.
  std::shared_ptr<ClaudeOAuthUsage> oauth;
  if (!options.makeProvider && options.mainLoop) {
    oauth = ClaudeOAuthUsage::standard(*options.mainLoop);
    options.makeProvider = [oauth](Provider p, LiveSourceContext& c) { return makeProvider(p, c, oauth); };
  }
  attachClaudeStages(options.stages, std::move(oauth));
}

}  // namespace qd
