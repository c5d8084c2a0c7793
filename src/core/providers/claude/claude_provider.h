#pragma once
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "providers/claude/claude_bridge_files.h"
#include "providers/usage_provider.h"
#include "utilities/ports/clock.h"
#include "utilities/ports/main_loop.h"

namespace qd {

class ClaudeOAuthUsage;
class SnapshotStore;

// The live source for Claude. Drives the OAuth usage client on a 15-second tick
// (every 20 ticks, every 60 after an HTTP 429), stores the readings that add
// something, and watches the store for newer Claude 5-hour and weekly snapshots
// from either road (OAuth or the status-line bridge), signalling `onUpdate` when
// one appears. Health follows the bridge's installation.
//
// Thread-safety: main thread only (timer, OAuth completions and all calls). Timer
// and completion closures hold a lifetime token, never the provider itself. It
// reads the store synchronously (reads never wait for the file lock) and appends
// asynchronously.
class ClaudeProvider final : public UsageProvider {
 public:
  using BridgeStatusReader = std::function<ClaudeBridgeStatus()>;

  static constexpr double kTickSeconds = 15;
  static constexpr int kOAuthIntervalTicks = 20;
  static constexpr int kRateLimitedIntervalTicks = 60;

  // `bridgeStatus` defaults to the installer's view of Claude Code's settings.
  ClaudeProvider(SnapshotStore& store, std::shared_ptr<ClaudeOAuthUsage> oauth, MainLoop& mainLoop,
                 const Clock& clock, BridgeStatusReader bridgeStatus = {});
  ~ClaudeProvider() override;

  [[nodiscard]] Provider provider() const override { return Provider::claude; }
  [[nodiscard]] ProviderHealth health() const override;
  void start(UpdateCallback onUpdate) override;
  void stop() override;

  // The newest stored Claude `fiveHour` and `sevenDay` snapshots, in that order,
  // each only when one exists.
  [[nodiscard]] std::vector<UsageSnapshot> currentSnapshots() const;

  // One timer step; public so a test can drive the schedule.
  void tick();
  // Signals `onUpdate` when the store holds a Claude snapshot newer than any signalled.
  void checkForUpdates();

  [[nodiscard]] int oauthIntervalTicks() const { return oauthIntervalTicks_; }

 private:
  [[nodiscard]] ProviderHealth bridgeHealth() const;
  void startOAuthFetch();
  void ingest(std::vector<UsageSnapshot> received);

  SnapshotStore& store_;
  std::shared_ptr<ClaudeOAuthUsage> oauth_;
  MainLoop& mainLoop_;
  const Clock& clock_;
  BridgeStatusReader bridgeStatus_;

  std::optional<MainLoop::TimerId> timer_;
  UpdateCallback onUpdate_;
  std::optional<Timestamp> lastSeen_;
  std::map<WindowKind, UsageSnapshot> lastStored_;  // what ingest last handed to the store, per window
  int ticks_ = 0;
  int lastOAuthTick_ = -1000;
  int oauthIntervalTicks_ = kOAuthIntervalTicks;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // closures hold it weakly
};

}  // namespace qd
