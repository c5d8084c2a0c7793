#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "models/timestamp.h"
#include "models/usage_snapshot.h"
#include "storage/file_lock.h"
#include "utilities/serial_queue.h"

namespace qd {

// Owns `snapshots.ndjson`: every observation, one JSON line each, appended by the
// providers and by the status-line bridge (another process). Recurring reads cost
// what the recent readings cost: the in-memory copy holds the lines from some
// point in time on, found by decoding the file backwards from its end in blocks,
// and is brought up to date by decoding only what was appended (a changed file
// identity, a shrink or changed bytes before the end make it read back again).
// Only export, `forEachByTime` and prune read the whole file, streaming it.
// The reader state is saved beside the file (`snapshots.ndjson.checkpoint`)
// after each mebibyte decoded, so a new process starts from it.
//
// Every append and every rewrite holds an exclusive flock on
// `snapshots.ndjson.lock` beside the file (never renamed), so a prune or clear
// never loses a line the bridge appended meanwhile. Lock waits are bounded and
// logged: an append that cannot get the lock in time goes ahead without it (one
// line, one write() on O_APPEND); a prune or clear gives up.
//
// Thread-safety: all members may be called from any thread. Reads and the cache
// run on the queue "quotadial.snapshotstore", which never waits for the lock or
// another process; writes run on "quotadial.snapshotstore.write" (a prune's
// long unlocked copy on "quotadial.snapshotstore.prune"). So the main
// thread may read synchronously, but writes from it go through the *Async calls.
class AtomicFileWriter;

class SnapshotStore {
 public:
  // How far back from the newest line `newest` looks when nothing asked for more.
  static constexpr double kDefaultSpanSeconds = 8 * 86400.0;
  // The longest the writer waits for the lock while it is not known to be stuck,
  // and while it is (after a timeout, until the lock is had again).
  static constexpr std::chrono::milliseconds kLockWait{2000};
  static constexpr std::chrono::milliseconds kStuckLockWait{100};

  // Creates the directory of `url` when missing (and the application-support
  // layout when `url` lives there). Does not read the file.
  explicit SnapshotStore(std::filesystem::path url);
  ~SnapshotStore();
  SnapshotStore(const SnapshotStore&) = delete;
  SnapshotStore& operator=(const SnapshotStore&) = delete;

  // One line, written with one write() on an O_APPEND descriptor opened under the
  // lock. A snapshot that cannot be encoded is dropped; a failed write is undone
  // and never replaces the file. Waits for the write (and so for the lock).
  void append(const UsageSnapshot& snapshot);
  // Each in list order, each a separate step: a reader may see part of the list.
  void append(const std::vector<UsageSnapshot>& snapshots);
  // As append, queued after earlier writes; `done` runs on the writer's thread afterwards.
  void appendAsync(std::vector<UsageSnapshot> snapshots, std::function<void()> done = {});
  // Returns when every write queued so far has finished (never from the main thread).
  void waitForWrites();

  // Everything stored, in file order. The vector is never modified once returned;
  // holding it costs nothing until the file changes, after which the next call
  // copies the cache once (so drop the pointer when done with it).
  [[nodiscard]] std::shared_ptr<const std::vector<UsageSnapshot>> all();
  // Every stored snapshot timestamped at or after `since`, in file order, plus
  // possibly some older ones (up to a day older than the oldest asked for since
  // the cache was last trimmed). Lines before a block of the file whose every
  // line is more than an hour older than `since` are not read.
  [[nodiscard]] std::shared_ptr<const std::vector<UsageSnapshot>> recent(Timestamp since);
  // The newest stored snapshot of one series (the later line on equal times),
  // among the lines the cache covers (by default kDefaultSpanSeconds back from the
  // newest line).
  [[nodiscard]] std::optional<UsageSnapshot> newest(Provider provider, WindowKind window);
  // One provider's snapshots of one window, oldest first (stable for equal times).
  [[nodiscard]] std::vector<UsageSnapshot> snapshots(Provider provider, WindowKind window);

  // Keeps the snapshots taken at or after `now - retentionDays` days, in file order.
  // The file is copied without the lock; the lock is held only to copy what was
  // appended meanwhile and rename. Waits for it; `pruneAsync` does not.
  void prune(int retentionDays, Timestamp now);
  void pruneAsync(int retentionDays, Timestamp now, std::function<void()> done = {});
  // Leaves an empty file.
  void clear();
  void clearAsync(std::function<void()> done = {});
  // All snapshots as CSV, oldest first, to `to` or `<base>/quotadial-export.csv`.
  // The written location, or nothing (logged as "CSV export failed: ...").
  [[nodiscard]] std::optional<std::filesystem::path> exportCSV(std::optional<std::filesystem::path> to = {});
  // As exportCSV, on the queue of long whole-file work; `done` runs there with the result.
  void exportCSVAsync(std::optional<std::filesystem::path> to,
                      std::function<void(std::optional<std::filesystem::path>)> done);
  // Every stored snapshot, oldest first (stable), streamed from the file: `count`
  // first with how many there are, then `each` per snapshot. Memory stays small
  // while the file is in time order (as appends keep it); otherwise it holds the
  // whole list to sort it. False when an existing file cannot be read.
  bool forEachByTime(const std::function<void(size_t count)>& count,
                     const std::function<void(const UsageSnapshot&)>& each) const;

  [[nodiscard]] const std::filesystem::path& url() const { return url_; }
  // Where the reader state is saved between processes.
  [[nodiscard]] const std::filesystem::path& checkpointPath() const { return checkpointPath_; }

  // How the cache was filled so far (tests and benchmarks).
  struct ReadStats {
    uint64_t fullDecodes = 0;
    uint64_t incrementalDecodes = 0;
    int64_t bytesDecoded = 0;
    uint64_t checkpointsLoaded = 0;
    uint64_t checkpointsSaved = 0;
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

  // Brings the cache up to date with the file, covering at least `since` (none:
  // what it covers now, or the default span when it was never filled); false when
  // the file exists but cannot be read (the cache is then empty).
  bool refreshLocked(std::optional<Timestamp> since);
  bool readBackwards(int fd, const FileKey& key, std::optional<Timestamp> since);
  bool readGrowth(int fd, const FileKey& key);
  // Takes the saved reader state when it holds the lines since `since` and the
  // file still has the bytes it was made from; then only growth is decoded.
  bool adoptCheckpoint(int fd, const FileKey& key, std::optional<Timestamp> since);
  // Saves the reader state (on checkpointQueue_) once a mebibyte was decoded since the last save.
  void saveCheckpointIfDue();
  void dropCheckpoint();
  void trimLocked(Timestamp since);
  void rememberTail(const char* buf, int64_t bufOffset, int64_t size, size_t lastLineRecords);
  void noteNewest(const UsageSnapshot* from, const UsageSnapshot* to);
  size_t decodeKept(std::string_view paddedText, std::vector<UsageSnapshot>& out);
  std::vector<UsageSnapshot>& mutableCache();
  void appendLocked(const std::string& line);
  // Prune in two steps: the bulk copied without the lock on pruneQueue_, then
  // the lines appended meanwhile and the rename under it on writeQueue_.
  void pruneCopying(int retentionDays, Timestamp now);
  void pruneFinishing(AtomicFileWriter& writer, const struct stat& st, int64_t copied, Timestamp cutoff);
  void clearLocked();
  std::chrono::milliseconds lockWait() const;
  void noteLock(const FileLock& lock, const char* what);

  std::filesystem::path url_;
  std::filesystem::path lockPath_;
  std::filesystem::path checkpointPath_;

  // One version of the cached list, with the number of pointers to it handed
  // out and not yet released; it is changed in place only while that is zero.
  struct Generation {
    std::vector<UsageSnapshot> snapshots;
    std::atomic<long> outside{0};
  };
  std::shared_ptr<const std::vector<UsageSnapshot>> publish();
  void resetCache();

  // Reader state (queue_ only).
  std::shared_ptr<Generation> cache_;
  std::optional<FileKey> cacheKey_;
  // The cache holds the lines at or after this time (min: the whole file);
  // absent until the first read.
  std::optional<Timestamp> cacheSince_;
  // Where the cached content's last line starts, how many records it gave, and
  // its last bytes from min(that start, size - 64): growth is decoded from the
  // last line on only when those bytes are still the same.
  int64_t lastLineStart_ = 0;
  size_t lastLineRecords_ = 0;
  int64_t tailStart_ = 0;
  std::string tail_;
  std::map<std::pair<Provider, WindowKind>, UsageSnapshot> newest_;
  // The cached content's first bytes: a file rewritten in place (truncated and
  // written again, as `cp` over it does) that ends up longer is not mere growth.
  std::string head_;
  ReadStats stats_;
  int64_t decodedSinceCheckpoint_ = 0;

  // Writer state (writeQueue_ only).
  bool lockStuck_ = false;

  // Saves and removes the checkpoint; stops after the queues below, which post to it.
  SerialQueue checkpointQueue_{"quotadial.snapshotstore.checkpoint"};
  SerialQueue queue_{"quotadial.snapshotstore"};  // last: they stop before the state they serialise
  SerialQueue writeQueue_{"quotadial.snapshotstore.write"};
  // Long whole-file work: a prune's unlocked copy, the export. Stops first: a prune waits on writeQueue_.
  SerialQueue pruneQueue_{"quotadial.snapshotstore.prune"};
};

// One CSV row of the export, with its line feed, appended to `out`.
void appendSnapshotCSVRow(std::string& out, const UsageSnapshot& s);
// The CSV text of the export: header line, then one line per snapshot in the
// given order, every line ending in a line feed.
[[nodiscard]] std::string snapshotsCSV(const std::vector<UsageSnapshot>& rows);

}  // namespace qd
