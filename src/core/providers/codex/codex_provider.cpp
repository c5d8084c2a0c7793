#include "providers/codex/codex_provider.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
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
  MainLoop* loop = &mainLoop_;
  manager_->setOnTerminate([this, alive, loop](const std::string& how) {
    // `alive` is only checked on the main thread, where the provider is destroyed.
    loop->post([this, alive, how] {
      if (auto token = alive.lock()) serverExited(how);
    });
  });
  running_ = true;
  ++launchGeneration_;
  relaunchDelay_ = kFirstRelaunchDelaySeconds;
  if (!launch()) return;
  // A second start without stop would otherwise leave the first timer running.
  if (timer_) mainLoop_.cancelTimer(*timer_);
  timer_ = mainLoop_.addRepeatingTimer(kPollIntervalSeconds, [this, alive] {
    if (auto token = alive.lock()) client_->requestRateLimits();
  });
}

bool CodexProvider::launch() {
  // Decided once, before the launch: a fresh client's first requests go out when
  // the answer to "initialize" arrives; a relaunched one sends them right behind it.
  const bool initializedBefore = client().isInitialized();
  if (!client().start(/*resume=*/initializedBefore)) {
    setHealth({ProviderHealth::State::error, "failed to start app-server", std::nullopt,
               AppLogger::shared().lastError()});
    return false;
  }
  launchedAt_ = clock_.now();
  setHealth({ProviderHealth::State::connected, "app-server running", std::nullopt, std::nullopt});
  return true;
}

void CodexProvider::serverExited(const std::string& how) {
  if (!running_ || manager_->isRunning()) return;
  // A launch that ran for a healthy hour starts the delays over.
  if (launchedAt_ && secondsBetween(*launchedAt_, clock_.now()) >= kHealthyRunSeconds)
    relaunchDelay_ = kFirstRelaunchDelaySeconds;
  scheduleRelaunch("codex app-server exited (" + how + ")");
}

void CodexProvider::scheduleRelaunch(const std::string& reason) {
  const double delay = relaunchDelay_;
  relaunchDelay_ = std::min(relaunchDelay_ * 2, kMaxRelaunchDelaySeconds);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.0f s", delay);
  AppLogger::shared().warn(reason + "; restarting in " + seconds);
  std::optional<Timestamp> lastUpdate;
  {
    std::lock_guard lock(mutex_);
    lastUpdate = health_.lastUpdate;
    health_ = {ProviderHealth::State::error, "app-server not running; restarting in " + std::string(seconds),
               lastUpdate, reason};
  }
  signalHealthChange();
  const std::uint64_t generation = launchGeneration_;
  std::weak_ptr<int> alive = lifetime_;
  mainLoop_.postAfter(delay, [this, alive, generation] {
    auto token = alive.lock();
    if (!token || !running_ || generation != launchGeneration_) return;
    if (launch()) {
      AppLogger::shared().info("codex app-server relaunched");
    } else {
      scheduleRelaunch("codex app-server could not be relaunched");
      return;
    }
    signalHealthChange();
  });
}

void CodexProvider::signalHealthChange() {
  UpdateCallback onUpdate;
  {
    std::lock_guard lock(mutex_);
    onUpdate = onUpdate_;
  }
  if (onUpdate) onUpdate({});
}

void CodexProvider::stop() {
  running_ = false;
  ++launchGeneration_;
  if (timer_) {
    mainLoop_.cancelTimer(*timer_);
    timer_.reset();
  }
  manager_->stop();
}

void CodexProvider::ingest(const CodexRateLimitsPayload& payload) {
  const Timestamp now = clock_.now();
  const auto second = static_cast<std::int64_t>(std::floor(toUnixSeconds(now)));
  std::vector<UsageSnapshot> collected;
  bool repeated = false;
  size_t windows = 0;
  for (const auto& bucket : payload.allBuckets()) {
    for (auto snapshot : CodexParsing::snapshots(bucket, now)) {
      ++windows;
      // A server pushing thousands of updates a second must not write thousands of lines.
      std::lock_guard lock(mutex_);
      auto [slot, fresh] = storedSecond_.try_emplace({snapshot.limitId.value_or(""), snapshot.windowKind}, second);
      if (!fresh && slot->second == second) {
        repeated = true;
        continue;
      }
      slot->second = second;
      collected.push_back(std::move(snapshot));
    }
  }
  if (!collected.empty()) {
    // Read for every stored payload, so a changed setting shows on the next reading.
    const CodexConfig config = CodexConfigReader::read();
    for (auto& snapshot : collected) {
      snapshot.modelId = config.model;
      snapshot.modelDisplayName = config.model;
      snapshot.effortLevel = config.modelReasoningEffort;
      snapshot.speedMode = config.fastMode;
      store_.append(snapshot);
    }
  }
  // The burst's last value is read again once its second is over.
  if (repeated && !catchUpScheduled_.exchange(true)) {
    std::weak_ptr<int> alive = lifetime_;
    mainLoop_.postAfter(kCatchUpDelaySeconds, [this, alive] {
      if (!alive.lock()) return;
      catchUpScheduled_ = false;
      if (running_) client_->requestRateLimits();
    });
  }
  if (collected.empty()) return;
  UpdateCallback onUpdate;
  {
    std::lock_guard lock(mutex_);
    health_ = {ProviderHealth::State::connected, std::to_string(windows) + " windows", now, std::nullopt};
    onUpdate = onUpdate_;
  }
  if (onUpdate) onUpdate(collected);
}

}  // namespace qd
