#pragma once
// The local usage history: scans both tools' transcripts into per-file aggregates
// (cached in "usage-history-cache.json"), derives per-provider day, hour and spend
// tables from them, and answers token, spend, trend and latest-model queries.
// What it last found is also kept small in "usage-figures.json" (recent_figures.h)
// for one-shot reports to take up.
#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/usage_figures.h"
#include "forecasting/transcript_files.h"
#include "forecasting/usage_history_cache.h"
#include "models/provider.h"
#include "models/timestamp.h"
#include "utilities/serial_queue.h"

namespace qd {

class Clock;
class MainLoop;
class ClaudeTokenIndex;
class TranscriptLineParser;
class TranscriptTreeWatcher;
class PriceList;

// The three tables, replaced as a whole after each recompute.
struct UsageTables {
  std::array<std::map<std::string, int64_t>, 2> dailyTokens;  // by Provider index, day key → tokens
  std::array<std::map<int, int64_t>, 2> hourlyTokens;         // hour → tokens
  std::array<std::map<std::string, double>, 2> dailyCostUSD;  // day key → US dollars
  std::array<std::set<std::string>, 2> fallbackModels;       // models priced by family
  bool operator==(const UsageTables&) const = default;
};

// Thread-safety: the table queries may be called from any thread (they read an
// immutable snapshot of the tables). `refresh`, `refreshSync`,
// `rollingClaudeTokens` and `latestClaudeModel` run on the history's serial queue
// "quotadial.usagehistory"; callbacks are delivered on the main loop when one is
// given, else on that queue.
class UsageHistory final : public UsageFigures {
 public:
  struct Options {
    std::string claudeProjects;              // <Claude home>/projects
    std::vector<std::string> codexDirectories;  // <Codex home>/sessions, <Codex home>/archived_sessions
    std::string cacheFile;                   // <application support>/usage-history-cache.json
    std::shared_ptr<const PriceList> prices;  // none: spend is not estimated
    std::vector<std::string> priceNotes;      // where the prices came from, for diagnostics
    const Clock* clock = nullptr;            // the system clock when absent
    MainLoop* mainLoop = nullptr;
    unsigned scanThreads = 0;                // 0: one per core, at most 4
    // "usage-figures.json", the recent figures a one-shot report may take up;
    // absent: beside `cacheFile`; empty: none kept.
    std::optional<std::string> figuresFile;
    // A run that looks once and exits: a rolling count not cached yet is made on
    // the spot (the caller waits for it) instead of in the background, the trees
    // are listed without being watched, and one listing of the Claude tree
    // serves the scan, the rolling count and the model lookup of the same call.
    bool oneShot = false;
    // Take up the figures file at construction: its rolling counts and model
    // lookup (reused within their usual freshness) and, when its scan is at most
    // `recentScanReuse` old, its tables, so that `refreshSync` walks nothing.
    bool reuseRecentFigures = false;
    // The homes of DESIGN.md and the application-support directory.
    [[nodiscard]] static Options defaults();
  };

  struct ModelSighting {
    std::string id;
    Timestamp at{};
    bool operator==(const ModelSighting&) const = default;
  };

  static constexpr int lookbackDays = 16;
  static constexpr double rollTTL = 120;
  static constexpr double rollRetain = 86400;
  static constexpr double modelTTL = 60;
  // A one-shot report (a status bar asks every few seconds) takes the tables of a
  // scan this recent instead of walking the trees: the walks drop to about one a
  // minute, and the tables lag the transcripts no more than the model lookup does.
  static constexpr double recentScanReuse = 60;

  UsageHistory();
  explicit UsageHistory(Options options);
  ~UsageHistory() override;
  UsageHistory(const UsageHistory&) = delete;
  UsageHistory& operator=(const UsageHistory&) = delete;

  // Scan, recompute, write the cache, on the history queue; then `completion`.
  void refresh(std::function<void()> completion);
  // The same, waiting for it.
  void refreshSync();

  // Called after a background rolling count has stored a new value.
  void setOnCacheUpdated(std::function<void()> callback);

  // UsageFigures: `refresh` and `setOnCacheUpdated` under the application's names.
  void rescan(std::function<void()> done) override;
  void setOnChange(std::function<void()> onChange) override;

  [[nodiscard]] std::shared_ptr<const UsageTables> tables() const;
  // UsageFigures: the models priced by a family fallback, and the price list notes.
  [[nodiscard]] std::vector<std::string> pricingNotes() const override;
  [[nodiscard]] int tzOffsetHours() const { return tzOffsetHours_; }

  [[nodiscard]] std::vector<std::string> lastDayKeys(int n, Timestamp now) const;
  [[nodiscard]] std::vector<std::pair<std::string, int64_t>> recentSeries(Provider provider, int days,
                                                                        Timestamp now) const override;
  [[nodiscard]] int64_t tokens(Provider provider, Timestamp since) const;
  [[nodiscard]] double costUSD(Provider provider, Timestamp since) const override;
  [[nodiscard]] double averageDailyTokens(Provider provider, int lastDays, Timestamp now) const override;
  [[nodiscard]] double recencyWeightedDailyTokens(Provider provider, int lastDays, double decay,
                                                  Timestamp now) const;
  [[nodiscard]] std::vector<int64_t> weeklyTotals(Provider provider, int weeks, Timestamp now) const override;
  // (start, start + block hours): the end is not reduced modulo 24.
  [[nodiscard]] std::optional<std::pair<int, int>> peakWindow(int blockHours) const override;
  [[nodiscard]] std::optional<std::array<double, 24>> normalizedHourly(Provider provider) const;
  [[nodiscard]] double effectiveDays(Provider provider, Timestamp from, Timestamp to) const;

  // Claude tokens at or after `since`, from a per-minute cache refreshed in the
  // background: never waits for a transcript scan (but waits for the queue).
  [[nodiscard]] int64_t rollingClaudeTokens(Timestamp since);
  // The same, but nothing (instead of 0) while no count for that minute exists yet.
  [[nodiscard]] std::optional<int64_t> rollingClaudeTokensIfKnown(Timestamp since);
  // The model of the newest Claude transcript line naming one (cached 60 s).
  [[nodiscard]] std::optional<ModelSighting> latestClaudeModel();
  // Reads `path` backwards (at most 4 MiB) for the last line naming a model.
  [[nodiscard]] static std::optional<ModelSighting> tailModel(const std::string& path);

 private:
  struct RollEntry {
    Timestamp at{};
    int64_t value = 0;
  };

  [[nodiscard]] Timestamp now() const;
  // The time zone and prices the figures are made with, as stored in FileAgg::keyedBy.
  [[nodiscard]] std::string figuresKey() const;
  // figuresKey() and the folders the figures are made from: the figures file's key.
  [[nodiscard]] std::string recentFiguresKey() const;
  void loadCache();
  // Takes up the figures file; true when its tables were taken.
  bool takeUpRecentFigures();
  void writeRecentFigures();
  // One-shot: the Claude tree as listed moments ago in this call, else listed now.
  const std::vector<TranscriptFileInfo>& claudeListing();
  void storeRollingCount(int64_t key, int64_t total);
  void scan();
  void recompute();
  void writeCache();
  void refreshOnQueue();
  void performRollingScan(Timestamp since, int64_t key);
  void deliver(std::function<void()> callback);

  Options options_;
  int tzOffsetHours_ = 0;
  FileAggCache cache_;          // history queue only
  bool cacheLoaded_ = false;    // history queue only
  bool cacheDirty_ = false;     // history queue only
  std::string figuresFile_;
  std::optional<Timestamp> scannedAt_;  // history queue only
  std::optional<std::pair<Timestamp, std::vector<TranscriptFileInfo>>> claudeListing_;  // history queue only
  std::atomic<std::shared_ptr<const UsageTables>> tables_;

  std::map<int64_t, RollEntry> rollCache_;  // history queue only
  std::set<int64_t> rollScanning_;          // history queue only
  std::unique_ptr<ClaudeTokenIndex> index_;  // history queue only
  std::unique_ptr<TranscriptTreeWatcher> watcher_;  // history queue only
  std::optional<std::pair<Timestamp, std::optional<ModelSighting>>> modelCache_;  // history queue only

  std::shared_ptr<std::function<void()>> onCacheUpdated_;  // guarded by callbackMutex_
  mutable std::mutex callbackMutex_;

  // Last member: destroyed first, so queued work finishes while the rest is alive.
  SerialQueue queue_{"quotadial.usagehistory"};
};

}  // namespace qd
