#pragma once
// Follows the transcript files under a few root directories. The first poll
// lists every file; later polls report only the files that changed since
// (directory watches through inotify), so that an unchanged tree costs no file
// system walk. Without watches (none available, the watch limit reached, a root
// missing) or after the event queue overflowed, a poll lists everything again.
// A watcher made for one look (`Watching::no`) adds no watches and lists every time.
#include <cstddef>
#include <optional>
#include <string_view>
#include <string>
#include <unordered_map>
#include <vector>

#include "forecasting/transcript_files.h"

namespace qd {

// Thread-safety: not thread-safe; one owner drives it from its queue.
class TranscriptTreeWatcher {
 public:
  enum class Watching { yes, no };
  explicit TranscriptTreeWatcher(std::vector<std::string> roots, Watching watching = Watching::yes);
  ~TranscriptTreeWatcher();
  TranscriptTreeWatcher(const TranscriptTreeWatcher&) = delete;
  TranscriptTreeWatcher& operator=(const TranscriptTreeWatcher&) = delete;

  struct Change {
    size_t root = 0;  // index into the roots
    TranscriptFileInfo info;  // path always; attributes when present
    bool present = true;
  };
  struct Poll {
    // Per root: true when `changes` lists every file present under it (any other
    // known file under it is gone); false when only its changed files are listed.
    std::vector<bool> listed;
    std::vector<Change> changes;
    [[nodiscard]] bool listedAll() const;
  };
  [[nodiscard]] Poll poll();

  // The index of the root `path` lies under (the first match), or nothing.
  [[nodiscard]] std::optional<size_t> rootOf(std::string_view path) const;

 private:
  void reset();
  void listRoot(size_t root, Poll& poll);
  void watch(const std::string& directory, size_t root);

  std::vector<std::string> roots_;
  Watching watching_;
  int fd_ = -1;
  struct Watched {
    std::string directory;
    size_t root = 0;
  };
  std::unordered_map<int, Watched> watched_;
  std::vector<bool> complete_;  // per root: every directory is watched, polls may be incremental
};

}  // namespace qd
