#pragma once
// One collector per user and data directory: the copy that runs the live
// providers, stores readings and sends alerts. Any other copy is a viewer of
// what the collector stores.
#include <sys/types.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "models/provider.h"
#include "models/provider_health.h"

namespace qd {

class SerialQueue;

// What the running collector publishes about itself.
struct CollectorStatus {
  pid_t pid = 0;
  std::string mode;  // "headless", "desktop", or empty when its status file could not be read
  std::map<Provider, ProviderHealth> health;

  // "the headless collector (pid 42)", "the tray app (pid 42)", "another copy (pid 42)".
  [[nodiscard]] std::string description() const;
  bool operator==(const CollectorStatus&) const = default;
};

// Held by the collector for its whole run: an open-file-description lock on
// `collector-<key>.lock` in `$XDG_RUNTIME_DIR/quotadial` (or, without a runtime
// directory, in the application-support directory), where <key> names the data
// directory. The kernel releases it when the process ends, however it ends.
// Beside it, `collector-<key>.json` carries the collector's pid, mode and
// provider health for `--status` and viewers.
//
// Thread-safety: `acquire` and `current` from any thread; a lock's members on one thread.
class CollectorLock {
 public:
  struct Outcome {
    std::unique_ptr<CollectorLock> lock;  // this process is the collector
    std::optional<CollectorStatus> other;  // another process is
    // Neither: the lock file cannot be made; the caller collects unguarded.
  };

  // Becomes the collector for `supportDirectory` unless another process is.
  [[nodiscard]] static Outcome acquire(const std::filesystem::path& supportDirectory, const std::string& mode);
  // The running collector for `supportDirectory`, or nothing.
  [[nodiscard]] static std::optional<CollectorStatus> current(const std::filesystem::path& supportDirectory);

  ~CollectorLock();
  CollectorLock(const CollectorLock&) = delete;
  CollectorLock& operator=(const CollectorLock&) = delete;

  // Publishes the health for the other copies; the file is written on a worker thread.
  void publish(const std::map<Provider, ProviderHealth>& health);

 private:
  CollectorLock(int fd, std::filesystem::path statusPath, std::string mode);

  int fd_;
  std::filesystem::path statusPath_;
  std::string mode_;
  std::unique_ptr<SerialQueue> queue_;
};

}  // namespace qd
