#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "providers/codex/codex_app_server_client.h"
#include "providers/codex/codex_process_manager.h"
#include "providers/usage_provider.h"
#include "utilities/ports/clock.h"
#include "utilities/ports/main_loop.h"

namespace qd {

class SnapshotStore;

// The live source of Codex readings: keeps `codex app-server` running, asks it
// for rate limits every 60 seconds and after a login, and appends every window
// it reports to the store, stamped with the model, effort and fast-mode setting
// of the Codex configuration. At most one reading per window is stored within a
// second of the clock; the last update of a burst is asked for again afterwards.
//
// A server that exits is relaunched after a delay that doubles from
// `kFirstRelaunchDelaySeconds` up to `kMaxRelaunchDelaySeconds`, and starts over
// once a launch has run for `kHealthyRunSeconds`; each exit is logged and shown
// in the health until the relaunch.
//
// Thread-safety: `start`, `stop` and the destructor run on the main thread; the
// ingest of payloads runs on the app-server's reader thread; `health` may be read
// from any thread. `onUpdate` is called on the reader thread with each batch
// stored, and on the main thread with an empty batch when only the health changed.
class CodexProvider final : public UsageProvider {
 public:
  static constexpr double kPollIntervalSeconds = 60;
  static constexpr double kFirstRelaunchDelaySeconds = 5;
  static constexpr double kMaxRelaunchDelaySeconds = 300;
  static constexpr double kHealthyRunSeconds = 3600;
  // After an update dropped as a repeat within its second, the rate limits are asked for again this much later.
  static constexpr double kCatchUpDelaySeconds = 1.5;

  // `store`, `mainLoop` and `clock` must outlive the provider. `locate` finds the
  // executable (by default `Shell::which("codex")`).
  CodexProvider(SnapshotStore& store, MainLoop& mainLoop, const Clock& clock,
                CodexProcessManager::Locator locate = {});
  ~CodexProvider() override;

  [[nodiscard]] Provider provider() const override { return Provider::codex; }
  [[nodiscard]] ProviderHealth health() const override;
  void start(UpdateCallback onUpdate) override;
  // Ends the timer and the app-server; the client and the health stay as they are.
  void stop() override;

  [[nodiscard]] const std::shared_ptr<CodexProcessManager>& manager() const { return manager_; }

 private:
  void ingest(const CodexRateLimitsPayload& payload);
  void setHealth(ProviderHealth health);
  CodexAppServerClient& client();
  // Launches the server and sends the first requests; false (with the health set) on failure.
  bool launch();
  // Main thread: the server ended on its own.
  void serverExited(const std::string& how);
  void scheduleRelaunch(const std::string& reason);
  void signalHealthChange();

  SnapshotStore& store_;
  MainLoop& mainLoop_;
  const Clock& clock_;
  std::shared_ptr<CodexProcessManager> manager_;
  std::shared_ptr<CodexAppServerClient> client_;  // made on first use, kept for life
  std::optional<MainLoop::TimerId> timer_;
  // Main thread only.
  bool running_ = false;          // between start and stop
  std::uint64_t launchGeneration_ = 0;  // a pending relaunch runs only if unchanged
  double relaunchDelay_ = kFirstRelaunchDelaySeconds;
  std::optional<Timestamp> launchedAt_;
  std::atomic<bool> catchUpScheduled_{false};
  // Closures handed to the client and the timer hold this weakly.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);

  mutable std::mutex mutex_;  // guards health_, onUpdate_ and storedSecond_
  // The clock second of the last stored reading, per (limit id, window).
  std::map<std::pair<std::string, WindowKind>, std::int64_t> storedSecond_;
  ProviderHealth health_{ProviderHealth::State::idle, "Not started", std::nullopt, std::nullopt};
  UpdateCallback onUpdate_;
};

}  // namespace qd
