#include "app/live_sources.h"

#include "app/app_state.h"
#include "app/history_stages.h"
#include "providers/claude/claude_oauth_usage.h"
#include "providers/claude/claude_provider.h"
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

void attachLiveStages(AppStateOptions& options) {
  // Each subsystem's owner adds its part here: options.history, options.stages.*.
  (void)attachHistoryStages(options, nullptr);
}

}  // namespace qd
