#include "providers/codex/codex_provider.h"

#include <string>

#include "providers/codex/codex_config_reader.h"
#include "providers/codex/codex_parsing.h"
#include "storage/snapshot_store.h"
#include "utilities/app_logger.h"

namespace qd {

CodexProvider::CodexProvider(SnapshotStore& store, MainLoop& mainLoop, const Clock& clock,
                             CodexProcessManager::Locator locate)
    : store_(store),
      mainLoop_(mainLoop),
      clock_(clock),
      manager_(std::make_shared<CodexProcessManager>(std::move(locate))) {}

CodexProvider::~CodexProvider() { stop(); }

ProviderHealth CodexProvider::health() const {
  std::lock_guard lock(mutex_);
  return health_;
}

void CodexProvider::setHealth(ProviderHealth health) {
  std::lock_guard lock(mutex_);
  health_ = std::move(health);
}

CodexAppServerClient& CodexProvider::client() {
  if (!client_) client_ = CodexAppServerClient::create(manager_);
  return *client_;
}

void CodexProvider::start(UpdateCallback onUpdate) {
  {
    std::lock_guard lock(mutex_);
    onUpdate_ = std::move(onUpdate);
  }
  if (!manager_->locateExecutable()) {
    setHealth({ProviderHealth::State::unavailable, "codex not found in PATH", std::nullopt, std::nullopt});
    return;
  }
  std::weak_ptr<int> alive = lifetime_;
  client().setOnRateLimits([this, alive](const CodexRateLimitsPayload& payload) {
    if (auto token = alive.lock()) ingest(payload);
  });
  client().setOnLoginCompleted([this, alive] {
    if (auto token = alive.lock()) client_->requestRateLimits();
  });
  if (!client().start()) {
    setHealth({ProviderHealth::State::error, "failed to start app-server", std::nullopt,
               AppLogger::shared().lastError()});
    return;
  }
  setHealth({ProviderHealth::State::connected, "app-server running", std::nullopt, std::nullopt});
  if (client().isInitialized()) client().sendRequest("account/read", nlohmann::json::object());
  client().requestRateLimits();
  // A second start without stop would otherwise leave the first timer running.
  if (timer_) mainLoop_.cancelTimer(*timer_);
  timer_ = mainLoop_.addRepeatingTimer(kPollIntervalSeconds, [this, alive] {
    if (auto token = alive.lock()) client_->requestRateLimits();
  });
}

void CodexProvider::stop() {
  if (timer_) {
    mainLoop_.cancelTimer(*timer_);
    timer_.reset();
  }
  manager_->stop();
}

void CodexProvider::ingest(const CodexRateLimitsPayload& payload) {
  // Read for every payload, so a changed setting shows on the next reading.
  const CodexConfig config = CodexConfigReader::read();
  const Timestamp now = clock_.now();
  std::vector<UsageSnapshot> collected;
  for (const auto& bucket : payload.allBuckets()) {
    for (auto snapshot : CodexParsing::snapshots(bucket, now)) {
      snapshot.modelId = config.model;
      snapshot.modelDisplayName = config.model;
      snapshot.effortLevel = config.modelReasoningEffort;
      snapshot.speedMode = config.fastMode;
      store_.append(snapshot);
      collected.push_back(std::move(snapshot));
    }
  }
  if (collected.empty()) return;
  UpdateCallback onUpdate;
  {
    std::lock_guard lock(mutex_);
    health_ = {ProviderHealth::State::connected, std::to_string(collected.size()) + " windows", now, std::nullopt};
    onUpdate = onUpdate_;
  }
  if (onUpdate) onUpdate(collected);
}

}  // namespace qd
