#pragma once
// The one place where live providers are made. Each provider's owner fills in
// its case in live_sources.cpp; the application state asks here for every
// enabled provider when it (re)starts its sources.
#include <filesystem>
#include <functional>
#include <memory>

#include "models/provider.h"
#include "providers/usage_provider.h"
#include "utilities/ports/clock.h"
#include "utilities/ports/main_loop.h"

namespace qd {

class SnapshotStore;
struct AppSettings;
struct AppStateOptions;

// What a live provider may hold on to. Every reference outlives the providers
// (the application state owns both and stops providers before discarding them).
struct LiveSourceContext {
  SnapshotStore& store;
  MainLoop& mainLoop;
  const Clock& clock;
  // A copy of the live settings; call on the main thread only.
  std::function<AppSettings()> settings;
  // The application-support directory (claude-meta.json, anchors, rates, ...).
  std::filesystem::path supportDirectory;
};

// The live source of `provider`, not yet started, or nullptr when there is none.
[[nodiscard]] std::unique_ptr<UsageProvider> makeLiveProvider(Provider provider, LiveSourceContext& context);

// Adds what the live sources and the usage history bring to a real run (the
// usage history, the Claude stages of the computation, the bridge installer)
// to `options` before the state is created. Every real run (desktop, headless)
// calls it; tests and the one-shot report need not.
void attachLiveStages(AppStateOptions& options);

}  // namespace qd
