#pragma once
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/collector_lock.h"
#include "app/live_sources.h"
#include "app/notification_manager.h"
#include "app/usage_figures.h"
#include "models/app_settings.h"
#include "models/calibrated_projection.h"
#include "models/claude_current_settings.h"
#include "models/forecast_result.h"
#include "models/pace_result.h"
#include "models/provider_health.h"
#include "models/recommendation.h"
#include "models/scenario_result.h"
#include "models/usage_snapshot.h"
#include "providers/usage_provider.h"
#include "utilities/ports/clock.h"
#include "utilities/ports/desktop_services.h"
#include "utilities/ports/main_loop.h"
#include "utilities/ports/notification_sink.h"

namespace qd {

class SnapshotStore;
class SerialQueue;
class SettingsStore;
class FileWatch;

using ForecastMap = std::map<std::string, ForecastResult>;  // keyed by ForecastResult::id()
using SnapshotList = std::shared_ptr<const std::vector<UsageSnapshot>>;

// The result of one computation, applied to the published state in one go.
struct ForecastBundle {
  SnapshotList snapshots;  // the working set; never null
  ForecastMap forecasts;
  std::map<Provider, PaceResult> paces;
  std::map<Provider, CalibratedProjection> calibrated;
  std::vector<Recommendation> recommendations;
  std::optional<ClaudeCurrentSettings> claudeCurrent;
  // Stored readings left out of `snapshots` for a timestamp in the future.
  size_t futureStamped = 0;
};

// Which published properties changed in one announcement (a bit set).
namespace StateChange {
inline constexpr unsigned settings = 1u << 0;
inline constexpr unsigned claudeCurrent = 1u << 1;
inline constexpr unsigned workingSnapshots = 1u << 2;
inline constexpr unsigned forecasts = 1u << 3;
inline constexpr unsigned paces = 1u << 4;
inline constexpr unsigned calibrated = 1u << 5;
inline constexpr unsigned recommendations = 1u << 6;
inline constexpr unsigned lastRefresh = 1u << 7;
inline constexpr unsigned providerHealth = 1u << 8;
}  // namespace StateChange

// The stages that live sources and the usage history add to the refresh cycle.
// The compute stages run on the compute queue and never in demo mode; an empty
// function is skipped.
struct LiveStages {
  // Computation step 1 (Claude enabled): the working set with estimates appended.
  // Return the input pointer itself when nothing is added.
  std::function<SnapshotList(SnapshotList working, const AppSettings& settings, Timestamp now)> augmentWorkingSet;
  // Computation step 2 (Claude enabled): what Claude Code is using now.
  std::function<std::optional<ClaudeCurrentSettings>(const AppSettings& settings, Timestamp now)> claudeCurrent;
  // Computation step 3 (Claude enabled): learning from the working set.
  std::function<void(const std::vector<UsageSnapshot>& working, const AppSettings& settings)> learn;
  // Computation step 5: the history-calibrated projection of a long window from
  // its newest snapshot. The smart override and the re-grade follow here.
  std::function<std::optional<CalibratedProjection>(Provider provider, const UsageSnapshot& latest,
                                                    const std::vector<UsageSnapshot>& working,
                                                    const std::optional<ClaudeCurrentSettings>& current,
                                                    Timestamp now)>
      calibrate;
  // Main thread: a Claude account whose quota is a shared pool (team plans).
  std::function<bool()> isPooledAccount;
  // Main thread: Claude's overage record for the budget alerts.
  std::function<std::optional<NotificationManager::Overage>()> lastExtraUsage;
  // Main thread: the status-line bridge installer's install and uninstall.
  struct BridgeOutcome {
    std::string message;                                // shown to the user
    std::optional<std::string> previousStatusLineCommand;  // what the bridge replaced (install only)
    bool failed = false;  // nothing changed on disk; the settings keep their record
  };
  std::function<BridgeOutcome()> installBridge;
  std::function<BridgeOutcome()> uninstallBridge;
  // Main thread: the bridge state for the diagnostics text ("installed", "notInstalled",
  // "wrapping", "foreign" or `error("...")`).
  std::function<std::string()> bridgeStateText;
  // Main thread, starting nothing: a provider's health from what is on disk and
  // the newest reading, for reports made without live sources.
  std::function<ProviderHealth(Provider provider, std::optional<Timestamp> newestReading, Timestamp now)> probeHealth;
  // Main thread: Claude Code signs in with an API key, which has no plan limits.
  std::function<bool(std::optional<Timestamp> newestReading, Timestamp now)> claudeApiKeyLogin;
};

struct AppStateOptions {
  MainLoop* mainLoop = nullptr;  // required; outlives the state
  const Clock* clock = nullptr;  // default: the system clock
  // Default: LocalFileStore::baseDirectory().
  std::optional<std::filesystem::path> supportDirectory;
  // The process arguments ("--demo" forces demo mode without persisting it).
  std::vector<std::string> arguments;
  NotificationSink* notificationSink = nullptr;  // none: alerts are only logged
  DesktopServices* desktopServices = nullptr;    // none: exports are not revealed
  std::shared_ptr<UsageFigures> history;         // none: history figures are empty
  // Default: makeLiveProvider.
  std::function<std::unique_ptr<UsageProvider>(Provider, LiveSourceContext&)> makeProvider;
  // Default: the settings store on settings.json. Runs on a background queue.
  std::function<void(const AppSettings&)> writeSettings;
  LiveStages stages;
  // The 30-second refresh timer and the 300-second history rescans.
  bool startTimers = true;
  // Another process collects: this state starts no providers, sends no alerts
  // and shows that collector's provider health.
  std::optional<CollectorStatus> viewerOf;
  // Take up settings.json when another process (`quotadial --set`) rewrites it.
  bool watchSettingsFile = true;
};

// The one central object of the running application: owns the settings, the
// snapshot store, the live providers and the usage history; runs the refresh
// cycle (capture on the main thread, compute on "quotadial.forecast", apply on the
// main thread) and publishes its results. Observers are told, on the main
// thread, only about properties whose value changed.
//
// Thread-safety: main thread only, except `computeBundle` (any thread). Closures
// handed to timers, providers, queues and the history hold the state weakly.
class AppState : public std::enable_shared_from_this<AppState> {
 public:
  // Runs the startup sequence: stores, settings, first refresh, providers, timers.
  [[nodiscard]] static std::shared_ptr<AppState> create(AppStateOptions options);
  ~AppState();
  AppState(const AppState&) = delete;
  AppState& operator=(const AppState&) = delete;

  // ---- observation --------------------------------------------------------
  // Unsubscribes when destroyed (or reset). Move-only.
  class Subscription {
   public:
    Subscription() = default;
    Subscription(Subscription&&) noexcept;
    Subscription& operator=(Subscription&&) noexcept;
    ~Subscription();
    void reset();

   private:
    friend class AppState;
    std::weak_ptr<AppState> state_;
    std::uint64_t id_ = 0;
  };
  // `observer` receives the StateChange bits of one announcement, on the main thread.
  [[nodiscard]] Subscription subscribe(std::function<void(unsigned changes)> observer);

  // ---- published properties ------------------------------------------------
  [[nodiscard]] const AppSettings& settings() const { return settings_; }
  [[nodiscard]] const std::optional<ClaudeCurrentSettings>& claudeCurrent() const { return claudeCurrent_; }
  // The reference is valid until the next announcement; keep the list itself to hold on longer.
  [[nodiscard]] const std::vector<UsageSnapshot>& workingSnapshots() const { return *working_; }
  [[nodiscard]] SnapshotList workingSnapshotList() const { return working_; }
  [[nodiscard]] const ForecastMap& forecasts() const { return forecasts_; }
  [[nodiscard]] const std::map<Provider, PaceResult>& paces() const { return paces_; }
  [[nodiscard]] const std::vector<Recommendation>& recommendations() const { return recommendations_; }
  [[nodiscard]] const std::optional<Timestamp>& lastRefresh() const { return lastRefresh_; }
  [[nodiscard]] const std::map<Provider, ProviderHealth>& providerHealth() const { return providerHealth_; }
  // The live source's health; where none runs (the one-shot reports), what can be
  // known without starting it. Nothing in demo mode or without a way to tell.
  [[nodiscard]] std::optional<ProviderHealth> reportedHealth(Provider provider) const;
  // Claude Code signs in with an API key: no quota to show, only transcript spend
  // (re-read at most once a minute).
  [[nodiscard]] bool claudeUsesApiKey() const;
  [[nodiscard]] const std::map<Provider, CalibratedProjection>& calibrated() const { return calibrated_; }

  // ---- the cycle -------------------------------------------------------------
  void refresh();
  void startProviders();
  void scheduleSettingsSave();
  // Changes the live settings in place, announces the change when there is one,
  // and schedules the save. The way screens write settings.
  void updateSettings(const std::function<void(AppSettings&)>& change);
  // Writes a pending settings save now (at shutdown).
  void flushSettingsSave();
  // Takes up what changed in settings.json since this copy last read or wrote it
  // (another process rewrote it), keeping the live changes not saved yet;
  // restarts the providers when the enabled set or demo mode changed.
  void reloadSettingsFromFile();
  // Runs `task` on the main thread once every refresh asked for so far has been
  // applied; at once when none is pending.
  void whenRefreshed(std::function<void()> task);
  [[nodiscard]] std::vector<Provider> sortedEnabledProviders() const;
  [[nodiscard]] std::optional<std::pair<Provider, WindowKind>> mostUrgentSeries() const;
  // Refreshes requested and not yet applied.
  [[nodiscard]] int pendingRefreshes() const { return pendingRefreshes_; }
  [[nodiscard]] bool demoFlag() const { return demoFlag_; }
  // The collector this state only views, or nothing when it collects itself.
  [[nodiscard]] const std::optional<CollectorStatus>& viewerOf() const { return viewerOf_; }
  // Becomes a viewer of `other` (stopping the providers), takes its newer health,
  // or, given nothing, becomes the collector and starts the providers.
  void setViewerOf(std::optional<CollectorStatus> other);

  // The pure computation of one bundle (any thread; reads the store synchronously).
  [[nodiscard]] ForecastBundle computeBundle(const AppSettings& settings, const std::vector<Provider>& providers,
                                             Timestamp now);
  // The long window's own thresholds: limited at 100 % used, then risky / watch / safe
  // at a projection (or the current use without one) of 100 / 95.
  static void regradeLongWindow(ForecastResult& forecast);
  // The `smart` basis takes the history-calibrated projection for the long window.
  static void applySmartOverride(ForecastResult& forecast, const CalibratedProjection& projection,
                                 const UsageSnapshot& latest, Timestamp now, bool pooledAccount);

  // ---- derived views -----------------------------------------------------------
  [[nodiscard]] std::vector<UsageSnapshot> series(Provider provider, WindowKind window) const;
  [[nodiscard]] std::optional<UsageSnapshot> latestSnapshot(Provider provider, WindowKind window) const;
  [[nodiscard]] std::optional<ForecastResult> forecast(Provider provider, WindowKind window) const;
  [[nodiscard]] const std::vector<std::pair<Provider, WindowKind>>& availableSeries() const {
    return availableSeries_;
  }
  [[nodiscard]] ForecastStatus globalStatus() const;
  [[nodiscard]] std::vector<ScenarioResult> scenarios(Provider provider, WindowKind window) const;

  struct WeekTrend {
    std::int64_t thisWeek = 0;
    std::optional<double> deltaPct;
    std::vector<std::int64_t> weeks;  // oldest first
  };
  [[nodiscard]] double avgDailyTokens(Provider provider) const;
  [[nodiscard]] WeekTrend weekTrend(Provider provider) const;
  [[nodiscard]] std::string spendThisWeek(Provider provider) const;
  [[nodiscard]] std::string spendThisWeekTotal() const;
  // The seven daily token counts of the daily-usage card, oldest first (demo: the demo week).
  [[nodiscard]] std::vector<std::pair<std::string, std::int64_t>> dailySeries(Provider provider) const;
  [[nodiscard]] std::optional<std::string> headroomLabel(Provider provider) const;
  [[nodiscard]] std::optional<std::string> peakUsageWindowLabel() const;
  [[nodiscard]] std::optional<std::string> freshnessLabel(Provider provider) const;
  [[nodiscard]] std::string weeklyRecapText() const;

  // ---- operations that change state ------------------------------------------------
  void toggleProvider(Provider provider, bool enabled);
  void setFocusedProvider(Provider provider);
  void setBasis(ForecastBasis basis);
  // Run the bridge installer, record the outcome in the settings; the message to show.
  [[nodiscard]] std::string installClaudeBridge();
  [[nodiscard]] std::string uninstallClaudeBridge();
  // "Prune now" with `settings.retentionDays`, and "Reset history": run on the
  // store's writer (never waiting here for the file lock), then refresh.
  void pruneHistory();
  void clearHistory();
  // Writes the CSV export and reveals it; the written file, or nothing on failure.
  // Writes every stored reading to "quotadial-export.csv" in the support
  // directory off the main thread (a year of history takes seconds), then on the
  // main thread reveals the file and calls `done` with where it went (nothing on failure).
  void exportCSV(std::function<void(std::optional<std::filesystem::path>)> done = {});
  [[nodiscard]] std::string diagnosticsText() const;
  // The redaction of the diagnostics text (the same three rules as the log's).
  [[nodiscard]] static std::string redact(const std::string& text);

  // ---- collaborators ----------------------------------------------------------
  [[nodiscard]] SnapshotStore& snapshotStore() { return *store_; }
  [[nodiscard]] NotificationManager& notificationManager() { return *notifications_; }
  [[nodiscard]] const std::filesystem::path& supportDirectory() const { return supportDirectory_; }
  [[nodiscard]] const Clock& clock() const { return *clock_; }
  [[nodiscard]] MainLoop& mainLoop() { return *mainLoop_; }
  [[nodiscard]] UsageFigures* history() const { return history_.get(); }
  void scanUsageHistory();

 private:
  struct ComputeCache;
  explicit AppState(AppStateOptions options);
  void startup();
  void apply(ForecastBundle bundle, const AppSettings& settings, Timestamp now);
  void publish(unsigned changes);
  void setSettings(AppSettings next);
  void recomputeAvailableSeries();
  [[nodiscard]] std::vector<ForecastResult> forecastsInOrder() const;
  // The newest reading of a live source (Codex: any; Claude: bridge or OAuth, not estimates).
  [[nodiscard]] std::optional<Timestamp> newestLiveReading(Provider provider) const;

  AppStateOptions options_;
  MainLoop* mainLoop_;
  const Clock* clock_;
  std::filesystem::path supportDirectory_;
  bool demoFlag_ = false;
  std::shared_ptr<UsageFigures> history_;
  std::optional<CollectorStatus> viewerOf_;

  AppSettings settings_;
  std::optional<ClaudeCurrentSettings> claudeCurrent_;
  SnapshotList working_;
  size_t futureStamped_ = 0;  // of the last applied bundle; shown in the diagnostics
  ForecastMap forecasts_;
  std::map<Provider, PaceResult> paces_;
  std::vector<Recommendation> recommendations_;
  std::optional<Timestamp> lastRefresh_;
  std::map<Provider, ProviderHealth> providerHealth_;
  mutable std::optional<std::pair<Timestamp, bool>> apiKeyLogin_;  // (checked at, answer)
  std::map<Provider, CalibratedProjection> calibrated_;
  std::vector<std::pair<Provider, WindowKind>> availableSeries_;

  std::map<std::uint64_t, std::function<void(unsigned)>> observers_;
  std::uint64_t nextObserverId_ = 1;

  std::shared_ptr<SnapshotStore> store_;
  std::unique_ptr<NotificationManager> notifications_;
  std::unique_ptr<LiveSourceContext> liveContext_;
  std::map<Provider, std::unique_ptr<UsageProvider>> liveProviders_;
  std::vector<MainLoop::TimerId> timers_;
  int pendingRefreshes_ = 0;
  // Read by the computation; refreshed from the live stage on the main thread after each apply.
  std::atomic<bool> pooledAccountOnCompute_{false};
  std::uint64_t saveGeneration_ = 0;
  std::optional<AppSettings> pendingSave_;
  std::function<void(const AppSettings&)> writeSettings_;

  // The inputs of the refresh waiting on the compute queue, and how many requests it answers.
  struct RefreshInputs {
    AppSettings settings;
    std::vector<Provider> providers;
    Timestamp now{};
  };
  std::mutex refreshMutex_;
  std::optional<RefreshInputs> nextRefresh_;
  int nextRefreshRequests_ = 0;
  std::shared_ptr<SettingsStore> settingsStore_;
  // The settings file as this copy last read or handed it to the writer (with
  // the "--demo" flag applied, as loaded).
  AppSettings lastOnDisk_;
  void noteSaved(const AppSettings& written);
  std::vector<std::function<void()>> refreshedWaiters_;

  std::unique_ptr<ComputeCache> cache_;  // touched only on the compute queue
  // Destroyed first: queued work finishes while everything above is still alive.
  std::unique_ptr<SerialQueue> saveQueue_;
  std::unique_ptr<SerialQueue> computeQueue_;
  // Destroyed before the queues: its thread only posts to the main loop.
  std::unique_ptr<FileWatch> settingsWatch_;
};

}  // namespace qd
