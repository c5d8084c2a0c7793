#pragma once
#include <memory>
#include <mutex>
#include <optional>

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
// of the Codex configuration.
//
// Thread-safety: `start`, `stop` and the destructor run on the main thread; the
// ingest of payloads runs on the app-server's reader thread; `health` may be read
// from any thread. `onUpdate` is called on the reader thread.
class CodexProvider final : public UsageProvider {
 public:
  static constexpr double kPollIntervalSeconds = 60;

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

  SnapshotStore& store_;
  MainLoop& mainLoop_;
  const Clock& clock_;
  std::shared_ptr<CodexProcessManager> manager_;
  std::shared_ptr<CodexAppServerClient> client_;  // made on first use, kept for life
  std::optional<MainLoop::TimerId> timer_;
  // Closures handed to the client and the timer hold this weakly.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);

  mutable std::mutex mutex_;  // guards health_ and onUpdate_
  ProviderHealth health_{ProviderHealth::State::idle, "Not started", std::nullopt, std::nullopt};
  UpdateCallback onUpdate_;
};

}  // namespace qd
