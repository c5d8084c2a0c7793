#include "storage/snapshot_checkpoint.h"

#include <gtest/gtest.h>

#include <limits>

namespace qd {
namespace {

SnapshotCheckpoint sample() {
  SnapshotCheckpoint c;
  c.device = 2049;
  c.inode = 1234567;
  c.mtimeNanos = 1'780'000'000'123'456'789;
  c.size = 90'000;
  c.since = *parseISO8601("2026-11-29T08:00:00.5Z");
  c.lastLineStart = 89'500;
  c.lastLineRecords = 1;
  c.tailStart = 89'436;
  c.tail = std::string(564, 'x');
  c.head = "{\"id\":";

  UsageSnapshot bare;  // only what every reading has
  bare.timestamp = *parseISO8601("2026-12-01T10:00:00Z");
  bare.usedPercent = 12.5;
  bare.remainingPercent = 87.5;
  bare.source = SnapshotSource::codexAppServer;

  UsageSnapshot full;  // every optional field set, and values at their edges
  full.provider = Provider::claude;
  full.timestamp = *parseISO8601("2026-12-01T10:00:00.123456Z");
  full.windowKind = WindowKind::monthly;
  full.usedPercent = -0.0;
  full.remainingPercent = 1e300;
  full.resetAt = Timestamp::min();
  full.windowDurationMins = 10080;
  full.limitId = "codex";
  full.limitName = "";
  full.modelId = "claude-opus-4-5";
  full.modelDisplayName = "Opus 4.5 \xE2\x80\x94 \"quoted\"\n";
  full.effortLevel = "high";
  full.thinkingEnabled = false;
  full.speedMode = "fast";
  full.planType = "max";
  full.rateLimitReachedType = "five_hour";
  full.source = "";
  full.sourceConfidence = SourceConfidence::high;

  UsageSnapshot thinking = bare;
  thinking.thinkingEnabled = true;
  thinking.sourceConfidence = SourceConfidence::low;
  thinking.windowKind = WindowKind::unknown;
  c.snapshots = {bare, full, thinking, bare};
  return c;
}

TEST(SnapshotCheckpointFile, EveryFieldSurvivesTheRoundTrip) {
  const SnapshotCheckpoint c = sample();
  const auto back = SnapshotCheckpointFile::decode(SnapshotCheckpointFile::encode(c, c.snapshots));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->device, c.device);
  EXPECT_EQ(back->inode, c.inode);
  EXPECT_EQ(back->mtimeNanos, c.mtimeNanos);
  EXPECT_EQ(back->size, c.size);
  EXPECT_EQ(back->since, c.since);
  EXPECT_EQ(back->lastLineStart, c.lastLineStart);
  EXPECT_EQ(back->lastLineRecords, c.lastLineRecords);
  EXPECT_EQ(back->tailStart, c.tailStart);
  EXPECT_EQ(back->tail, c.tail);
  EXPECT_EQ(back->head, c.head);
  EXPECT_EQ(back->snapshots, c.snapshots);

  SnapshotCheckpoint empty;
  empty.since = Timestamp::min();
  empty.tailStart = -1;
  const auto none = SnapshotCheckpointFile::decode(SnapshotCheckpointFile::encode(empty, {}));
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->snapshots.empty());
  EXPECT_EQ(none->since, Timestamp::min());
}

// Every shorter or damaged form is refused, never half-read.
TEST(SnapshotCheckpointFile, CutOrDamagedBytesAreRefused) {
  const SnapshotCheckpoint c = sample();
  const std::string bytes = SnapshotCheckpointFile::encode(c, c.snapshots);
  for (size_t n = 0; n < bytes.size(); ++n)
    EXPECT_FALSE(SnapshotCheckpointFile::decode(std::string_view(bytes).substr(0, n))) << "cut at " << n;
  EXPECT_FALSE(SnapshotCheckpointFile::decode(bytes + "x"));
  for (size_t at = 0; at < bytes.size(); at += 7) {
    std::string damaged = bytes;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x20);
    EXPECT_FALSE(SnapshotCheckpointFile::decode(damaged)) << "byte " << at;
  }
}

}  // namespace
}  // namespace qd
