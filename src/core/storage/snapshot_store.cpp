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

std::string snapshotsCSV(const std::vector<UsageSnapshot>& rows) {
  std::string out = "timestamp,provider,window,usedPercent,remainingPercent,resetAt,model,effort,speed,plan,source,confidence\n";
  for (const auto& s : rows) {
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
  return out;
}

SnapshotStore::SnapshotStore(std::filesystem::path url)
    : url_(std::move(url)), lockPath_(url_.string() + ".lock"), cache_(std::make_shared<Generation>()) {
  std::error_code ec;
  if (url_.has_parent_path()) std::filesystem::create_directories(url_.parent_path(), ec);
  if (url_.parent_path() == LocalFileStore::baseDirectory()) LocalFileStore::ensureDirectories();
}

SnapshotStore::~SnapshotStore() = default;

// ---- appending ------------------------------------------------------------------

void SnapshotStore::append(const UsageSnapshot& snapshot) {
  auto encoded = JSONLines::encodeLine(snapshot);
  if (!encoded) return;
  std::replace(encoded->begin(), encoded->end(), '\n', ' ');
  encoded->push_back('\n');
  queue_.sync([&] {
    FileLock lock(lockPath_);
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
    std::string_view bytes = *encoded;
    std::string separated;
    char last = '\n';
    if (before > 0 && ::pread(fd, &last, 1, before - 1) == 1 && last != '\n' && last != '\r') {
      separated = "\n" + *encoded;
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
  });
}

void SnapshotStore::append(const std::vector<UsageSnapshot>& snapshots) {
  for (const auto& s : snapshots) append(s);
}

// ---- reading --------------------------------------------------------------------

std::shared_ptr<const std::vector<UsageSnapshot>> SnapshotStore::all() {
  return queue_.sync([this]() -> std::shared_ptr<const std::vector<UsageSnapshot>> {
    refreshLocked();
    return publish();
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
  // Someone still holds the published list: change a copy instead.
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
}

bool SnapshotStore::refreshLocked() {
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
  if (cacheKey_ && *cacheKey_ == key) return true;
  bool ok = false;
  if (cacheKey_ && cacheKey_->device == key.device && cacheKey_->inode == key.inode &&
      key.size > cacheKey_->size && tailStart_ >= 0 && cacheKey_->size > 0)
    ok = readGrowth(file->fd(), key);
  if (!ok) ok = readFull(file->fd(), key);
  if (!ok) forget(key);
  return ok;
}

bool SnapshotStore::readFull(int fd, const FileKey& key) {
  PaddedBuffer buf(key.size);
  const int64_t got = preadAll(fd, buf.data.get(), key.size, 0);
  if (got < 0) return false;
  std::memset(buf.data.get() + got, 0, JSONLines::kReadPadding);
  const char* text = buf.data.get();
  const int64_t start = lastLineStart(text, got);

  head_.assign(text, static_cast<size_t>(std::min(got, kHeadCheckBytes)));
  auto fresh = std::make_shared<Generation>();
  size_t lines = 0;
  for (const char* p = text; (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(text + got - p))));
       ++p)
    ++lines;
  // Headroom for appends: growing in place must not move every cached record.
  fresh->snapshots.reserve(lines + lines / 2 + 1024);
  JSONLines::decodePaddedLines(std::string_view(text, static_cast<size_t>(start)), fresh->snapshots);
  const size_t lastRecords = JSONLines::decodePaddedLines(
      std::string_view(text + start, static_cast<size_t>(got - start)), fresh->snapshots);
  cache_ = std::move(fresh);

  FileKey readKey = key;
  readKey.size = got;
  cacheKey_ = readKey;
  lastLineStart_ = start;
  rememberTail(text, 0, got, lastRecords);
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
  JSONLines::decodePaddedLines(std::string_view(text + (lastLineStart_ - from), static_cast<size_t>(start - lastLineStart_)),
                               cache);
  const size_t lastRecords =
      JSONLines::decodePaddedLines(std::string_view(text + (start - from), static_cast<size_t>(end - start)), cache);

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

// ---- rewriting ------------------------------------------------------------------

void SnapshotStore::rewriteLocked(const std::vector<UsageSnapshot>& kept) {
  std::string text;
  text.reserve(kept.size() * 400);
  for (const auto& s : kept) {
    auto line = JSONLines::encodeLine(s);
    if (!line) continue;
    std::replace(line->begin(), line->end(), '\n', ' ');
    text += *line;
    text += '\n';
  }
  struct stat st {};
  const mode_t mode = ::stat(url_.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  if (!writeFileAtomically(url_, text, mode))
    AppLogger::shared().warn(std::string("Snapshot rewrite failed: ") + std::strerror(errno ? errno : EIO));
  // The renamed file has a new identity; the next read decodes it afresh.
  cacheKey_.reset();
}

void SnapshotStore::prune(int retentionDays, Timestamp now) {
  queue_.sync([&] {
    FileLock lock(lockPath_);
    // An existing file that cannot be read must not be replaced by nothing.
    if (!refreshLocked()) return;
    const Timestamp cutoff = addSeconds(now, -static_cast<double>(retentionDays) * 86400.0);
    std::vector<UsageSnapshot> kept;
    kept.reserve(cache_->snapshots.size());
    for (const auto& s : cache_->snapshots)
      if (s.timestamp >= cutoff) kept.push_back(s);
    rewriteLocked(kept);
  });
}

void SnapshotStore::clear() {
  queue_.sync([&] {
    FileLock lock(lockPath_);
    rewriteLocked({});
  });
}

// ---- export ---------------------------------------------------------------------

std::optional<std::filesystem::path> SnapshotStore::exportCSV(std::optional<std::filesystem::path> to) {
  if (!to) LocalFileStore::ensureDirectories();
  const auto target = to.value_or(LocalFileStore::baseDirectory() / "quotadial-export.csv");
  const auto everything = all();
  std::vector<UsageSnapshot> rows(everything->begin(), everything->end());
  std::stable_sort(rows.begin(), rows.end(),
                   [](const UsageSnapshot& a, const UsageSnapshot& b) { return a.timestamp < b.timestamp; });
  errno = 0;
  if (!writeFileAtomically(target, snapshotsCSV(rows))) {
    const int err = errno ? errno : EIO;
    AppLogger::shared().error(std::string("CSV export failed: ") + std::strerror(err));
    return std::nullopt;
  }
  return target;
}

}  // namespace qd
