#pragma once
// The snapshot store's reader state, saved beside `snapshots.ndjson` so that the
// next process (a status bar's `--status` every few seconds, the tray app's
// start-up) starts from the decoded recent readings and decodes only what was
// appended since, instead of decoding a week of JSON lines again.
//
// A compact binary file, checked as a whole (format, length, hash) and then
// against the snapshot file itself (identity, size, first bytes, bytes before
// the saved end) before anything in it is used; any mismatch means "not there".
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "models/timestamp.h"
#include "models/usage_snapshot.h"

namespace qd {

struct SnapshotCheckpoint {
  // The snapshot file as it was when the state was saved.
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t mtimeNanos = 0;
  int64_t size = 0;
  // The readings held are those at or after `since` (Timestamp::min(): all).
  Timestamp since{};
  // Where the last line starts and how many readings it gave; the bytes of the
  // file from `tailStart` to `size` (-1: not kept) and its first bytes.
  int64_t lastLineStart = 0;
  uint64_t lastLineRecords = 0;
  int64_t tailStart = 0;
  std::string tail;
  std::string head;
  std::vector<UsageSnapshot> snapshots;
};

namespace SnapshotCheckpointFile {

// The largest checkpoint read; a bigger file is ignored.
inline constexpr int64_t kMaxBytes = int64_t{256} << 20;

// The file's bytes. `snapshots` may be given apart from the rest (the store's
// cached list), so that saving copies no reading.
[[nodiscard]] std::string encode(const SnapshotCheckpoint& state, const std::vector<UsageSnapshot>& snapshots);

// `payload` with the header `encode` puts before its payload (format, length,
// hash): lets a fuzzer reach the checks behind the hash.
[[nodiscard]] std::string sealed(std::string_view payload);

// The state, or nothing when the bytes are not a whole, intact checkpoint of
// this format. Never throws; every count and enum is range-checked.
[[nodiscard]] std::optional<SnapshotCheckpoint> decode(std::string_view bytes);

}  // namespace SnapshotCheckpointFile

}  // namespace qd
