#pragma once
#include <filesystem>

namespace qd {

// An exclusive advisory lock (flock) on a lock file that is never renamed, held
// for the object's lifetime. Shared with other processes (the status-line bridge
// appends to the snapshot file under the same lock). Blocks until acquired.
// `held()` is false when the lock file could not be opened or locked; callers
// then proceed unlocked rather than fail.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& lockPath);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  [[nodiscard]] bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace qd
