#include "providers/claude/claude_provider.h"

#include <algorithm>

#include "providers/claude/claude_oauth_usage.h"
#include "providers/claude/claude_status_line_bridge_installer.h"
#include "storage/snapshot_store.h"

namespace qd {

namespace {

constexpr double kRepeatReadingSeconds = 300;

// The newest reading not stamped in the future: one a day ahead would otherwise
// hide every correct reading until the clock passes it.
std::optional<UsageSnapshot> newest(SnapshotStore& store, WindowKind window, Timestamp now) {
  auto latest = store.newest(Provider::claude, window);
  if (!latest || !isFutureStamped(*latest, now)) return latest;
  // Rare: look behind the reading stamped ahead, among the recent readings the
  // store holds anyway (every tick does this while that reading is ahead).
  const auto recent = store.recent(addSeconds(now, -SnapshotStore::kDefaultSpanSeconds));
  const UsageSnapshot* best = nullptr;
  for (const UsageSnapshot& s : *recent)
    if (s.provider == Provider::claude && s.windowKind == window && !isFutureStamped(s, now) &&
        (!best || s.timestamp >= best->timestamp))
      best = &s;
  return best ? std::optional<UsageSnapshot>(*best) : std::nullopt;
}

// The store keeps whole seconds; the endpoint sends microseconds.
std::optional<Timestamp> asStored(const std::optional<Timestamp>& t) {
  return t ? std::optional<Timestamp>(floorToSecond(*t)) : std::nullopt;
}

}  // namespace

ClaudeProvider::ClaudeProvider(SnapshotStore& store, std::shared_ptr<ClaudeOAuthUsage> oauth, MainLoop& mainLoop,
                               const Clock& clock, BridgeStatusReader bridgeStatus)
    : store_(store),
      oauth_(std::move(oauth)),
      mainLoop_(mainLoop),
      clock_(clock),
      bridgeStatus_(bridgeStatus ? std::move(bridgeStatus)
                                 : BridgeStatusReader([] { return ClaudeStatusLineBridgeInstaller::currentStatus(); })) {}

ClaudeProvider::~ClaudeProvider() { stop(); }

void ClaudeProvider::start(UpdateCallback onUpdate) {
  onUpdate_ = std::move(onUpdate);
  if (timer_) mainLoop_.cancelTimer(*timer_);
  std::weak_ptr<int> alive = alive_;
  timer_ = mainLoop_.addRepeatingTimer(kTickSeconds, [this, alive] {
    if (alive.lock()) tick();
  });
  startOAuthFetch();
  checkForUpdates();
}

void ClaudeProvider::stop() {
  if (timer_) mainLoop_.cancelTimer(*timer_);
  timer_.reset();
}

void ClaudeProvider::tick() {
  ++ticks_;
  if (ticks_ - lastOAuthTick_ >= oauthIntervalTicks_) {
    lastOAuthTick_ = ticks_;
    startOAuthFetch();
  }
  checkForUpdates();
}

void ClaudeProvider::startOAuthFetch() {
  if (!oauth_) return;
  std::weak_ptr<int> alive = alive_;
  oauth_->fetch(clock_.now(), [this, alive](std::vector<UsageSnapshot> snapshots) {
    if (alive.lock()) ingest(std::move(snapshots));
  });
}

void ClaudeProvider::ingest(std::vector<UsageSnapshot> received) {
  const auto status = oauth_->lastStatus();
  oauthIntervalTicks_ = status && *status == ClaudeOAuthUsage::Status::httpError(429) ? kRateLimitedIntervalTicks
                                                                                     : kOAuthIntervalTicks;
  std::vector<UsageSnapshot> kept;
  for (auto& s : received) {
    auto previous = newest(store_, s.windowKind, clock_.now());
    // The store may not show this provider's own last append yet.
    if (auto own = lastStored_.find(s.windowKind);
        own != lastStored_.end() && (!previous || own->second.timestamp >= previous->timestamp))
      previous = own->second;
    const bool keep = !previous || s.usedPercent != previous->usedPercent ||
                      asStored(s.resetAt) != asStored(previous->resetAt) ||
                      previous->source != SnapshotSource::claudeOAuth ||
                      secondsBetween(previous->timestamp, s.timestamp) >= kRepeatReadingSeconds;
    if (keep) kept.push_back(std::move(s));
  }
  if (kept.empty()) return;
  for (const auto& s : kept) lastStored_[s.windowKind] = s;
  // The append may wait for the file lock: never on this (the main) thread.
  std::weak_ptr<int> alive = alive_;
  MainLoop* loop = &mainLoop_;
  store_.appendAsync(std::move(kept), [this, alive, loop] {
    loop->post([this, alive] {
      if (alive.lock()) checkForUpdates();
    });
  });
}

std::vector<UsageSnapshot> ClaudeProvider::currentSnapshots() const {
  std::vector<UsageSnapshot> out;
  for (WindowKind w : {WindowKind::fiveHour, WindowKind::sevenDay})
    if (auto s = newest(store_, w, clock_.now())) out.push_back(std::move(*s));
  return out;
}

void ClaudeProvider::checkForUpdates() {
  auto current = currentSnapshots();
  if (current.empty()) return;
  Timestamp latest = current.front().timestamp;
  for (const auto& s : current) latest = std::max(latest, s.timestamp);
  if (lastSeen_ && latest <= *lastSeen_) return;
  lastSeen_ = latest;
  if (onUpdate_) onUpdate_(current);
}

ProviderHealth ClaudeProvider::health() const {
  ProviderHealth health = bridgeHealth();
  // A credential problem matters whatever the bridge does: the user may be logged out.
  if (auto warning = oauth_ ? oauth_->credentialWarning() : std::nullopt) {
    health.detail += " \u00b7 " + *warning;
    health.lastError = *warning;
  }
  return health;
}

ProviderHealth ClaudeProvider::bridgeHealth() const {
  std::optional<Timestamp> lastUpdate;
  const Timestamp now = clock_.now();
  if (auto five = newest(store_, WindowKind::fiveHour, now))
    lastUpdate = five->timestamp;
  else if (auto week = newest(store_, WindowKind::sevenDay, now))
    lastUpdate = week->timestamp;

  const ClaudeBridgeStatus bridge = bridgeStatus_();
  using S = ClaudeBridgeStatus::State;
  using H = ProviderHealth::State;
  switch (bridge.state) {
    case S::installed:
    case S::wrapping:
      if (lastUpdate) return ProviderHealth{H::connected, "bridge active", lastUpdate, std::nullopt};
      return ProviderHealth{H::idle, "bridge installed, awaiting first response", std::nullopt, std::nullopt};
    case S::notInstalled: return ProviderHealth{H::unavailable, "bridge not installed", std::nullopt, std::nullopt};
    case S::foreign: return ProviderHealth{H::unavailable, "another status line is installed", lastUpdate, std::nullopt};
    case S::error: return ProviderHealth{H::error, bridge.errorText, lastUpdate, bridge.errorText};
  }
  return ProviderHealth{};
}

}  // namespace qd
