#pragma once
#include <functional>
#include <vector>

#include "models/provider.h"
#include "models/provider_health.h"
#include "models/usage_snapshot.h"

namespace qd {

// A live source of snapshots. Implementations append what they observe to the
// shared snapshot store themselves, then call `onUpdate` (from any thread); the
// application treats the call only as a signal to recompute.
class UsageProvider {
 public:
  using UpdateCallback = std::function<void(const std::vector<UsageSnapshot>&)>;

  virtual ~UsageProvider() = default;

  [[nodiscard]] virtual Provider provider() const = 0;
  [[nodiscard]] virtual ProviderHealth health() const = 0;
  virtual void start(UpdateCallback onUpdate) = 0;
  // Stops producing and releases timers and child processes. Called before the
  // provider is discarded; must be safe to call twice.
  virtual void stop() = 0;
};

}  // namespace qd
