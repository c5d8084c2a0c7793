#include "storage/snapshot_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "storage/atomic_file.h"
#include "storage/file_lock.h"
#include "storage/file_reading.h"
#include "storage/json_lines.h"
#include "storage/snapshot_checkpoint.h"
#include "storage/local_file_store.h"
#include "utilities/app_logger.h"

namespace qd {

namespace {

// How many bytes before the end of the cached content must be unchanged for a
// grown file to be read incrementally (besides the whole last line).
constexpr int64_t kTailCheckBytes = 64;
// How many of the cached content's first bytes must be unchanged for the same.
constexpr int64_t kHeadCheckBytes = 4096;
// A last line longer than this (no snapshot is) makes growth re-read the whole file.
constexpr int64_t kMaxTailBytes = int64_t{1} << 20;
// The unit of the backward and streaming reads.
constexpr int64_t kBlockBytes = int64_t{1} << 20;
// Lines are appended in time order give or take clocks and queues: a block read
// backwards ends the read only when all of it is this much older than asked for.
constexpr double kOrderSlackSeconds = 3600;
// The cache is trimmed to a later start only once it holds this much more.
constexpr double kTrimSeconds = 86400;
// The reader state is saved after this many bytes decoded since the last save: a
// week's first read, then about once a day of one reading a minute per series.
constexpr int64_t kCheckpointBytes = int64_t{1} << 20;

// Offset just after the first line terminator of `text`, or -1.
int64_t firstLineEnd(const char* text, int64_t size) {
  for (int64_t i = 0; i < size; ++i)
    if (text[i] == '\n' || text[i] == '\r') return i + 1;
  return -1;
}

// Reads up to `len` bytes at `offset`; the count read, or -1 on error.
int64_t preadAll(int fd, char* buf, int64_t len, int64_t offset) {
  int64_t done = 0;
  while (done < len) {
    ssize_t n = ::pread(fd, buf + done, static_cast<size_t>(len - done), static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += n;
  }
  return done;
}

// A buffer of `len` bytes followed by the padding the line decoder may read.
struct PaddedBuffer {
  explicit PaddedBuffer(int64_t len)
      : data(new char[static_cast<size_t>(len) + JSONLines::kReadPadding]), size(len) {
    std::memset(data.get() + len, 0, JSONLines::kReadPadding);
  }
  std::unique_ptr<char[]> data;
  int64_t size;
};

// Offset just after the last line terminator of `text`, or 0.
int64_t lastLineStart(const char* text, int64_t size) {
  for (int64_t i = size; i > 0; --i)
    if (text[i - 1] == '\n' || text[i - 1] == '\r') return i;
  return 0;
}

constexpr const char* kCSVHeader =
    "timestamp,provider,window,usedPercent,remainingPercent,resetAt,model,effort,speed,plan,source,confidence\n";

std::string csvNumber(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[64];
  const double magnitude = std::fabs(value);
  const bool plain = magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e16);
  auto res = std::to_chars(buf, buf + sizeof buf, value,
                           plain ? std::chars_format::fixed : std::chars_format::scientific);
  std::string text(buf, res.ptr);
  if (plain && text.find('.') == std::string::npos) text += ".0";
  return text;
}

std::string csvText(const std::optional<std::string>& value) {
  if (!value) return {};
  if (value->find_first_of(",\"") == std::string::npos) return *value;
  std::string out = "\"";
  for (char c : *value) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace

void appendSnapshotCSVRow(std::string& out, const UsageSnapshot& s) {
  const auto& model = s.modelDisplayName ? s.modelDisplayName : s.modelId;
  out += formatISO8601(s.timestamp);
  out += ',';
  out += rawValue(s.provider);
  out += ',';
  out += rawValue(s.windowKind);
  out += ',';
  out += csvNumber(s.usedPercent);
  out += ',';
  out += csvNumber(s.remainingPercent);
  out += ',';
  if (s.resetAt) out += formatISO8601(*s.resetAt);
  out += ',';
  out += csvText(model);
  out += ',';
  out += csvText(s.effortLevel);
  out += ',';
  out += csvText(s.speedMode);
  out += ',';
  out += csvText(s.planType);
  out += ',';
  out += csvText(s.source);
  out += ',';
  out += rawValue(s.sourceConfidence);
  out += '\n';
}

std::string snapshotsCSV(const std::vector<UsageSnapshot>& rows) {
  std::string out = kCSVHeader;
  for (const auto& s : rows) appendSnapshotCSVRow(out, s);
  return out;
}

SnapshotStore::SnapshotStore(std::filesystem::path url)
    : url_(std::move(url)),
      lockPath_(url_.string() + ".lock"),
      checkpointPath_(url_.string() + ".checkpoint"),
      cache_(std::make_shared<Generation>()) {
  std::error_code ec;
  if (url_.has_parent_path()) std::filesystem::create_directories(url_.parent_path(), ec);
  if (url_.parent_path() == LocalFileStore::baseDirectory()) LocalFileStore::ensureDirectories();
}

SnapshotStore::~SnapshotStore() = default;

// ---- appending ------------------------------------------------------------------

namespace {

std::optional<std::string> encodedLine(const UsageSnapshot& snapshot) {
  auto encoded = JSONLines::encodeLine(snapshot);
  if (!encoded) return std::nullopt;
  std::replace(encoded->begin(), encoded->end(), '\n', ' ');
  encoded->push_back('\n');
  return encoded;
}

}  // namespace

std::chrono::milliseconds SnapshotStore::lockWait() const { return lockStuck_ ? kStuckLockWait : kLockWait; }

void SnapshotStore::noteLock(const FileLock& lock, const char* what) {
  if (lock.timedOut()) {
    if (!lockStuck_)
      AppLogger::shared().warn(std::string("Snapshot file lock still held by another process after ") +
                               std::to_string(lock.waited().count()) + " ms; " + what);
    lockStuck_ = true;
  } else if (lock.held()) {
    if (lockStuck_ || lock.waited() >= std::chrono::milliseconds(500))
      AppLogger::shared().info("Snapshot file lock acquired after " + std::to_string(lock.waited().count()) + " ms");
    lockStuck_ = false;
  }
}

void SnapshotStore::appendLocked(const std::string& line) {
  FileLock lock(lockPath_, lockWait());
  // A bounded wait: one line in one write() on O_APPEND cannot interleave with
  // another appender's line, so going ahead unlocked loses nothing.
  noteLock(lock, "appending without it");
  // O_NONBLOCK: a FIFO at the path must not hang the open or a write.
  const int flags = O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK;
  int fd = ::open(url_.c_str(), O_RDWR | flags, 0644);
  if (fd < 0 && errno == ENOENT) {
    std::error_code ec;
    std::filesystem::create_directories(url_.parent_path(), ec);
    fd = ::open(url_.c_str(), O_RDWR | flags, 0644);
  }
  if (fd < 0 && errno == EACCES) fd = ::open(url_.c_str(), O_WRONLY | flags, 0644);
  if (fd < 0) {
    AppLogger::shared().warn(std::string("Snapshot append failed: ") + std::strerror(errno));
    return;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    AppLogger::shared().warn("Snapshot append failed: " + url_.string() + " is not a regular file");
    return;
  }
  const off_t before = st.st_size;
  // A torn last line (no terminator) would swallow this one; start a new line.
  std::string_view bytes = line;
  std::string separated;
  char last = '\n';
  if (before > 0 && ::pread(fd, &last, 1, before - 1) == 1 && last != '\n' && last != '\r') {
    separated = "\n" + line;
    bytes = separated;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (done < bytes.size()) {
    const int err = errno;
    // Never leave half a line behind: the next append would run into it.
    if (before >= 0 && done > 0) (void)!::ftruncate(fd, before);
    AppLogger::shared().warn(std::string("Snapshot append failed: ") + std::strerror(err ? err : EIO));
  }
  ::close(fd);
}

void SnapshotStore::append(const UsageSnapshot& snapshot) {
  auto line = encodedLine(snapshot);
  if (!line) return;
  writeQueue_.sync([&] { appendLocked(*line); });
}

void SnapshotStore::append(const std::vector<UsageSnapshot>& snapshots) {
  for (const auto& s : snapshots) append(s);
}

void SnapshotStore::appendAsync(std::vector<UsageSnapshot> snapshots, std::function<void()> done) {
  std::vector<std::string> lines;
  for (const auto& s : snapshots)
    if (auto line = encodedLine(s)) lines.push_back(std::move(*line));
  writeQueue_.async([this, lines = std::move(lines), done = std::move(done)] {
    for (const auto& line : lines) appendLocked(line);
    if (done) done();
  });
}

void SnapshotStore::waitForWrites() {
  writeQueue_.sync([] {});
}

// ---- reading --------------------------------------------------------------------

std::shared_ptr<const std::vector<UsageSnapshot>> SnapshotStore::all() {
  return recent(Timestamp::min());
}

std::shared_ptr<const std::vector<UsageSnapshot>> SnapshotStore::recent(Timestamp since) {
  return queue_.sync([this, since]() -> std::shared_ptr<const std::vector<UsageSnapshot>> {
    refreshLocked(since);
    return publish();
  });
}

std::optional<UsageSnapshot> SnapshotStore::newest(Provider provider, WindowKind window) {
  return queue_.sync([&]() -> std::optional<UsageSnapshot> {
    refreshLocked(std::nullopt);
    auto it = newest_.find({provider, window});
    if (it == newest_.end()) return std::nullopt;
    return it->second;
  });
}

std::vector<UsageSnapshot> SnapshotStore::snapshots(Provider provider, WindowKind window) {
  const auto everything = all();
  std::vector<UsageSnapshot> out;
  for (const auto& s : *everything)
    if (s.provider == provider && s.windowKind == window) out.push_back(s);
  std::stable_sort(out.begin(), out.end(),
                   [](const UsageSnapshot& a, const UsageSnapshot& b) { return a.timestamp < b.timestamp; });
  return out;
}

SnapshotStore::ReadStats SnapshotStore::readStats() {
  return queue_.sync([this] { return stats_; });
}

std::shared_ptr<const std::vector<UsageSnapshot>> SnapshotStore::publish() {
  auto generation = cache_;
  generation->outside.fetch_add(1, std::memory_order_relaxed);
  const auto* list = &generation->snapshots;
  // The release pairs with the acquire in mutableCache(): every read a holder
  // made happens before the list is changed in place.
  return std::shared_ptr<const std::vector<UsageSnapshot>>(
      list, [generation = std::move(generation)](const std::vector<UsageSnapshot>*) mutable {
        generation->outside.fetch_sub(1, std::memory_order_release);
        generation.reset();
      });
}

std::vector<UsageSnapshot>& SnapshotStore::mutableCache() {
  // Someone still holds the published list: change a copy instead. Only the
  // recent lines are cached, so the copy costs what they cost.
  if (cache_->outside.load(std::memory_order_acquire) > 0) {
    auto copy = std::make_shared<Generation>();
    copy->snapshots.reserve(cache_->snapshots.capacity());
    copy->snapshots = cache_->snapshots;
    cache_ = std::move(copy);
  }
  return cache_->snapshots;
}

void SnapshotStore::resetCache() {
  if (!cache_->snapshots.empty() || cache_->outside.load(std::memory_order_acquire) > 0)
    cache_ = std::make_shared<Generation>();
  newest_.clear();
}

void SnapshotStore::noteNewest(const UsageSnapshot* from, const UsageSnapshot* to) {
  for (const UsageSnapshot* s = from; s != to; ++s) {
    auto [it, inserted] = newest_.try_emplace({s->provider, s->windowKind}, *s);
    if (!inserted && s->timestamp >= it->second.timestamp) it->second = *s;
  }
}

size_t SnapshotStore::decodeKept(std::string_view paddedText, std::vector<UsageSnapshot>& out) {
  const size_t before = out.size();
  JSONLines::decodePaddedLines(paddedText, out);
  stats_.bytesDecoded += static_cast<int64_t>(paddedText.size());
  decodedSinceCheckpoint_ += static_cast<int64_t>(paddedText.size());
  if (cacheSince_ && *cacheSince_ != Timestamp::min()) {
    const Timestamp since = *cacheSince_;
    out.erase(std::remove_if(out.begin() + static_cast<std::ptrdiff_t>(before), out.end(),
                             [since](const UsageSnapshot& s) { return s.timestamp < since; }),
              out.end());
  }
  return out.size() - before;
}

bool SnapshotStore::refreshLocked(std::optional<Timestamp> since) {
  const auto forget = [this](const FileKey& key) {
    resetCache();
    cacheKey_ = key;
    lastLineStart_ = 0;
    lastLineRecords_ = 0;
    tailStart_ = 0;
    tail_.clear();
    head_.clear();
  };
  const auto makeKey = [](const struct stat& st) {
    return FileKey{st.st_dev, st.st_ino, int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec,
                   static_cast<int64_t>(st.st_size)};
  };
  // Asked for earlier lines than the cache holds: read back again.
  const bool reachBack = since && cacheSince_ && *since < *cacheSince_;
  if (reachBack || !cacheSince_) {
    cacheKey_.reset();
    cacheSince_ = since;  // none: found from the newest line
  }

  auto file = ReadableFile::open(url_, kNoFileSizeBound);
  if (!file) {
    struct stat st {};
    if (::stat(url_.c_str(), &st) != 0) {
      const bool missing = errno == ENOENT;
      forget(FileKey{});
      return missing;
    }
    forget(S_ISREG(st.st_mode) ? makeKey(st) : FileKey{});
    return false;
  }
  const FileKey key = makeKey(file->status());
  // About to read back from the end: an earlier process may have saved what that gives.
  if (!cacheKey_) (void)adoptCheckpoint(file->fd(), key, cacheSince_);
  bool ok = cacheKey_ && *cacheKey_ == key;
  if (!ok && cacheKey_ && cacheKey_->device == key.device && cacheKey_->inode == key.inode &&
      key.size > cacheKey_->size && tailStart_ >= 0 && cacheKey_->size > 0)
    ok = readGrowth(file->fd(), key);
  if (!ok) ok = readBackwards(file->fd(), key, cacheSince_);
  if (!ok) {
    forget(key);
    return false;
  }
  if (since && cacheSince_ && *cacheSince_ != Timestamp::min() && secondsBetween(*cacheSince_, *since) > kTrimSeconds)
    trimLocked(*since);
  saveCheckpointIfDue();
  return true;
}

bool SnapshotStore::adoptCheckpoint(int fd, const FileKey& key, std::optional<Timestamp> since) {
  auto bytes = readWholeFile(checkpointPath_, SnapshotCheckpointFile::kMaxBytes);
  if (!bytes) return false;
  auto saved = SnapshotCheckpointFile::decode(*bytes);
  bytes.reset();
  if (!saved || saved->device != static_cast<uint64_t>(key.device) || saved->inode != static_cast<uint64_t>(key.inode) ||
      saved->size > key.size || saved->tailStart < 0)
    return false;
  // It must hold every line asked for; a whole-file read is never taken from it.
  if (since && (*since == Timestamp::min() || saved->since > *since)) return false;
  if (saved->since == Timestamp::min()) return false;
  // The file must still have the bytes the state was read from (size and
  // modification time alone miss a rewrite in place that put the time back).
  const auto sameBytes = [fd](int64_t offset, const std::string& expected) {
    std::string now(expected.size(), '\0');
    return preadAll(fd, now.data(), static_cast<int64_t>(now.size()), offset) == static_cast<int64_t>(now.size()) &&
           now == expected;
  };
  if (!sameBytes(0, saved->head) || !sameBytes(saved->tailStart, saved->tail)) return false;

  auto fresh = std::make_shared<Generation>();
  fresh->snapshots = std::move(saved->snapshots);
  cache_ = std::move(fresh);
  newest_.clear();
  noteNewest(cache_->snapshots.data(), cache_->snapshots.data() + cache_->snapshots.size());
  cacheKey_ = FileKey{static_cast<dev_t>(saved->device), static_cast<ino_t>(saved->inode), saved->mtimeNanos, saved->size};
  cacheSince_ = saved->since;
  lastLineStart_ = saved->lastLineStart;
  lastLineRecords_ = static_cast<size_t>(saved->lastLineRecords);
  tailStart_ = saved->tailStart;
  tail_ = std::move(saved->tail);
  head_ = std::move(saved->head);
  decodedSinceCheckpoint_ = 0;
  ++stats_.checkpointsLoaded;
  return true;
}

void SnapshotStore::saveCheckpointIfDue() {
  // Whole-file reads (all()) are not worth saving; nor is an unread or torn state.
  if (decodedSinceCheckpoint_ < kCheckpointBytes || !cacheKey_ || !cacheSince_ || *cacheSince_ == Timestamp::min() ||
      tailStart_ < 0 || cacheKey_->size == 0)
    return;
  SnapshotCheckpoint state;
  state.device = static_cast<uint64_t>(cacheKey_->device);
  state.inode = static_cast<uint64_t>(cacheKey_->inode);
  state.mtimeNanos = cacheKey_->mtimeNanos;
  state.size = cacheKey_->size;
  state.since = *cacheSince_;
  state.lastLineStart = lastLineStart_;
  state.lastLineRecords = lastLineRecords_;
  state.tailStart = tailStart_;
  state.tail = tail_;
  state.head = head_;
  std::string bytes = SnapshotCheckpointFile::encode(state, cache_->snapshots);
  decodedSinceCheckpoint_ = 0;
  ++stats_.checkpointsSaved;
  // The write (and its fsync) on its own thread: readers never wait for the disk.
  checkpointQueue_.async([path = checkpointPath_, bytes = std::move(bytes)] {
    if (!writeFileAtomically(path, bytes, 0600))
      AppLogger::shared().warn("Snapshot checkpoint not saved: " + writeFailureText(path, errno));
  });
}

void SnapshotStore::dropCheckpoint() {
  checkpointQueue_.async([path = checkpointPath_] {
    std::error_code ec;
    std::filesystem::remove(path, ec);
  });
}

bool SnapshotStore::readBackwards(int fd, const FileKey& key, std::optional<Timestamp> since) {
  const bool whole = since && *since == Timestamp::min();
  std::vector<std::vector<UsageSnapshot>> blocks;  // newest first
  int64_t pos = key.size;
  int64_t blockBytes = kBlockBytes;
  bool first = true;
  size_t lastRecords = 0;
  int64_t lastStart = 0;
  std::string tail;
  int64_t tailFrom = 0;
  cacheSince_ = since;
  while (pos > 0) {
    const int64_t start = whole ? 0 : std::max<int64_t>(0, pos - blockBytes);
    PaddedBuffer buf(pos - start);
    const int64_t got = preadAll(fd, buf.data.get(), pos - start, start);
    if (got != pos - start) return false;
    const char* text = buf.data.get();  // byte i is file offset start + i
    int64_t from = start;
    if (start > 0) {
      const int64_t end = firstLineEnd(text, got);
      if (end < 0 || end == got) {  // no whole line in the block: take a bigger one
        blockBytes *= 2;
        continue;
      }
      from = start + end;
    }
    std::vector<UsageSnapshot> records;
    if (first) {
      lastStart = from + lastLineStart(text + (from - start), pos - from);
      // The span is measured from the newest line; decode the block before filtering.
      const auto saved = cacheSince_;
      cacheSince_ = Timestamp::min();
      decodeKept(std::string_view(text + (from - start), static_cast<size_t>(lastStart - from)), records);
      const size_t beforeLast = records.size();
      decodeKept(std::string_view(text + (lastStart - start), static_cast<size_t>(pos - lastStart)), records);
      cacheSince_ = saved;
      if (!cacheSince_ && !records.empty()) {
        Timestamp newestTime = records.front().timestamp;
        for (const auto& r : records) newestTime = std::max(newestTime, r.timestamp);
        cacheSince_ = addSeconds(newestTime, -kDefaultSpanSeconds);
      }
      const Timestamp bound = cacheSince_.value_or(Timestamp::min());
      auto keptEnd = std::remove_if(records.begin() + static_cast<std::ptrdiff_t>(beforeLast), records.end(),
                                    [bound](const UsageSnapshot& s) { return s.timestamp < bound; });
      lastRecords = static_cast<size_t>(keptEnd - (records.begin() + static_cast<std::ptrdiff_t>(beforeLast)));
      records.erase(keptEnd, records.end());
      records.erase(std::remove_if(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(beforeLast),
                                   [bound](const UsageSnapshot& s) { return s.timestamp < bound; }),
                    records.begin() + static_cast<std::ptrdiff_t>(beforeLast));
      tailFrom = std::max(start, std::min(lastStart, key.size - kTailCheckBytes));
      tail.assign(text + (tailFrom - start), static_cast<size_t>(key.size - tailFrom));
      if (key.size - lastStart > kMaxTailBytes) tailFrom = -1;
      first = false;
    } else {
      // Decoded unfiltered to see whether the whole block is older than wanted.
      const auto saved = cacheSince_;
      cacheSince_ = Timestamp::min();
      decodeKept(std::string_view(text + (from - start), static_cast<size_t>(pos - from)), records);
      cacheSince_ = saved;
      bool older = cacheSince_ && !records.empty();
      if (older) {
        const Timestamp stop = addSeconds(*cacheSince_, -kOrderSlackSeconds);
        for (const auto& r : records)
          if (r.timestamp >= stop) {
            older = false;
            break;
          }
      }
      if (cacheSince_) {
        const Timestamp bound = *cacheSince_;
        records.erase(std::remove_if(records.begin(), records.end(),
                                     [bound](const UsageSnapshot& s) { return s.timestamp < bound; }),
                      records.end());
      }
      blocks.push_back(std::move(records));
      if (older) break;
      pos = from;
      continue;
    }
    blocks.push_back(std::move(records));
    pos = from;
  }

  // The file's first bytes, for telling growth from a rewrite in place later.
  head_.assign(static_cast<size_t>(std::min(key.size, kHeadCheckBytes)), '\0');
  if (preadAll(fd, head_.data(), static_cast<int64_t>(head_.size()), 0) != static_cast<int64_t>(head_.size()))
    return false;
  auto fresh = std::make_shared<Generation>();
  size_t total = 0;
  for (const auto& b : blocks) total += b.size();
  // Headroom for appends: growing in place must not move every cached record.
  fresh->snapshots.reserve(total + total / 2 + 1024);
  for (auto it = blocks.rbegin(); it != blocks.rend(); ++it)
    std::move(it->begin(), it->end(), std::back_inserter(fresh->snapshots));
  cache_ = std::move(fresh);
  newest_.clear();
  noteNewest(cache_->snapshots.data(), cache_->snapshots.data() + cache_->snapshots.size());
  if (!cacheSince_) cacheSince_ = Timestamp::min();  // nothing decoded: an empty or unreadable-lines file

  cacheKey_ = key;
  lastLineStart_ = lastStart;
  lastLineRecords_ = lastRecords;
  if (key.size == 0 || tailFrom < 0) {
    tailStart_ = key.size == 0 ? 0 : -1;
    tail_.clear();
  } else {
    tailStart_ = tailFrom;
    tail_ = std::move(tail);
  }
  ++stats_.fullDecodes;
  return true;
}

bool SnapshotStore::readGrowth(int fd, const FileKey& key) {
  std::string head(static_cast<size_t>(std::min(key.size, kHeadCheckBytes)), '\0');
  const int64_t headGot = preadAll(fd, head.data(), static_cast<int64_t>(head.size()), 0);
  if (headGot < static_cast<int64_t>(head_.size()) || head.compare(0, head_.size(), head_) != 0) return false;
  const int64_t from = tailStart_;
  PaddedBuffer buf(key.size - from);
  const int64_t got = preadAll(fd, buf.data.get(), key.size - from, from);
  const int64_t oldSize = cacheKey_->size;
  if (got < oldSize - from || std::memcmp(buf.data.get(), tail_.data(), tail_.size()) != 0) return false;
  std::memset(buf.data.get() + got, 0, JSONLines::kReadPadding);
  const char* text = buf.data.get();  // byte i is file offset from + i
  const int64_t end = from + got;
  int64_t start = from + lastLineStart(text, got);
  if (start < lastLineStart_) start = lastLineStart_;

  auto& cache = mutableCache();
  cache.resize(cache.size() - lastLineRecords_);
  const size_t firstNew = cache.size();
  decodeKept(std::string_view(text + (lastLineStart_ - from), static_cast<size_t>(start - lastLineStart_)), cache);
  const size_t lastRecords = decodeKept(std::string_view(text + (start - from), static_cast<size_t>(end - start)), cache);
  noteNewest(cache.data() + firstNew, cache.data() + cache.size());

  FileKey readKey = key;
  readKey.size = end;
  cacheKey_ = readKey;
  lastLineStart_ = start;
  rememberTail(text, from, end, lastRecords);
  head.resize(static_cast<size_t>(std::min(headGot, end)));
  head_ = std::move(head);
  ++stats_.incrementalDecodes;
  return true;
}

void SnapshotStore::trimLocked(Timestamp since) {
  const auto& old = cache_->snapshots;
  const size_t lastFrom = old.size() - lastLineRecords_;
  auto fresh = std::make_shared<Generation>();
  fresh->snapshots.reserve(old.size() + old.size() / 2 + 1024);
  size_t lastKept = 0;
  for (size_t i = 0; i < old.size(); ++i) {
    if (old[i].timestamp < since) continue;
    fresh->snapshots.push_back(old[i]);
    if (i >= lastFrom) ++lastKept;
  }
  cache_ = std::move(fresh);
  cacheSince_ = since;
  lastLineRecords_ = lastKept;
  newest_.clear();
  noteNewest(cache_->snapshots.data(), cache_->snapshots.data() + cache_->snapshots.size());
}

void SnapshotStore::rememberTail(const char* buf, int64_t bufOffset, int64_t size, size_t lastLineRecords) {
  lastLineRecords_ = lastLineRecords;
  if (size - lastLineStart_ > kMaxTailBytes) {
    tailStart_ = -1;  // growth re-reads everything
    tail_.clear();
    return;
  }
  tailStart_ = std::max(bufOffset, std::min(lastLineStart_, size - kTailCheckBytes));
  tail_.assign(buf + (tailStart_ - bufOffset), static_cast<size_t>(size - tailStart_));
}

// ---- streaming ------------------------------------------------------------------

namespace {

// Calls `lines` with each run of whole lines of the file (padded for the
// decoder), up to the last line terminator before `limit`, and with the rest
// when `includeTorn`; returns the offset just after the last whole line, or -1
// on a read error.
int64_t streamLines(int fd, int64_t from, int64_t limit, bool includeTorn,
                    const std::function<void(std::string_view padded)>& lines) {
  int64_t pos = from;
  int64_t blockBytes = kBlockBytes;
  while (pos < limit) {
    const int64_t len = std::min(blockBytes, limit - pos);
    PaddedBuffer buf(len);
    const int64_t got = preadAll(fd, buf.data.get(), len, pos);
    if (got < 0) return -1;
    if (got == 0) break;
    std::memset(buf.data.get() + got, 0, JSONLines::kReadPadding);
    const int64_t whole = lastLineStart(buf.data.get(), got);
    const bool atEnd = pos + got >= limit;
    if (whole == 0 && !atEnd) {  // a line longer than the block
      blockBytes *= 2;
      continue;
    }
    if (atEnd && includeTorn) {
      lines(std::string_view(buf.data.get(), static_cast<size_t>(got)));
      return pos + whole;
    }
    if (whole > 0) lines(std::string_view(buf.data.get(), static_cast<size_t>(whole)));
    pos += whole;
    blockBytes = kBlockBytes;
    if (atEnd) break;
  }
  return pos;
}

int openForReading(const std::filesystem::path& path, struct stat& st) {
  // O_NONBLOCK: a FIFO at the path must not hang the open.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return -1;
  }
  return fd;
}

}  // namespace

bool SnapshotStore::forEachByTime(const std::function<void(size_t count)>& count,
                                  const std::function<void(const UsageSnapshot&)>& each) const {
  struct stat st {};
  int fd = openForReading(url_, st);
  if (fd < 0) {
    const bool missing = errno == ENOENT;
    if (missing && count) count(0);
    return missing;
  }
  const int64_t size = st.st_size;
  size_t n = 0;
  bool ordered = true;
  std::optional<Timestamp> previous;
  std::vector<UsageSnapshot> chunk;
  const int64_t read1 = streamLines(fd, 0, size, true, [&](std::string_view padded) {
    chunk.clear();
    JSONLines::decodePaddedLines(padded, chunk);
    n += chunk.size();
    for (const auto& s : chunk) {
      if (previous && s.timestamp < *previous) ordered = false;
      previous = s.timestamp;
    }
  });
  if (read1 < 0) {
    ::close(fd);
    return false;
  }
  if (!ordered) {
    // Out of order: the whole list is needed to sort it.
    std::vector<UsageSnapshot> rows;
    rows.reserve(n);
    (void)streamLines(fd, 0, size, true, [&](std::string_view padded) { JSONLines::decodePaddedLines(padded, rows); });
    ::close(fd);
    std::stable_sort(rows.begin(), rows.end(),
                     [](const UsageSnapshot& a, const UsageSnapshot& b) { return a.timestamp < b.timestamp; });
    if (count) count(rows.size());
    for (const auto& s : rows) each(s);
    return true;
  }
  if (count) count(n);
  size_t sent = 0;
  const int64_t read2 = streamLines(fd, 0, size, true, [&](std::string_view padded) {
    chunk.clear();
    JSONLines::decodePaddedLines(padded, chunk);
    for (const auto& s : chunk)
      if (sent++ < n) each(s);
  });
  ::close(fd);
  return read2 >= 0;
}

// ---- rewriting ------------------------------------------------------------------

namespace {

// The kept lines of one run of decoded text, re-encoded.
void keepInto(std::string& out, std::string_view padded, Timestamp cutoff, std::vector<UsageSnapshot>& scratch) {
  scratch.clear();
  JSONLines::decodePaddedLines(padded, scratch);
  for (const auto& s : scratch) {
    if (s.timestamp < cutoff) continue;
    if (auto line = encodedLine(s)) out += *line;
  }
}

}  // namespace

void SnapshotStore::pruneCopying(int retentionDays, Timestamp now) {
  const Timestamp cutoff = addSeconds(now, -static_cast<double>(retentionDays) * 86400.0);
  struct stat st {};
  int fd = openForReading(url_, st);
  // A missing file has nothing to prune; one that cannot be read must not be replaced by nothing.
  if (fd < 0) return;
  AtomicFileWriter writer(url_, st.st_mode & 07777);
  std::string out;
  std::vector<UsageSnapshot> scratch;
  // Unlocked: the bulk of the file. Appends meanwhile only add lines after `copied`.
  const int64_t copied = streamLines(fd, 0, st.st_size, false, [&](std::string_view padded) {
    keepInto(out, padded, cutoff, scratch);
    writer.write(out);
    out.clear();
  });
  ::close(fd);
  if (copied < 0) return;
  writer.sync();
  if (!writer.ok()) {
    AppLogger::shared().error("Snapshot rewrite failed: " + writeFailureText(url_, errno));
    return;
  }

  // On the writer: this process's own appends wait only for this short step.
  writeQueue_.sync([&] { pruneFinishing(writer, st, copied, cutoff); });
}

void SnapshotStore::pruneFinishing(AtomicFileWriter& writer, const struct stat& st, int64_t copied, Timestamp cutoff) {
  FileLock lock(lockPath_, lockWait());
  noteLock(lock, "prune skipped");
  if (lock.timedOut()) return;
  std::string out;
  std::vector<UsageSnapshot> scratch;
  struct stat now2 {};
  int fd = openForReading(url_, now2);
  if (fd < 0) return;
  if (now2.st_dev != st.st_dev || now2.st_ino != st.st_ino || now2.st_size < copied) {
    // Rewritten or cut by someone else meanwhile: what was copied is no longer the file.
    ::close(fd);
    AppLogger::shared().warn("Snapshot prune skipped: the file was replaced while it was copied");
    return;
  }
  const int64_t rest = streamLines(fd, copied, now2.st_size, true, [&](std::string_view padded) {
    keepInto(out, padded, cutoff, scratch);
    writer.write(out);
    out.clear();
  });
  ::close(fd);
  if (rest < 0) return;
  if (!writer.commit()) {
    AppLogger::shared().error("Snapshot rewrite failed: " + writeFailureText(url_, errno));
    return;
  }
  dropCheckpoint();
}

void SnapshotStore::clearLocked() {
  FileLock lock(lockPath_, lockWait());
  noteLock(lock, "clear skipped");
  if (lock.timedOut()) return;
  struct stat st {};
  const mode_t mode = ::stat(url_.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  if (!writeFileAtomically(url_, "", mode)) {
    AppLogger::shared().error("Snapshot rewrite failed: " + writeFailureText(url_, errno));
    return;
  }
  dropCheckpoint();
}

void SnapshotStore::prune(int retentionDays, Timestamp now) {
  pruneQueue_.sync([&] { pruneCopying(retentionDays, now); });
}

void SnapshotStore::pruneAsync(int retentionDays, Timestamp now, std::function<void()> done) {
  pruneQueue_.async([this, retentionDays, now, done = std::move(done)] {
    pruneCopying(retentionDays, now);
    if (done) done();
  });
}

void SnapshotStore::clear() {
  writeQueue_.sync([&] { clearLocked(); });
}

void SnapshotStore::clearAsync(std::function<void()> done) {
  writeQueue_.async([this, done = std::move(done)] {
    clearLocked();
    if (done) done();
  });
}

// ---- export ---------------------------------------------------------------------

void SnapshotStore::exportCSVAsync(std::optional<std::filesystem::path> to,
                                   std::function<void(std::optional<std::filesystem::path>)> done) {
  pruneQueue_.async([this, to = std::move(to), done = std::move(done)]() mutable {
    auto written = exportCSV(std::move(to));
    if (done) done(std::move(written));
  });
}

std::optional<std::filesystem::path> SnapshotStore::exportCSV(std::optional<std::filesystem::path> to) {
  if (!to) LocalFileStore::ensureDirectories();
  const auto target = to.value_or(LocalFileStore::baseDirectory() / "quotadial-export.csv");
  errno = 0;
  AtomicFileWriter writer(target);
  std::string out = kCSVHeader;
  const bool read = forEachByTime({}, [&](const UsageSnapshot& s) {
    appendSnapshotCSVRow(out, s);
    if (out.size() >= static_cast<size_t>(kBlockBytes)) {
      writer.write(out);
      out.clear();
    }
  });
  writer.write(out);
  if (!read || !writer.commit()) {
    const int err = errno ? errno : EIO;
    AppLogger::shared().error(std::string("CSV export failed: ") + std::strerror(err));
    return std::nullopt;
  }
  return target;
}

}  // namespace qd
