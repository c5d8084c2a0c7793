#pragma once
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/app_state.h"
#include "app/collector_lock.h"

namespace qd {

// Keeps a run's part as collector or viewer up to date. The collector publishes
// its provider health beside its lock whenever it changes; a viewer re-reads the
// collector's every `kCheckSeconds` and, once that collector has gone, takes the
// lock and starts collecting itself.
//
// Thread-safety: main thread only; `mainLoop` outlives the role.
class CollectorRole {
 public:
  static constexpr double kCheckSeconds = 30;

  // `lock` is the run's own lock, or null for a viewer (or when no lock could be made).
  CollectorRole(const std::shared_ptr<AppState>& state, std::filesystem::path supportDirectory, std::string mode,
                std::unique_ptr<CollectorLock> lock);
  ~CollectorRole();
  CollectorRole(const CollectorRole&) = delete;
  CollectorRole& operator=(const CollectorRole&) = delete;

  // Stops watching the state (at shutdown); the lock is held until destruction.
  void release();

 private:
  void check();
  void watch();

  std::weak_ptr<AppState> state_;
  MainLoop* loop_;
  std::filesystem::path supportDirectory_;
  std::string mode_;
  std::unique_ptr<CollectorLock> lock_;
  AppState::Subscription subscription_;
  std::optional<MainLoop::TimerId> timer_;
};

}  // namespace qd
