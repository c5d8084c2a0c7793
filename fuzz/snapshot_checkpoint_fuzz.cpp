// The store's saved reader state must be refused or accepted without faulting,
// whatever its bytes; what is accepted must encode to the same bytes again.
// The input is taken as the payload (sealed with a matching header), so the
// checks behind the hash are reached; as raw bytes it is tried as well.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "storage/snapshot_checkpoint.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  (void)qd::SnapshotCheckpointFile::decode(bytes);
  const std::string file = qd::SnapshotCheckpointFile::sealed(bytes);
  if (auto c = qd::SnapshotCheckpointFile::decode(file)) {
    auto again = qd::SnapshotCheckpointFile::decode(qd::SnapshotCheckpointFile::encode(*c, c->snapshots));
    if (!again || again->snapshots != c->snapshots || again->tail != c->tail || again->head != c->head ||
        again->since != c->since || again->size != c->size)
      std::abort();
  }
  return 0;
}
