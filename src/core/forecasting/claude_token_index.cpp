#include "forecasting/claude_token_index.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <unordered_set>

#include "forecasting/transcript_files.h"
#include "storage/file_reading.h"

namespace qd {

namespace {

bool beats(int64_t tokens, int64_t timeUs, uint64_t seq, const auto& other) {
  if (tokens != other.tokens) return tokens > other.tokens;
  if (timeUs != other.timeUs) return timeUs < other.timeUs;
  return seq < other.seq;
}

}  // namespace

ClaudeTokenIndex::ClaudeTokenIndex(std::string projectsDirectory, TranscriptTreeWatcher::Watching watching)
    : directory_(std::move(projectsDirectory)), watcher_({directory_}, watching) {}

size_t ClaudeTokenIndex::eventCount() const {
  size_t n = 0;
  for (const auto& [path, f] : files_) n += f.events.size();
  return n;
}

void ClaudeTokenIndex::offerBest(const Event& e, FileState* file) {
  if (e.key == 0) return;
  auto [it, inserted] = best_.try_emplace(e.key, Best{e.tokens, e.timeUs, e.seq, file});
  if (!inserted && beats(e.tokens, e.timeUs, e.seq, it->second)) {
    // The displaced event stops counting: its file's sums are stale.
    it->second.file->suffixGeneration = 0;
    it->second = Best{e.tokens, e.timeUs, e.seq, file};
  }
}

void ClaudeTokenIndex::rebuildBest() {
  best_.clear();
  for (auto& [path, f] : files_)
    for (const Event& e : f.events) offerBest(e, &f);
  ++generation_;
}

bool ClaudeTokenIndex::counts(const Event& e) const {
  if (e.key == 0) return true;
  auto it = best_.find(e.key);
  return it != best_.end() && it->second.seq == e.seq;
}

void ClaudeTokenIndex::dropEvents(FileState& state) {
  bool hadKeyed = false;
  for (const Event& e : state.events) hadKeyed |= e.key != 0;
  state.events.clear();
  state.tail.clear();
  state.suffix.clear();
  state.committed = 0;
  if (hadKeyed) rebuildBest();
}

void ClaudeTokenIndex::readFile(FileState& state, const std::string& path, bool fromStart) {
  if (fromStart) dropEvents(state);
  state.tail.clear();
  state.invalid = false;
  auto file = ReadableFile::open(path, kNoFileSizeBound);
  if (!file) {
    dropEvents(state);
    state.invalid = true;
    return;
  }
  const int fd = file->fd();
  if (state.committed > 0 && ::lseek(fd, state.committed, SEEK_SET) != state.committed) {
    dropEvents(state);
    state.invalid = true;
    return;
  }
  if (!reader_) reader_ = std::make_unique<TranscriptReader>();
  const size_t before = state.events.size();
  std::vector<Event> tail;
  auto outcome = reader_->read(fd, state.committed, TranscriptRule::claude,
                               [&](const TranscriptLineUsage& u, bool isTail) {
                                 if (!u.time) return;
                                 Event e{u.time->time_since_epoch().count(), u.tokens, u.dedupKey, nextSeq_++};
                                 (isTail ? tail : state.events).push_back(e);
                               });
  file.reset();
  ++lastFilesRead_;
  lastBytesRead_ += outcome.endOffset - state.committed;
  if (!outcome.readOK) {
    dropEvents(state);
    state.invalid = true;
    return;
  }
  state.committed = outcome.committedOffset;
  state.tail = std::move(tail);
  if (state.events.size() != before) {
    auto byTime = [](const Event& a, const Event& b) {
      return a.timeUs != b.timeUs ? a.timeUs < b.timeUs : a.seq < b.seq;
    };
    if (!std::is_sorted(state.events.begin() + static_cast<ptrdiff_t>(before), state.events.end(), byTime) ||
        (before > 0 && byTime(state.events[before], state.events[before - 1])))
      std::sort(state.events.begin(), state.events.end(), byTime);
    for (size_t i = before; i < state.events.size(); ++i) offerBest(state.events[i], &state);
    state.suffixGeneration = 0;
  }
}

void ClaudeTokenIndex::apply(const TranscriptFileInfo& info, double mtimeFloor) {
  auto [it, inserted] = files_.try_emplace(info.path);
  FileState& f = it->second;
  f.seen = true;
  const bool replaced = !inserted && (f.device != info.device || f.inode != info.inode);
  const bool shrank = !inserted && info.size < f.size;
  const bool changed = inserted || replaced || shrank || info.size != f.size || info.mtime != f.mtime;
  if (!changed) return;
  const bool fromStart = inserted || replaced || shrank || f.invalid || f.skipped;
  f.device = info.device;
  f.inode = info.inode;
  f.size = info.size;
  f.mtime = info.mtime;
  if (info.mtime < mtimeFloor) {
    if (fromStart) dropEvents(f);
    f.skipped = true;
    return;
  }
  f.skipped = false;
  readFile(f, info.path, fromStart);
}

void ClaudeTokenIndex::remove(const std::string& path) {
  auto it = files_.find(path);
  if (it == files_.end()) return;
  bool keyed = false;
  for (const Event& e : it->second.events) keyed |= e.key != 0;
  files_.erase(it);
  // Best entries may have pointed at the removed file.
  if (keyed) rebuildBest();
}

namespace {

double floorOf(std::optional<Timestamp> since) {
  return since ? toUnixSeconds(*since) - 3600.0 : -std::numeric_limits<double>::infinity();
}

}  // namespace

void ClaudeTokenIndex::begin(double mtimeFloor) {
  lastFilesRead_ = 0;
  lastBytesRead_ = 0;
  // Files passed over earlier that this update reaches.
  for (auto& [path, f] : files_)
    if (f.skipped && f.mtime >= mtimeFloor) {
      f.skipped = false;
      readFile(f, path, true);
    }
}

void ClaudeTokenIndex::update(std::optional<Timestamp> since) {
  const double mtimeFloor = floorOf(since);
  begin(mtimeFloor);
  TranscriptTreeWatcher::Poll poll = watcher_.poll();
  if (!poll.listedAll()) {
    for (const auto& c : poll.changes) {
      if (c.present) apply(c.info, mtimeFloor);
      else remove(c.info.path);
    }
    return;
  }
  std::vector<TranscriptFileInfo> listing;
  listing.reserve(poll.changes.size());
  for (auto& c : poll.changes) listing.push_back(std::move(c.info));
  applyListing(listing, mtimeFloor);
}

void ClaudeTokenIndex::update(std::optional<Timestamp> since, const std::vector<TranscriptFileInfo>& listing) {
  const double mtimeFloor = floorOf(since);
  begin(mtimeFloor);
  applyListing(listing, mtimeFloor);
}

void ClaudeTokenIndex::applyListing(const std::vector<TranscriptFileInfo>& listing, double mtimeFloor) {
  for (auto& [path, f] : files_) f.seen = false;
  for (const auto& info : listing) apply(info, mtimeFloor);
  bool removedKeyed = false;
  for (auto it = files_.begin(); it != files_.end();) {
    if (it->second.seen) {
      ++it;
      continue;
    }
    for (const Event& e : it->second.events) removedKeyed |= e.key != 0;
    it = files_.erase(it);
  }
  // Best entries may have pointed at a removed file.
  if (removedKeyed) rebuildBest();
}

int64_t ClaudeTokenIndex::tokensSince(Timestamp since) {
  const int64_t sinceUs = since.time_since_epoch().count();
  const double mtimeFloor = toUnixSeconds(since) - 3600.0;
  int64_t total = 0;
  std::unordered_set<uint64_t> tailKeys;
  for (auto& [path, f] : files_) {
    if (f.invalid || f.mtime < mtimeFloor) continue;
    if (f.suffixGeneration != generation_ || f.suffix.size() != f.events.size() + 1) {
      f.suffix.assign(f.events.size() + 1, 0);
      for (size_t i = f.events.size(); i-- > 0;)
        f.suffix[i] = f.suffix[i + 1] + (counts(f.events[i]) ? f.events[i].tokens : 0);
      f.suffixGeneration = generation_;
    }
    auto first = std::lower_bound(f.events.begin(), f.events.end(), sinceUs,
                                  [](const Event& e, int64_t t) { return e.timeUs < t; });
    total += f.suffix[static_cast<size_t>(first - f.events.begin())];
    // A line still being written counts when its pair is not already counted elsewhere.
    for (const Event& e : f.tail) {
      if (e.timeUs < sinceUs) continue;
      if (e.key == 0) total += e.tokens;
      else if (!best_.count(e.key) && tailKeys.insert(e.key).second) total += e.tokens;
    }
  }
  return total;
}

}  // namespace qd
