#include "forecasting/usage_history.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unordered_map>

#include "forecasting/claude_token_index.h"
#include "forecasting/local_calendar.h"
#include "forecasting/pricing.h"
#include "forecasting/recent_figures.h"
#include "forecasting/transcript_files.h"
#include "forecasting/transcript_line_parser.h"
#include "forecasting/transcript_reader.h"
#include "forecasting/transcript_tree_watcher.h"
#include "storage/atomic_file.h"
#include "storage/file_reading.h"
#include "storage/local_file_store.h"
#include "utilities/ports/clock.h"
#include "utilities/local_time.h"
#include "utilities/ports/main_loop.h"

namespace qd {

namespace {

constexpr double kScanWindowSeconds = 1'382'400;  // 16 days

size_t indexOf(Provider p) { return p == Provider::codex ? 0 : 1; }

int64_t satAdd(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

int64_t floorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// A line whose timestamp does not parse is keyed the old way: the first ten
// characters as the day, the digits at 11–12 shifted by the zone offset as the hour.
bool fallbackDay(const TranscriptLineUsage& u, std::string_view& day) {
  const std::string_view head = u.headText();
  if (head.size() < 10) return false;
  for (size_t i = 0; i < 10; ++i)
    if (static_cast<unsigned char>(head[i]) < 0x20 || static_cast<unsigned char>(head[i]) > 0x7e) return false;
  day = head.substr(0, 10);
  return true;
}

std::optional<int> fallbackHour(const TranscriptLineUsage& u, int tzOffsetHours) {
  if (u.timestampLength < 13) return std::nullopt;
  const char a = u.head[11], b = u.head[12];
  int value;
  if (a >= '0' && a <= '9' && b >= '0' && b <= '9') value = (a - '0') * 10 + (b - '0');
  else if ((a == '+' || a == '-') && b >= '0' && b <= '9') value = a == '-' ? -(b - '0') : (b - '0');
  else return std::nullopt;
  return ((value + tzOffsetHours) % 24 + 24) % 24;
}

// A first run (--usagetest on a fresh account) may come before anything made the folder.
void writeMakingFolder(const std::filesystem::path& file, std::string_view bytes) {
  std::error_code ec;
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
  (void)writeFileAtomically(file, bytes);
}

struct ParseTask {
  const TranscriptFileInfo* info = nullptr;
  TranscriptRule rule = TranscriptRule::claude;
};

constexpr size_t kMaxFallbackModelsPerFile = 8;

FileAgg parseFile(const TranscriptFileInfo& info, TranscriptRule rule, TranscriptReader& reader,
                  LocalCalendar::Cache& calendar, int tzOffsetHours, const std::string& keyedBy) {
  FileAgg agg;
  agg.size = info.size;
  agg.mtime = info.mtime;
  agg.provider = rule == TranscriptRule::claude ? "claude" : "codex";
  agg.keyedBy = keyedBy;
  auto file = ReadableFile::open(info.path, kNoFileSizeBound);
  if (!file) return agg;
  const int fd = file->fd();
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  std::unordered_map<uint64_t, KeyedUsage> keyed;
  auto addLoose = [&agg](std::string_view day, std::optional<int> hour, int64_t tokens, int64_t cost) {
    auto it = agg.byDay.find(day);
    if (it == agg.byDay.end()) it = agg.byDay.emplace(std::string(day), 0).first;
    it->second = satAdd(it->second, tokens);
    auto ct = agg.byDayCostNano.find(day);
    if (ct == agg.byDayCostNano.end()) ct = agg.byDayCostNano.emplace(std::string(day), 0).first;
    ct->second = satAdd(ct->second, cost);
    if (hour) agg.byHour[*hour] = satAdd(agg.byHour[*hour], tokens);
  };
  std::set<std::string, std::less<>> fallbacks;
  const auto outcome = reader.read(fd, 0, rule, [&](const TranscriptLineUsage& u, bool) {
    if (u.pricedByFallback && fallbacks.size() < kMaxFallbackModelsPerFile && !fallbacks.contains(u.model))
      fallbacks.emplace(u.model.empty() ? std::string_view("(no model named)") : u.model.substr(0, 80));
    if (u.time) {
      const int64_t secs = floorDiv(u.time->time_since_epoch().count(), 1'000'000);
      const LocalCalendar::DayHour& dh = calendar.at(secs);
      if (u.dedupKey != 0) {
        KeyedUsage k{u.dedupKey, *u.time, u.tokens, u.costNano, dh.day, dh.hour};
        auto [it, inserted] = keyed.try_emplace(u.dedupKey, k);
        if (!inserted && (k.tokens > it->second.tokens || (k.tokens == it->second.tokens && k.time < it->second.time)))
          it->second = k;
        return;
      }
      addLoose(dh.dayKey(), dh.hour, u.tokens, u.costNano);
      return;
    }
    std::string_view day;
    if (!fallbackDay(u, day)) return;
    addLoose(day, fallbackHour(u, tzOffsetHours), u.tokens, u.costNano);
  });
  if (!outcome.readOK) {
    // The file's figures are unreliable: cached with empty tables.
    agg.byDay.clear();
    agg.byHour.clear();
    agg.byDayCostNano.clear();
    return agg;
  }
  agg.fallbackModels.assign(fallbacks.begin(), fallbacks.end());
  agg.keyed.reserve(keyed.size());
  for (auto& [key, k] : keyed) {
    addLoose(k.dayKey(), k.hour, k.tokens, k.costNano);
    agg.keyed.push_back(k);
  }
  std::sort(agg.keyed.begin(), agg.keyed.end(), [](const KeyedUsage& a, const KeyedUsage& b) { return a.key < b.key; });
  return agg;
}

}  // namespace

UsageHistory::Options UsageHistory::Options::defaults() {
  Options o;
  o.claudeProjects = (LocalFileStore::claudeHome() / "projects").string();
  const auto codex = LocalFileStore::codexHome();
  o.codexDirectories = {(codex / "sessions").string(), (codex / "archived_sessions").string()};
  o.cacheFile = (LocalFileStore::baseDirectory() / "usage-history-cache.json").string();
  PriceList::Loaded prices = PriceList::load();
  o.prices = std::move(prices.list);
  o.priceNotes = std::move(prices.notes);
  return o;
}

UsageHistory::UsageHistory() : UsageHistory(Options::defaults()) {}

UsageHistory::UsageHistory(Options options) : options_(std::move(options)) {
  if (!options_.clock) options_.clock = &SystemClock::instance();
  tzOffsetHours_ = static_cast<int>(LocalTime::toLocal(now()).utcOffsetSeconds / 3600);
  tables_.store(std::make_shared<const UsageTables>());
  if (options_.figuresFile)
    figuresFile_ = *options_.figuresFile;
  else if (!options_.cacheFile.empty())
    figuresFile_ = (std::filesystem::path(options_.cacheFile).parent_path() / "usage-figures.json").string();
  const auto watching = options_.oneShot ? TranscriptTreeWatcher::Watching::no : TranscriptTreeWatcher::Watching::yes;
  index_ = std::make_unique<ClaudeTokenIndex>(options_.claudeProjects, watching);
  std::vector<std::string> roots = options_.codexDirectories;
  roots.push_back(options_.claudeProjects);
  watcher_ = std::make_unique<TranscriptTreeWatcher>(std::move(roots), watching);
  // Recent tables from the figures file spare loading the (much larger) cache.
  if (options_.reuseRecentFigures && takeUpRecentFigures()) return;
  loadCache();
  recompute();
}

void UsageHistory::loadCache() {
  cacheLoaded_ = true;
  if (auto loaded = UsageHistoryCache::load(options_.cacheFile)) {
    cache_ = std::move(*loaded);
  } else {
    // A cache file that does not decode is replaced by the next refresh.
    cacheDirty_ = true;
  }
}

bool UsageHistory::takeUpRecentFigures() {
  if (figuresFile_.empty()) return false;
  auto bytes = readWholeFile(figuresFile_, RecentFiguresFile::kMaxBytes);
  if (!bytes) return false;
  const Timestamp t = now();
  auto figures = RecentFiguresFile::decode(*bytes, recentFiguresKey(), t);
  if (!figures) return false;
  // Whatever their age: the freshness checks of the lookups decide on reuse.
  for (const auto& r : figures->rolling)
    if (secondsBetween(r.at, t) < rollRetain) rollCache_[r.minute] = RollEntry{r.at, r.value};
  if (figures->model) modelCache_ = std::make_pair(figures->model->checkedAt, std::move(figures->model->found));
  if (!figures->scannedAt || secondsBetween(*figures->scannedAt, t) > recentScanReuse) return false;
  scannedAt_ = figures->scannedAt;
  tables_.store(std::make_shared<const UsageTables>(std::move(figures->tables)));
  return true;
}

std::string UsageHistory::recentFiguresKey() const {
  std::string key = figuresKey() + "\nclaude " + options_.claudeProjects;
  for (const auto& d : options_.codexDirectories) key += "\ncodex " + d;
  return key;
}

void UsageHistory::writeRecentFigures() {
  if (figuresFile_.empty()) return;
  const Timestamp t = now();
  RecentFigures f;
  f.key = recentFiguresKey();
  f.scannedAt = scannedAt_;
  f.tables = *tables();
  std::map<int64_t, RecentFigures::RollingCount> rolling;
  for (const auto& [minute, e] : rollCache_) rolling[minute] = {minute, e.at, e.value};
  if (modelCache_) f.model = RecentFigures::ModelLookup{modelCache_->first, modelCache_->second};
  // The running program and one-shot reports share the file: each part keeps the
  // more recent of what is there and what this history knows.
  const auto onDisk = readWholeFile(figuresFile_, RecentFiguresFile::kMaxBytes);
  if (auto there = onDisk ? RecentFiguresFile::decode(*onDisk, f.key, t) : std::nullopt) {
    if (there->scannedAt && (!f.scannedAt || *there->scannedAt > *f.scannedAt)) {
      f.scannedAt = there->scannedAt;
      f.tables = std::move(there->tables);
    }
    for (const auto& r : there->rolling) {
      auto [it, inserted] = rolling.try_emplace(r.minute, r);
      if (!inserted && r.at > it->second.at) it->second = r;
    }
    if (there->model && (!f.model || there->model->checkedAt > f.model->checkedAt)) f.model = std::move(there->model);
  }
  for (const auto& [minute, r] : rolling)
    if (secondsBetween(r.at, t) < rollRetain) f.rolling.push_back(r);
  const std::string bytes = RecentFiguresFile::encode(f);
  if (onDisk && bytes == *onDisk) return;
  writeMakingFolder(figuresFile_, bytes);
}

const std::vector<TranscriptFileInfo>& UsageHistory::claudeListing() {
  // Long enough to span one report's scan, count and lookup; short enough that a
  // run kept going (a status bar's follow mode) never answers from an old listing.
  constexpr double kListingReuseSeconds = 5;
  const Timestamp t = now();
  if (!claudeListing_ || std::abs(secondsBetween(claudeListing_->first, t)) > kListingReuseSeconds) {
    std::vector<TranscriptFileInfo> files;
    listTranscriptFiles(options_.claudeProjects, [&](TranscriptFileInfo&& info) { files.push_back(std::move(info)); });
    claudeListing_ = std::make_pair(t, std::move(files));
  }
  return claudeListing_->second;
}

UsageHistory::~UsageHistory() = default;

Timestamp UsageHistory::now() const { return options_.clock->now(); }

void UsageHistory::setOnCacheUpdated(std::function<void()> callback) {
  std::lock_guard lock(callbackMutex_);
  onCacheUpdated_ = callback ? std::make_shared<std::function<void()>>(std::move(callback)) : nullptr;
}

void UsageHistory::deliver(std::function<void()> callback) {
  if (!callback) return;
  if (options_.mainLoop) options_.mainLoop->post(std::move(callback));
  else callback();
}

void UsageHistory::refresh(std::function<void()> completion) {
  queue_.async([this, completion = std::move(completion)]() mutable {
    refreshOnQueue();
    deliver(std::move(completion));
  });
}

void UsageHistory::rescan(std::function<void()> done) { refresh(std::move(done)); }

void UsageHistory::setOnChange(std::function<void()> onChange) { setOnCacheUpdated(std::move(onChange)); }

void UsageHistory::refreshSync() {
  queue_.sync([this] { refreshOnQueue(); });
}

void UsageHistory::refreshOnQueue() {
  // A one-shot report whose tables are as recent as that walks nothing.
  if (options_.reuseRecentFigures && scannedAt_ && secondsBetween(*scannedAt_, now()) <= recentScanReuse) return;
  if (!cacheLoaded_) {
    // The tables came from the figures file: they are made from the cache again.
    loadCache();
    cacheDirty_ = true;
  }
  scan();
  if (cacheDirty_) {
    recompute();
    writeCache();
    cacheDirty_ = false;
  }
  scannedAt_ = now();
  writeRecentFigures();
}

std::string UsageHistory::figuresKey() const {
  char prices[24];
  std::snprintf(prices, sizeof prices, "%016llx",
                static_cast<unsigned long long>(options_.prices ? options_.prices->fingerprint() : 0));
  return LocalTime::zoneFingerprint() + "|prices " + prices;
}

void UsageHistory::scan() {
  const double cutoff = toUnixSeconds(now()) - kScanWindowSeconds;
  const size_t codexRoots = options_.codexDirectories.size();
  const std::string keyedBy = figuresKey();
  TranscriptTreeWatcher::Poll poll = watcher_->poll();
  if (options_.oneShot && poll.listed[codexRoots]) {
    // The rolling count and the model lookup of this call take this listing.
    std::vector<TranscriptFileInfo> claude;
    for (const auto& c : poll.changes)
      if (c.root == codexRoots && c.present) claude.push_back(c.info);
    claudeListing_ = std::make_pair(now(), std::move(claude));
  }

  // Files to parse; on a full listing also every path present.
  std::vector<TranscriptFileInfo> files;
  std::vector<TranscriptRule> rules;
  std::set<std::string> present;
  for (auto& c : poll.changes) {
    if (!c.present) {
      cacheDirty_ |= cache_.erase(c.info.path) > 0;
      continue;
    }
    // Files untouched for 16 days are left out (and drop out of the cache).
    if (c.info.mtime < cutoff) {
      cacheDirty_ |= cache_.erase(c.info.path) > 0;
      continue;
    }
    if (poll.listed[c.root]) present.insert(c.info.path);
    auto it = cache_.find(c.info.path);
    if (it != cache_.end() && it->second.size == c.info.size && it->second.mtime == c.info.mtime &&
        it->second.keyedBy == keyedBy)
      continue;
    rules.push_back(c.root < codexRoots ? TranscriptRule::codex : TranscriptRule::claude);
    files.push_back(std::move(c.info));
  }
  // Figures made in another time zone or with other prices are made again, changed file or not.
  std::set<std::string, std::less<>> queued;
  for (const auto& f : files) queued.insert(f.path);
  for (auto it = cache_.begin(); it != cache_.end();) {
    TranscriptFileInfo info;
    const auto root = watcher_->rootOf(it->first);
    if (it->second.keyedBy == keyedBy || queued.contains(it->first) || !root) {
      ++it;
      continue;
    }
    if (!statTranscriptFile(it->first, info) || info.mtime < cutoff) {
      it = cache_.erase(it);
      cacheDirty_ = true;
      continue;
    }
    if (poll.listed[*root]) present.insert(info.path);
    rules.push_back(*root < codexRoots ? TranscriptRule::codex : TranscriptRule::claude);
    files.push_back(std::move(info));
    ++it;
  }

  if (!files.empty()) {
    std::vector<FileAgg> results(files.size());
    unsigned threads = options_.scanThreads;
    if (threads == 0) threads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    threads = static_cast<unsigned>(std::min<size_t>(threads, files.size()));
    std::atomic<size_t> next{0};
    auto worker = [&] {
      TranscriptReader reader;
      reader.setPrices(options_.prices);
      LocalCalendar::Cache calendar;
      for (size_t i; (i = next.fetch_add(1)) < files.size();)
        results[i] = parseFile(files[i], rules[i], reader, calendar, tzOffsetHours_, keyedBy);
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
    for (auto& t : pool) t.join();
    for (size_t i = 0; i < files.size(); ++i) cache_[files[i].path] = std::move(results[i]);
    cacheDirty_ = true;
  }

  // Deleted files, and files whose last change is now more than 16 days old.
  for (auto it = cache_.begin(); it != cache_.end();) {
    const auto root = watcher_->rootOf(it->first);
    const bool listed = !root || poll.listed[*root];
    const bool gone = listed ? !present.count(it->first) : it->second.mtime < cutoff;
    if (gone) {
      it = cache_.erase(it);
      cacheDirty_ = true;
    } else {
      ++it;
    }
  }
}

void UsageHistory::recompute() {
  struct Winner {
    int64_t tokens;
    Timestamp time;
    const std::string* path;
  };
  auto providerOf = [](const FileAgg& agg) -> std::optional<size_t> {
    if (agg.provider == "codex") return 0;
    if (agg.provider == "claude") return 1;
    return std::nullopt;
  };

  // Each (message.id, requestId) pair counts once across files: by its line with
  // the most tokens, then the earliest, then the file whose path sorts first.
  std::unordered_map<uint64_t, Winner> winners;
  size_t keyedCount = 0;
  for (const auto& [path, agg] : cache_) keyedCount += agg.keyed.size();
  winners.reserve(keyedCount);
  for (const auto& [path, agg] : cache_) {
    if (!providerOf(agg)) continue;
    for (const KeyedUsage& k : agg.keyed) {
      auto [it, inserted] = winners.try_emplace(k.key, Winner{k.tokens, k.time, &path});
      if (!inserted && (k.tokens > it->second.tokens || (k.tokens == it->second.tokens && k.time < it->second.time)))
        it->second = Winner{k.tokens, k.time, &path};
    }
  }

  std::array<std::map<std::string, int64_t>, 2> daily;
  std::array<std::map<int, int64_t>, 2> hourly;
  std::array<std::map<std::string, int64_t>, 2> costNano;
  std::array<std::set<std::string>, 2> fallbackModels;
  for (const auto& [path, agg] : cache_) {
    const auto p = providerOf(agg);
    if (!p) continue;
    for (const auto& [day, n] : agg.byDay) daily[*p][day] = satAdd(daily[*p][day], n);
    for (const auto& [hour, n] : agg.byHour) hourly[*p][hour] = satAdd(hourly[*p][hour], n);
    for (const auto& [day, n] : agg.byDayCostNano) costNano[*p][day] = satAdd(costNano[*p][day], n);
    fallbackModels[*p].insert(agg.fallbackModels.begin(), agg.fallbackModels.end());
    for (const KeyedUsage& k : agg.keyed) {
      if (winners.at(k.key).path == &path) continue;
      const std::string day(k.dayKey());
      daily[*p][day] = satAdd(daily[*p][day], -k.tokens);
      hourly[*p][k.hour] = satAdd(hourly[*p][k.hour], -k.tokens);
      costNano[*p][day] = satAdd(costNano[*p][day], -k.costNano);
    }
  }

  auto fresh = std::make_shared<UsageTables>();
  fresh->dailyTokens = std::move(daily);
  fresh->hourlyTokens = std::move(hourly);
  fresh->fallbackModels = std::move(fallbackModels);
  for (size_t p = 0; p < 2; ++p)
    for (const auto& [day, nano] : costNano[p]) fresh->dailyCostUSD[p][day] = static_cast<double>(nano) / 1e9;
  tables_.store(std::move(fresh));
}

void UsageHistory::writeCache() {
  const std::string json = UsageHistoryCache::encode(cache_);
  writeMakingFolder(options_.cacheFile, json);
}

std::shared_ptr<const UsageTables> UsageHistory::tables() const { return tables_.load(); }

std::vector<std::string> UsageHistory::pricingNotes() const {
  std::vector<std::string> notes = options_.priceNotes;
  const auto t = tables();
  for (Provider p : allCases<Provider>()) {
    const auto& models = t->fallbackModels[indexOf(p)];
    if (models.empty()) continue;
    std::string line = std::string(displayName(p)) + " models priced by family fallback: ";
    bool first = true;
    for (const std::string& m : models) {
      line += (first ? "" : ", ") + m;
      first = false;
    }
    notes.push_back(std::move(line));
  }
  return notes;
}

// ---- queries ------------------------------------------------------------------

std::vector<std::string> UsageHistory::lastDayKeys(int n, Timestamp now) const {
  std::vector<std::string> keys;
  for (int i = n - 1; i >= 0; --i) keys.push_back(LocalTime::dayKey(LocalTime::addDays(now, -i)));
  return keys;
}

std::vector<std::pair<std::string, int64_t>> UsageHistory::recentSeries(Provider provider, int days,
                                                                       Timestamp now) const {
  const auto t = tables();
  const auto& daily = t->dailyTokens[indexOf(provider)];
  std::vector<std::pair<std::string, int64_t>> series;
  for (auto& day : lastDayKeys(days, now)) {
    auto it = daily.find(day);
    const int64_t v = it == daily.end() ? 0 : it->second;
    series.emplace_back(std::move(day), v);
  }
  return series;
}

int64_t UsageHistory::tokens(Provider provider, Timestamp since) const {
  const auto t = tables();
  const auto& daily = t->dailyTokens[indexOf(provider)];
  int64_t sum = 0;
  for (auto it = daily.lower_bound(LocalTime::dayKey(since)); it != daily.end(); ++it) sum = satAdd(sum, it->second);
  return sum;
}

double UsageHistory::costUSD(Provider provider, Timestamp since) const {
  const auto t = tables();
  const auto& costs = t->dailyCostUSD[indexOf(provider)];
  double sum = 0;
  for (auto it = costs.lower_bound(LocalTime::dayKey(since)); it != costs.end(); ++it) sum += it->second;
  return sum;
}

double UsageHistory::averageDailyTokens(Provider provider, int lastDays, Timestamp now) const {
  double sum = 0;
  int count = 0;
  for (const auto& d : recentSeries(provider, lastDays, now)) {
    if (d.second == 0) continue;
    sum += static_cast<double>(d.second);
    ++count;
  }
  return count == 0 ? 0 : sum / count;
}

double UsageHistory::recencyWeightedDailyTokens(Provider provider, int lastDays, double decay, Timestamp now) const {
  const auto series = recentSeries(provider, lastDays, now);
  double weight = 1, weighted = 0, weights = 0;
  for (auto it = series.rbegin(); it != series.rend(); ++it) {
    if (it->second == 0) continue;
    weighted += weight * static_cast<double>(it->second);
    weights += weight;
    weight *= decay;
  }
  return weights == 0 ? 0 : weighted / weights;
}

std::vector<int64_t> UsageHistory::weeklyTotals(Provider provider, int weeks, Timestamp now) const {
  std::vector<int64_t> totals;
  if (weeks <= 0) return totals;
  const auto series = recentSeries(provider, 7 * weeks, now);
  for (size_t i = 0; i < series.size(); i += 7) {
    int64_t sum = 0;
    for (size_t j = i; j < i + 7 && j < series.size(); ++j) sum = satAdd(sum, series[j].second);
    totals.push_back(sum);
  }
  return totals;
}

std::optional<std::pair<int, int>> UsageHistory::peakWindow(int blockHours) const {
  if (blockHours < 0 || blockHours > 24) return std::nullopt;
  const auto t = tables();
  std::array<double, 24> slots{};
  for (const auto& hourly : t->hourlyTokens)
    for (const auto& [h, n] : hourly)
      if (h >= 0 && h < 24) slots[h] += static_cast<double>(n);
  double total = 0;
  for (double s : slots) total += s;
  if (total < 1) return std::nullopt;
  std::optional<std::pair<int, int>> best;
  double bestSum = 0;
  for (int start = 0; start + blockHours <= 24; ++start) {
    double sum = 0;
    for (int h = start; h < start + blockHours; ++h) sum += slots[h];
    if (!best || sum > bestSum) {
      best = std::make_pair(start, start + blockHours);
      bestSum = sum;
    }
  }
  return best;
}

std::optional<std::array<double, 24>> UsageHistory::normalizedHourly(Provider provider) const {
  const auto t = tables();
  std::array<double, 24> shares{};
  double total = 0;
  for (const auto& [h, n] : t->hourlyTokens[indexOf(provider)]) {
    if (h < 0 || h >= 24) continue;
    shares[h] += static_cast<double>(n);
    total += static_cast<double>(n);
  }
  if (!(total > 0)) return std::nullopt;
  for (double& s : shares) s /= total;
  return shares;
}

double UsageHistory::effectiveDays(Provider provider, Timestamp from, Timestamp to) const {
  if (to <= from) return 0;
  const auto shares = normalizedHourly(provider);
  if (!shares) return secondsBetween(from, to) / 86400.0;
  double days = 0;
  Timestamp t = from;
  for (int step = 0; step < 1440 && t < to; ++step) {
    const Timestamp next = std::min(LocalCalendar::nextHourStart(t), to);
    days += (*shares)[LocalTime::toLocal(t).hour] * secondsBetween(t, next) / 3600.0;
    t = next;
  }
  return days;
}

// ---- Claude lookups ---------------------------------------------------------------

int64_t UsageHistory::rollingClaudeTokens(Timestamp since) { return rollingClaudeTokensIfKnown(since).value_or(0); }

std::optional<int64_t> UsageHistory::rollingClaudeTokensIfKnown(Timestamp since) {
  return queue_.sync([this, since]() -> std::optional<int64_t> {
    const int64_t key = floorDiv(since.time_since_epoch().count(), 60'000'000);
    auto it = rollCache_.find(key);
    if (it != rollCache_.end() && secondsBetween(it->second.at, now()) < rollTTL) return it->second.value;
    if (options_.oneShot) {
      index_->update(since, claudeListing());
      const int64_t total = index_->tokensSince(since);
      storeRollingCount(key, total);
      return total;
    }
    if (rollScanning_.insert(key).second)
      queue_.async([this, since, key] { performRollingScan(since, key); });
    if (it == rollCache_.end()) return std::nullopt;
    return it->second.value;
  });
}

void UsageHistory::storeRollingCount(int64_t key, int64_t total) {
  const Timestamp t = now();
  rollCache_[key] = RollEntry{t, total};
  for (auto it = rollCache_.begin(); it != rollCache_.end();) {
    if (secondsBetween(it->second.at, t) >= rollRetain) it = rollCache_.erase(it);
    else ++it;
  }
  writeRecentFigures();
}

void UsageHistory::performRollingScan(Timestamp since, int64_t key) {
  index_->update(since);
  storeRollingCount(key, index_->tokensSince(since));
  rollScanning_.erase(key);
  std::shared_ptr<std::function<void()>> callback;
  {
    std::lock_guard lock(callbackMutex_);
    callback = onCacheUpdated_;
  }
  if (callback) deliver([callback] { (*callback)(); });
}

std::optional<UsageHistory::ModelSighting> UsageHistory::latestClaudeModel() {
  return queue_.sync([this]() -> std::optional<ModelSighting> {
    const Timestamp t = now();
    if (modelCache_ && secondsBetween(modelCache_->first, t) < modelTTL) return modelCache_->second;
    std::vector<TranscriptFileInfo> listed;
    if (!options_.oneShot)
      listTranscriptFiles(options_.claudeProjects, [&](TranscriptFileInfo&& info) { listed.push_back(std::move(info)); });
    const std::vector<TranscriptFileInfo>& all = options_.oneShot ? claudeListing() : listed;
    // The three most recently modified files (the first listed wins ties).
    std::vector<const TranscriptFileInfo*> files;
    for (const auto& f : all) files.push_back(&f);
    const size_t n = std::min<size_t>(3, files.size());
    std::partial_sort(files.begin(), files.begin() + static_cast<ptrdiff_t>(n), files.end(),
                      [](const TranscriptFileInfo* a, const TranscriptFileInfo* b) {
                        return a->mtime != b->mtime ? a->mtime > b->mtime : a < b;
                      });
    std::optional<ModelSighting> result;
    for (size_t i = 0; i < n; ++i) {
      auto found = tailModel(files[i]->path);
      if (found && (!result || found->at > result->at)) result = std::move(found);
    }
    modelCache_ = std::make_pair(t, result);
    writeRecentFigures();
    return result;
  });
}

std::optional<UsageHistory::ModelSighting> UsageHistory::tailModel(const std::string& path) {
  constexpr int64_t kBlock = 262'144;
  constexpr int64_t kLimit = 4'194'304;
  auto file = ReadableFile::open(path, kNoFileSizeBound);
  if (!file) return std::nullopt;
  const int fd = file->fd();
  const struct stat& st = file->status();
  TranscriptLineParser parser(kLimit + kBlock);
  int64_t pos = st.st_size, readTotal = 0;
  std::string carry;
  std::optional<ModelSighting> result;
  while (!result) {
    const int64_t start = std::max<int64_t>(0, pos - kBlock);
    std::string data(static_cast<size_t>(pos - start), '\0');
    size_t got = 0;
    while (got < data.size()) {
      const ssize_t n = ::pread(fd, data.data() + got, data.size() - got, start + static_cast<int64_t>(got));
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    if (got < data.size()) break;
    data += carry;
    std::string_view view(data);
    size_t firstBreak = view.find('\n');
    size_t from = 0;
    if (start > 0) {
      // The piece before the first break may continue in the block before this one.
      carry.assign(view.substr(0, firstBreak == std::string_view::npos ? view.size() : firstBreak));
      from = firstBreak == std::string_view::npos ? view.size() : firstBreak + 1;
    } else {
      carry.clear();
    }
    // Complete lines from the last to the first.
    size_t end = view.size();
    while (end > from && !result) {
      const size_t lf = view.rfind('\n', end - 1);
      const size_t lineStart = (lf == std::string_view::npos || lf < from) ? from : lf + 1;
      const std::string_view line = view.substr(lineStart, end - lineStart);
      if (!line.empty() && line.find("\"model\"") != std::string_view::npos) {
        if (auto s = parser.claudeModel(line)) result = ModelSighting{std::string(s->model), s->time};
      }
      if (lineStart == from) break;
      end = lineStart - 1;
    }
    readTotal += pos - start;
    pos = start;
    if (start == 0 || readTotal >= kLimit) break;
  }
  return result;
}

}  // namespace qd
