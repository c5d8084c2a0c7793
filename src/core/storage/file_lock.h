#pragma once
#include <chrono>
#include <filesystem>
#include <optional>

namespace qd {

// An exclusive advisory lock (flock) on a lock file that is never renamed, held
// for the object's lifetime. Shared with other processes (the status-line bridge
// appends to the snapshot file under the same lock). Without `maxWait` it blocks
// until acquired; with it, it gives up after that long (`timedOut()`), so that a
// stopped process holding the lock cannot stall the caller for good.
// `held()` is false when the lock file could not be opened or locked; callers
// then proceed unlocked rather than fail, except after a timeout.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& lockPath,
                    std::optional<std::chrono::milliseconds> maxWait = std::nullopt);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  [[nodiscard]] bool held() const { return fd_ >= 0; }
  [[nodiscard]] bool timedOut() const { return timedOut_; }
  // How long acquiring took (or the wait before giving up).
  [[nodiscard]] std::chrono::milliseconds waited() const { return waited_; }

 private:
  int fd_ = -1;
  bool timedOut_ = false;
  std::chrono::milliseconds waited_{0};
};

}  // namespace qd
