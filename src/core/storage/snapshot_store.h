#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "models/timestamp.h"
#include "models/usage_snapshot.h"
#include "utilities/serial_queue.h"

namespace qd {

// Owns `snapshots.ndjson`: every observation, one JSON line each, appended by the
// providers and by the status-line bridge (another process). Reads are served
// from an in-memory copy refilled when the file's identity, size or modification
// time change; when the file only grew, only the new bytes are decoded.
//
// Every append and every rewrite holds an exclusive flock on
// `snapshots.ndjson.lock` beside the file (never renamed), from the read to the
// rename, so a prune or clear never loses a line the bridge appended meanwhile.
//
// Thread-safety: all members may be called from any thread; file and cache
// access is serialised on the queue "quotadial.snapshotstore".
class SnapshotStore {
 public:
  // Creates the directory of `url` when missing (and the application-support
  // layout when `url` lives there). Does not read the file.
  explicit SnapshotStore(std::filesystem::path url);
  ~SnapshotStore();
  SnapshotStore(const SnapshotStore&) = delete;
  SnapshotStore& operator=(const SnapshotStore&) = delete;

  // One line, written with one write() on an O_APPEND descriptor opened under the
  // lock. A snapshot that cannot be encoded is dropped; a failed write is undone
  // and never replaces the file.
  void append(const UsageSnapshot& snapshot);
  // Each in list order, each a separate step: a reader may see part of the list.
  void append(const std::vector<UsageSnapshot>& snapshots);

  // Everything stored, in file order. The vector is never modified once returned;
  // holding it costs nothing until the file changes, after which the next call
  // copies the cache once (so drop the pointer when done with it).
  [[nodiscard]] std::shared_ptr<const std::vector<UsageSnapshot>> all();
  // One provider's snapshots of one window, oldest first (stable for equal times).
  [[nodiscard]] std::vector<UsageSnapshot> snapshots(Provider provider, WindowKind window);

  // Keeps the snapshots taken at or after `now - retentionDays` days, in file order.
  void prune(int retentionDays, Timestamp now);
  // Leaves an empty file.
  void clear();
  // All snapshots as CSV, oldest first, to `to` or `<base>/quotadial-export.csv`.
  // The written location, or nothing (logged as "CSV export failed: ...").
  [[nodiscard]] std::optional<std::filesystem::path> exportCSV(std::optional<std::filesystem::path> to = {});

  [[nodiscard]] const std::filesystem::path& url() const { return url_; }

  // How the cache was filled so far (tests and benchmarks).
  struct ReadStats {
    uint64_t fullDecodes = 0;
    uint64_t incrementalDecodes = 0;
  };
  [[nodiscard]] ReadStats readStats();

 private:
  struct FileKey {
    dev_t device = 0;
    ino_t inode = 0;
    int64_t mtimeNanos = 0;
    int64_t size = 0;
    bool operator==(const FileKey&) const = default;
  };

  // Brings the cache up to date with the file; false when the file exists but
  // cannot be read (the cache is then empty).
  bool refreshLocked();
  bool readFull(int fd, const FileKey& key);
  bool readGrowth(int fd, const FileKey& key);
  void rememberTail(const char* buf, int64_t bufOffset, int64_t size, size_t lastLineRecords);
  std::vector<UsageSnapshot>& mutableCache();
  void rewriteLocked(const std::vector<UsageSnapshot>& kept);

  std::filesystem::path url_;
  std::filesystem::path lockPath_;

  // One version of the cached list, with the number of pointers to it handed
  // out and not yet released; it is changed in place only while that is zero.
  struct Generation {
    std::vector<UsageSnapshot> snapshots;
    std::atomic<long> outside{0};
  };
  std::shared_ptr<const std::vector<UsageSnapshot>> publish();
  void resetCache();

  std::shared_ptr<Generation> cache_;
  std::optional<FileKey> cacheKey_;
  // Where the cached content's last line starts, how many records it gave, and
  // its last bytes from min(that start, size - 64): growth is decoded from the
  // last line on only when those bytes are still the same.
  int64_t lastLineStart_ = 0;
  size_t lastLineRecords_ = 0;
  int64_t tailStart_ = 0;
  std::string tail_;
  // The cached content's first bytes: a file rewritten in place (truncated and
  // written again, as `cp` over it does) that ends up longer is not mere growth.
  std::string head_;
  ReadStats stats_;

  SerialQueue queue_{"quotadial.snapshotstore"};  // last: stops before the state it serialises
};

// The CSV text of the export: header line, then one line per snapshot in the
// given order, every line ending in a line feed.
[[nodiscard]] std::string snapshotsCSV(const std::vector<UsageSnapshot>& rows);

}  // namespace qd
