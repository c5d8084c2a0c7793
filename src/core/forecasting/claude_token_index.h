#pragma once
// An incremental index of Claude transcript usage: per file, the (time, tokens)
// events of its lines, extended by reading only what was appended since the last
// look. Answers "Claude tokens since t" without rescanning the transcripts.
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "forecasting/transcript_files.h"
#include "forecasting/transcript_tree_watcher.h"
#include "forecasting/transcript_reader.h"
#include "models/timestamp.h"

namespace qd {

// Directories are watched (inotify), so that a look touches only files that
// changed; without watches (or after an event overflow) every file is listed.
//
// Thread-safety: not thread-safe; the usage history drives it from its queue.
class ClaudeTokenIndex {
 public:
  explicit ClaudeTokenIndex(std::string projectsDirectory,
                            TranscriptTreeWatcher::Watching watching = TranscriptTreeWatcher::Watching::yes);
  ClaudeTokenIndex(const ClaudeTokenIndex&) = delete;
  ClaudeTokenIndex& operator=(const ClaudeTokenIndex&) = delete;

  // Lists the transcripts and reads what changed: appended bytes of grown files,
  // whole files that are new, shrank or were replaced; vanished files are dropped.
  // With `since`, files last modified before `since` − 3600 s (which `tokensSince`
  // of that moment ignores) are only noted, not read, until an update reaches
  // back to them or they change.
  void update(std::optional<Timestamp> since = std::nullopt);
  // The same over `listing`, every transcript file under the directory as the
  // caller has just listed it (one walk shared with other readers of the tree).
  void update(std::optional<Timestamp> since, const std::vector<TranscriptFileInfo>& listing);

  // Tokens of the lines timestamped at or after `since`, in files modified no
  // earlier than `since` − 3600 s; each (message.id, requestId) pair counts once,
  // by its line with the most tokens (then the earliest).
  [[nodiscard]] int64_t tokensSince(Timestamp since);

  [[nodiscard]] size_t fileCount() const { return files_.size(); }
  // What the last `update` read: files opened and bytes read.
  [[nodiscard]] size_t lastFilesRead() const { return lastFilesRead_; }
  [[nodiscard]] int64_t lastBytesRead() const { return lastBytesRead_; }
  [[nodiscard]] size_t eventCount() const;

 private:
  struct Event {
    int64_t timeUs = 0;
    int64_t tokens = 0;
    uint64_t key = 0;
    uint64_t seq = 0;
  };
  struct FileState {
    dev_t device = 0;
    ino_t inode = 0;
    int64_t size = 0;
    double mtime = 0;
    int64_t committed = 0;  // bytes read up to the last line break
    bool invalid = false;   // not UTF-8: contributes nothing until it changes
    bool seen = false;
    bool skipped = false;   // older than the floor of the update that listed it: not read
    std::vector<Event> events;  // complete lines, sorted by (time, seq)
    std::vector<Event> tail;    // the last line while it lacks its line break
    std::vector<int64_t> suffix;  // suffix sums of counted tokens over `events`
    uint64_t suffixGeneration = 0;  // 0: stale
  };
  struct Best {
    int64_t tokens = 0;
    int64_t timeUs = 0;
    uint64_t seq = 0;
    FileState* file = nullptr;  // map nodes are stable until erased
  };

  // A file's attributes as just read: reads what changed.
  void apply(const TranscriptFileInfo& info, double mtimeFloor);
  void remove(const std::string& path);
  // Reads passed-over files that an update from `mtimeFloor` reaches; starts the counters.
  void begin(double mtimeFloor);
  // Applies a complete listing: files not in it are gone.
  void applyListing(const std::vector<TranscriptFileInfo>& listing, double mtimeFloor);
  void readFile(FileState& state, const std::string& path, bool fromStart);
  void dropEvents(FileState& state);
  void offerBest(const Event& e, FileState* file);
  void rebuildBest();
  [[nodiscard]] bool counts(const Event& e) const;

  std::string directory_;
  std::unordered_map<std::string, FileState> files_;
  std::unordered_map<uint64_t, Best> best_;
  uint64_t generation_ = 1;  // a file's suffix sums are current when they carry this
  uint64_t nextSeq_ = 1;
  TranscriptTreeWatcher watcher_;
  size_t lastFilesRead_ = 0;
  int64_t lastBytesRead_ = 0;
  std::unique_ptr<TranscriptReader> reader_;
};

}  // namespace qd
