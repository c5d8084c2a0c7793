#include "app/app_state.h"
#include "app/app_state_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <set>
#include <span>

#include "forecasting/burn_rate_calculator.h"
#include "forecasting/forecast_engine.h"
#include "forecasting/pace_calculator.h"
#include "forecasting/recommendation_engine.h"
#include "forecasting/scenario_engine.h"
#include "providers/demo_provider.h"
#include "storage/local_file_store.h"
#include "storage/settings_store.h"
#include "storage/snapshot_store.h"
#include "utilities/app_logger.h"
#include "utilities/file_watch.h"
#include "utilities/number_formatting.h"
#include "utilities/serial_queue.h"
#include "utilities/shell.h"
#include "utilities/time_formatting.h"

namespace qd {

using namespace app_state_detail;

namespace {

constexpr double kRefreshInterval = 30;
constexpr double kHistoryInterval = 300;
// How far back the working set reaches: the longest current window (a week) and
// a day to spare; a month and a day while a provider reports a monthly window.
constexpr double kWorkingSpanSeconds = 8 * 86400.0;
constexpr double kMonthlyWorkingSpanSeconds = 32 * 86400.0;
constexpr double kSaveDelay = 0.5;

}  // namespace

// What the compute queue keeps between runs so that an unchanged store costs
// no copying: the filtered working set and, per series, its current-window run.
struct AppState::ComputeCache {
  SnapshotList source;  // the store's list the entries below were made from
  std::set<Provider> enabled;
  SnapshotList working;
  // Readings left out for being stamped in the future: how many, and the earliest
  // (the working set is rebuilt once the clock comes near it).
  size_t futureStamped = 0;
  std::optional<Timestamp> firstFutureStamp;
  struct Series {
    std::vector<UsageSnapshot> currentRun;  // time-ordered samples since the last reset
  };
  std::map<std::pair<Provider, WindowKind>, Series> series;
  // Windows of each provider in sort-rank order, ties by first appearance.
  std::map<Provider, std::vector<WindowKind>> windows;
  bool monthlySpan = false;  // a monthly window was seen: the working set reaches back further
};

// ---- construction -------------------------------------------------------------

AppState::AppState(AppStateOptions options)
    : options_(std::move(options)),
      mainLoop_(options_.mainLoop),
      clock_(options_.clock ? options_.clock : &SystemClock::instance()),
      supportDirectory_(options_.supportDirectory ? *options_.supportDirectory : LocalFileStore::baseDirectory()),
      history_(options_.history),
      viewerOf_(options_.viewerOf),
      working_(std::make_shared<const std::vector<UsageSnapshot>>()),
      cache_(std::make_unique<ComputeCache>()) {
  demoFlag_ = std::find(options_.arguments.begin(), options_.arguments.end(), "--demo") != options_.arguments.end();
}

std::shared_ptr<AppState> AppState::create(AppStateOptions options) {
  std::shared_ptr<AppState> state(new AppState(std::move(options)));
  state->startup();
  return state;
}

AppState::~AppState() {
  settingsWatch_.reset();
  for (auto& [provider, live] : liveProviders_) live->stop();
  for (MainLoop::TimerId id : timers_) mainLoop_->cancelTimer(id);
  // Queued computations and saves finish before the members they use go.
  computeQueue_.reset();
  saveQueue_.reset();
}

void AppState::startup() {
  // Stores and queues.
  std::error_code ec;
  std::filesystem::create_directories(supportDirectory_ / "logs", ec);
  store_ = std::make_shared<SnapshotStore>(supportDirectory_ / "snapshots.ndjson");
  auto settingsStore = std::make_shared<SettingsStore>(supportDirectory_ / "settings.json");
  settingsStore_ = settingsStore;
  computeQueue_ = std::make_unique<SerialQueue>("quotadial.forecast");
  saveQueue_ = std::make_unique<SerialQueue>("quotadial.settings");
  notifications_ = std::make_unique<NotificationManager>(options_.notificationSink, *clock_);
  writeSettings_ = options_.writeSettings;
  if (!writeSettings_) writeSettings_ = [settingsStore](const AppSettings& s) { settingsStore->save(s); };

  // Watched before it is read, so no rewrite falls between the two.
  if (options_.watchSettingsFile) {
    std::weak_ptr<AppState> weak = weak_from_this();
    MainLoop* loop = mainLoop_;
    settingsWatch_ = std::make_unique<FileWatch>(supportDirectory_, std::vector<std::string>{"settings.json"},
                                                 [weak, loop](const std::string&) {
                                                   loop->post([weak] {
                                                     if (auto s = weak.lock()) s->reloadSettingsFromFile();
                                                   });
                                                 });
  }

  // Settings, with the demo flag applied for this run only.
  AppSettings loaded = settingsStore->load();
  if (demoFlag_) {
    loaded.demoMode = true;
    loaded.hasOnboarded = true;
  }
  settings_ = loaded;
  lastOnDisk_ = loaded;

  std::weak_ptr<AppState> weak = weak_from_this();
  liveContext_ = std::unique_ptr<LiveSourceContext>(new LiveSourceContext{
      *store_, *mainLoop_, *clock_,
      [weak]() -> AppSettings {
        if (auto s = weak.lock()) return s->settings_;
        return AppSettings{};
      },
      supportDirectory_});

  if (history_) {
    history_->setOnChange([weak] {
      if (auto s = weak.lock()) s->refresh();
    });
  }

  refresh();
  startProviders();

  if (options_.startTimers) {
    timers_.push_back(mainLoop_->addRepeatingTimer(kRefreshInterval, [weak] {
      if (auto s = weak.lock()) s->refresh();
    }));
    scanUsageHistory();
    timers_.push_back(mainLoop_->addRepeatingTimer(kHistoryInterval, [weak] {
      if (auto s = weak.lock()) s->scanUsageHistory();
    }));
  }
}

// ---- observation ------------------------------------------------------------------

AppState::Subscription::Subscription(Subscription&& other) noexcept
    : state_(std::move(other.state_)), id_(std::exchange(other.id_, 0)) {}

AppState::Subscription& AppState::Subscription::operator=(Subscription&& other) noexcept {
  if (this != &other) {
    reset();
    state_ = std::move(other.state_);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

AppState::Subscription::~Subscription() { reset(); }

void AppState::Subscription::reset() {
  if (auto s = state_.lock(); s && id_ != 0) s->observers_.erase(id_);
  state_.reset();
  id_ = 0;
}

AppState::Subscription AppState::subscribe(std::function<void(unsigned)> observer) {
  Subscription sub;
  sub.state_ = weak_from_this();
  sub.id_ = nextObserverId_++;
  observers_.emplace(sub.id_, std::move(observer));
  return sub;
}

void AppState::publish(unsigned changes) {
  if (changes == 0) return;
  // Copy first: an observer may subscribe or unsubscribe while being told.
  std::vector<std::function<void(unsigned)>> targets;
  targets.reserve(observers_.size());
  for (const auto& [id, fn] : observers_) targets.push_back(fn);
  for (const auto& fn : targets)
    if (fn) fn(changes);
}

// ---- settings -------------------------------------------------------------------------

void AppState::setSettings(AppSettings next) {
  if (next == settings_) return;
  settings_ = std::move(next);
  publish(StateChange::settings);
}

void AppState::updateSettings(const std::function<void(AppSettings&)>& change) {
  AppSettings next = settings_;
  change(next);
  if (next == settings_) return;
  setSettings(std::move(next));
  scheduleSettingsSave();
}

void AppState::scheduleSettingsSave() {
  AppSettings copy = settings_;
  if (demoFlag_) copy.demoMode = false;  // a demo launch never persists demo mode
  pendingSave_ = copy;
  const std::uint64_t generation = ++saveGeneration_;
  std::weak_ptr<AppState> weak = weak_from_this();
  mainLoop_->postAfter(kSaveDelay, [weak, generation] {
    auto s = weak.lock();
    if (!s || generation != s->saveGeneration_ || !s->pendingSave_) return;
    AppSettings toWrite = std::move(*s->pendingSave_);
    s->pendingSave_.reset();
    s->noteSaved(toWrite);
    s->saveQueue_->async([writer = s->writeSettings_, toWrite] { writer(toWrite); });
  });
}

void AppState::flushSettingsSave() {
  if (pendingSave_) {
    AppSettings toWrite = std::move(*pendingSave_);
    pendingSave_.reset();
    noteSaved(toWrite);
    ++saveGeneration_;
    saveQueue_->async([writer = writeSettings_, toWrite] { writer(toWrite); });
  }
  saveQueue_->sync([] {});
}

void AppState::noteSaved(const AppSettings& written) {
  lastOnDisk_ = written;
  if (demoFlag_) {
    lastOnDisk_.demoMode = true;
    lastOnDisk_.hasOnboarded = true;
  }
}

void AppState::reloadSettingsFromFile() {
  AppSettings loaded = settingsStore_->load();
  if (demoFlag_) {
    loaded.demoMode = true;
    loaded.hasOnboarded = true;
  }
  // Unchanged since read, or this copy's own write coming back.
  if (loaded == lastOnDisk_) return;
  AppSettings next = mergeSettings(settings_, lastOnDisk_, loaded);
  lastOnDisk_ = std::move(loaded);
  if (next == settings_) return;
  const bool restart = next.enabledProviders != settings_.enabledProviders || next.demoMode != settings_.demoMode;
  AppLogger::shared().info("Settings changed on disk; taking them up");
  setSettings(std::move(next));
  // A save still pending would write the record from before the merge.
  if (pendingSave_) scheduleSettingsSave();
  if (restart) startProviders();
  refresh();
}

void AppState::whenRefreshed(std::function<void()> task) {
  if (pendingRefreshes_ == 0) {
    task();
    return;
  }
  refreshedWaiters_.push_back(std::move(task));
}

std::vector<Provider> AppState::sortedEnabledProviders() const {
  std::vector<Provider> out;
  for (Provider p : allCases<Provider>())
    if (settings_.enabledProviders.contains(p)) out.push_back(p);
  return out;
}

// ---- providers -----------------------------------------------------------------------------

void AppState::setViewerOf(std::optional<CollectorStatus> other) {
  if (other == viewerOf_) return;
  const bool wasViewer = viewerOf_.has_value();
  viewerOf_ = std::move(other);
  if (viewerOf_ || wasViewer) startProviders();
}

void AppState::startProviders() {
  for (auto& [provider, live] : liveProviders_) live->stop();
  liveProviders_.clear();
  if (viewerOf_ && !settings_.demoMode) {
    if (providerHealth_ != viewerOf_->health) {
      providerHealth_ = viewerOf_->health;
      publish(StateChange::providerHealth);
    }
    return;
  }
  if (settings_.demoMode) {
    if (!providerHealth_.empty()) {
      providerHealth_.clear();
      publish(StateChange::providerHealth);
    }
    return;
  }
  auto make = options_.makeProvider ? options_.makeProvider : makeLiveProvider;
  std::map<Provider, ProviderHealth> health = providerHealth_;
  std::weak_ptr<AppState> weak = weak_from_this();
  MainLoop* loop = mainLoop_;
  for (Provider p : sortedEnabledProviders()) {
    std::unique_ptr<UsageProvider> live = make(p, *liveContext_);
    if (!live) continue;
    live->start([weak, loop](const std::vector<UsageSnapshot>&) {
      loop->post([weak] {
        if (auto s = weak.lock()) s->refresh();
      });
    });
    health[p] = live->health();
    liveProviders_[p] = std::move(live);
  }
  if (health != providerHealth_) {
    providerHealth_ = std::move(health);
    publish(StateChange::providerHealth);
  }
}

void AppState::scanUsageHistory() {
  if (settings_.demoMode || !history_) return;
  std::weak_ptr<AppState> weak = weak_from_this();
  history_->rescan([weak] {
    if (auto s = weak.lock()) s->refresh();
  });
}

// ---- the cycle ------------------------------------------------------------------------------

void AppState::refresh() {
  ++pendingRefreshes_;
  // Read on the main thread, handed to the computation.
  if (options_.stages.isPooledAccount) pooledAccountOnCompute_ = options_.stages.isPooledAccount();
  {
    // A request made while another waits on the queue replaces that one's inputs
    // and rides along with it: at most one computation runs and one waits.
    std::lock_guard lock(refreshMutex_);
    const bool waiting = nextRefresh_.has_value();
    nextRefresh_ = RefreshInputs{settings_, sortedEnabledProviders(), clock_->now()};
    ++nextRefreshRequests_;
    if (waiting) return;
  }
  std::weak_ptr<AppState> weak = weak_from_this();
  MainLoop* loop = mainLoop_;
  // `this` stays valid inside the task: the queue is drained before the members go.
  computeQueue_->async([this, weak, loop] {
    RefreshInputs in;
    int requests = 0;
    {
      std::lock_guard lock(refreshMutex_);
      in = std::move(*nextRefresh_);
      nextRefresh_.reset();
      requests = std::exchange(nextRefreshRequests_, 0);
    }
    ForecastBundle bundle = computeBundle(in.settings, in.providers, in.now);
    loop->post([weak, bundle = std::move(bundle), settings = std::move(in.settings), now = in.now, requests]() mutable {
      if (auto s = weak.lock()) {
        s->pendingRefreshes_ -= requests;
        s->apply(std::move(bundle), settings, now);
        if (s->pendingRefreshes_ == 0 && !s->refreshedWaiters_.empty()) {
          auto waiters = std::exchange(s->refreshedWaiters_, {});
          for (auto& task : waiters) task();
        }
      }
    });
  });
}

void AppState::regradeLongWindow(ForecastResult& r) {
  const double q = r.projectedUsedAtReset ? *r.projectedUsedAtReset : r.currentUsedPercent;
  if (r.currentUsedPercent >= 100)
    r.status = ForecastStatus::limited;
  else if (q >= 100)
    r.status = ForecastStatus::risky;
  else if (q >= 95)
    r.status = ForecastStatus::watch;
  else
    r.status = ForecastStatus::safe;
}

void AppState::applySmartOverride(ForecastResult& r, const CalibratedProjection& cal, const UsageSnapshot& latest,
                                  Timestamp now, bool pooledAccount) {
  const double q = cal.projectedUsedAtReset;
  r.projectedUsedAtReset = q;
  r.projectedRemainingAtReset = std::max(0.0, 100.0 - q);
  r.limitBeforeReset = q >= 100;
  if (!r.limitBeforeReset) r.estimatedTimeToLimit.reset();
  if (r.resetAt) {
    const double c = r.currentUsedPercent;
    if (q > 100 && c < 100 && c < q) {
      const double span = secondsBetween(latest.timestamp, *r.resetAt);
      r.runOutAt = addSeconds(latest.timestamp, ((100.0 - c) / (q - c)) * span);
    } else {
      r.runOutAt.reset();
    }
    if (r.runOutAt) r.estimatedTimeToLimit = secondsBetween(now, *r.runOutAt);
  }
  r.humanSummary = "From your usage history: ~" + NumberFormatting::percent(q) + " used by reset (est.).";
  if (cal.activeDays >= 5)
    r.confidence = SourceConfidence::high;
  else if (cal.activeDays >= 3)
    r.confidence = SourceConfidence::medium;
  if (r.provider == Provider::claude && pooledAccount && r.confidence == SourceConfidence::high)
    r.confidence = SourceConfidence::medium;
}

ForecastBundle AppState::computeBundle(const AppSettings& S, const std::vector<Provider>& P, Timestamp now) {
  ForecastBundle bundle;
  ComputeCache& cache = *cache_;
  const bool demo = S.demoMode;
  const bool claudeEnabled = S.enabledProviders.contains(Provider::claude);

  // 1. The working set, and per (provider, window) the current-window run.
  std::map<std::pair<Provider, WindowKind>, ComputeCache::Series> demoSeries;
  std::map<Provider, std::vector<WindowKind>> demoWindows;
  const std::map<std::pair<Provider, WindowKind>, ComputeCache::Series>* series = &cache.series;
  const std::map<Provider, std::vector<WindowKind>>* windows = &cache.windows;

  auto buildSeries = [](const std::vector<UsageSnapshot>& W, std::map<std::pair<Provider, WindowKind>, ComputeCache::Series>& out,
                        std::map<Provider, std::vector<WindowKind>>& outWindows) {
    out.clear();
    outWindows.clear();
    std::map<std::pair<Provider, WindowKind>, std::vector<const UsageSnapshot*>> grouped;
    for (const UsageSnapshot& s : W) {
      auto& list = grouped[{s.provider, s.windowKind}];
      if (list.empty()) outWindows[s.provider].push_back(s.windowKind);
      list.push_back(&s);
    }
    for (auto& [p, ws] : outWindows)
      std::stable_sort(ws.begin(), ws.end(), [](WindowKind a, WindowKind b) { return sortRank(a) < sortRank(b); });
    for (auto& [key, list] : grouped) {
      std::stable_sort(list.begin(), list.end(),
                       [](const UsageSnapshot* a, const UsageSnapshot* b) { return a->timestamp < b->timestamp; });
      // The forecast of a series only depends on its run since the last reset.
      std::vector<UsageSnapshot> sorted;
      const size_t start =
          BurnRateCalculator::latestSeriesStart(std::span<const UsageSnapshot* const>(list.data(), list.size()));
      sorted.reserve(list.size() - start);
      for (size_t i = start; i < list.size(); ++i) sorted.push_back(*list[i]);
      out[key].currentRun = std::move(sorted);
    }
  };

  if (demo) {
    auto W = std::make_shared<std::vector<UsageSnapshot>>();
    for (Provider p : P) {
      auto h = DemoProvider::history(p, now);
      W->insert(W->end(), h.begin(), h.end());
    }
    bundle.snapshots = W;
    buildSeries(*W, demoSeries, demoWindows);
    series = &demoSeries;
    windows = &demoWindows;
  } else {
    SnapshotList all = store_->recent(addSeconds(now, cache.monthlySpan ? -kMonthlyWorkingSpanSeconds : -kWorkingSpanSeconds));
    if (all && all != cache.source && !cache.monthlySpan &&
        std::any_of(all->begin(), all->end(), [](const UsageSnapshot& s) { return s.windowKind == WindowKind::monthly; })) {
      cache.monthlySpan = true;
      all = store_->recent(addSeconds(now, -kMonthlyWorkingSpanSeconds));
    }
    if (!all) all = std::make_shared<const std::vector<UsageSnapshot>>();
    std::set<Provider> enabled(S.enabledProviders.begin(), S.enabledProviders.end());
    SnapshotList W;
    const bool futureStillAhead = !cache.firstFutureStamp || isFutureStamp(*cache.firstFutureStamp, now);
    if (all == cache.source && enabled == cache.enabled && cache.working && futureStillAhead) {
      W = cache.working;
    } else {
      const auto keep = [&](const UsageSnapshot& s) { return enabled.contains(s.provider) && !isFutureStamped(s, now); };
      cache.futureStamped = 0;
      cache.firstFutureStamp.reset();
      bool everything = true;
      for (const UsageSnapshot& s : *all) {
        if (isFutureStamped(s, now)) {
          ++cache.futureStamped;
          if (!cache.firstFutureStamp || s.timestamp < *cache.firstFutureStamp) cache.firstFutureStamp = s.timestamp;
        }
        if (!keep(s)) everything = false;
      }
      if (everything) {
        W = all;
      } else {
        auto filtered = std::make_shared<std::vector<UsageSnapshot>>();
        for (const UsageSnapshot& s : *all)
          if (keep(s)) filtered->push_back(s);
        W = filtered;
      }
      cache.source = all;
      cache.enabled = enabled;
      cache.working = W;
      cache.series.clear();
      cache.windows.clear();
    }
    bundle.futureStamped = cache.futureStamped;
    // Estimates are recomputed every time; the stored part keeps its cache.
    SnapshotList augmented = W;
    if (claudeEnabled && options_.stages.augmentWorkingSet) augmented = options_.stages.augmentWorkingSet(W, S, now);
    if (!augmented) augmented = W;
    bundle.snapshots = augmented;
    if (augmented != W) {
      buildSeries(*augmented, demoSeries, demoWindows);
      series = &demoSeries;
      windows = &demoWindows;
    } else if (cache.series.empty() && !W->empty()) {
      buildSeries(*W, cache.series, cache.windows);
    }
  }

  // 2. and 3. Claude's current settings and learning.
  if (!demo && claudeEnabled) {
    if (options_.stages.claudeCurrent) bundle.claudeCurrent = options_.stages.claudeCurrent(S, now);
    if (options_.stages.learn) options_.stages.learn(*bundle.snapshots, S);
  }

  // 4. and 5. Forecasts, paces, calibration and re-grade per provider and window.
  std::vector<RecommendationEngine::Input> inputs;
  static const std::vector<UsageSnapshot> kEmpty;
  for (Provider p : P) {
    RecommendationEngine::Input input;
    input.provider = p;
    auto wit = windows->find(p);
    if (wit != windows->end()) {
      for (WindowKind w : wit->second) {
        auto sit = series->find({p, w});
        const std::vector<UsageSnapshot>& run = sit != series->end() ? sit->second.currentRun : kEmpty;
        ForecastResult r = ForecastEngine::forecast(p, w, run, S.forecastBasis, now);
        if (w == WindowKind::fiveHour) {
          input.fiveHour = r;
          if (!run.empty()) input.snapshot = run.back();
          bundle.forecasts[r.id()] = std::move(r);
          continue;
        }
        if (!isLongWindow(w)) {
          bundle.forecasts[r.id()] = std::move(r);
          continue;
        }
        if (run.empty()) {
          bundle.forecasts[r.id()] = std::move(r);
          continue;
        }
        const UsageSnapshot& L = run.back();
        PaceResult pace = PaceCalculator::pace(L, now);
        bundle.paces[p] = pace;
        input.pace = pace;
        if (!demo && options_.stages.calibrate) {
          if (auto cal = options_.stages.calibrate(p, L, *bundle.snapshots, bundle.claudeCurrent, now)) {
            bundle.calibrated[p] = *cal;
            if (S.forecastBasis == ForecastBasis::smart) applySmartOverride(r, *cal, L, now, pooledAccountOnCompute_.load());
          }
        }
        regradeLongWindow(r);
        input.longWindow = r;
        bundle.forecasts[r.id()] = std::move(r);
      }
    }
    inputs.push_back(std::move(input));
  }

  // 6. Advice.
  bundle.recommendations = RecommendationEngine::recommendations(inputs);
  return bundle;
}

void AppState::apply(ForecastBundle bundle, const AppSettings& S, Timestamp now) {
  unsigned changes = 0;
  if (!bundle.snapshots) bundle.snapshots = std::make_shared<const std::vector<UsageSnapshot>>();
  if (bundle.snapshots != working_) {
    const bool same = *bundle.snapshots == *working_;
    // Equal content under a new list: keep the new one, so the next unchanged
    // refresh is decided by the pointer alone.
    working_ = bundle.snapshots;
    if (!same) {
      recomputeAvailableSeries();
      changes |= StateChange::workingSnapshots;
    }
  }
  futureStamped_ = bundle.futureStamped;
  if (bundle.forecasts != forecasts_) {
    forecasts_ = std::move(bundle.forecasts);
    changes |= StateChange::forecasts;
  }
  if (bundle.paces != paces_) {
    paces_ = std::move(bundle.paces);
    changes |= StateChange::paces;
  }
  if (bundle.calibrated != calibrated_) {
    calibrated_ = std::move(bundle.calibrated);
    changes |= StateChange::calibrated;
  }
  if (bundle.claudeCurrent != claudeCurrent_) {
    claudeCurrent_ = std::move(bundle.claudeCurrent);
    changes |= StateChange::claudeCurrent;
  }
  if (bundle.recommendations != recommendations_) {
    recommendations_ = std::move(bundle.recommendations);
    changes |= StateChange::recommendations;
  }
  if (changes != 0 || !lastRefresh_) {
    lastRefresh_ = now;
    changes |= StateChange::lastRefresh;
  }

  // Auto focus.
  if (S.focusAuto) {
    if (auto urgent = mostUrgentSeries()) {
      if (settings_.focusedProvider != urgent->first) {
        settings_.focusedProvider = urgent->first;
        changes |= StateChange::settings;
        scheduleSettingsSave();
      }
      if (settings_.focusedWindow != urgent->second) {
        settings_.focusedWindow = urgent->second;
        changes |= StateChange::settings;
        scheduleSettingsSave();
      }
    }
  }

  // Provider health; entries of providers no longer live remain.
  std::map<Provider, ProviderHealth> health = providerHealth_;
  for (const auto& [p, live] : liveProviders_) health[p] = live->health();
  if (health != providerHealth_) {
    providerHealth_ = std::move(health);
    changes |= StateChange::providerHealth;
  }

  publish(changes);

  // Alerts, last, one notification per provider for this refresh; a viewer leaves them to the collector.
  if (viewerOf_) return;
  std::vector<std::pair<Provider, PaceResult>> paces(paces_.begin(), paces_.end());
  notifications_->beginBatch();
  notifications_->evaluate(forecastsInOrder(), paces, S);
  notifications_->evaluateRunOut(calibrated_, S, now);
  std::optional<NotificationManager::Overage> overage;
  if (options_.stages.lastExtraUsage) overage = options_.stages.lastExtraUsage();
  notifications_->evaluateBudget(overage, S, now);
  if (S.notificationsEnabled && !S.demoMode && NotificationManager::recapWindowOpen(now))
    notifications_->weeklyRecap(weeklyRecapText(), S, now);
  notifications_->endBatch();
}

// ---- operations ------------------------------------------------------------------------------------

void AppState::toggleProvider(Provider p, bool enabled) {
  AppSettings next = settings_;
  if (enabled)
    next.enabledProviders.insert(p);
  else
    next.enabledProviders.erase(p);
  setSettings(std::move(next));
  scheduleSettingsSave();
  startProviders();
  refresh();
}

void AppState::setFocusedProvider(Provider p) {
  AppSettings next = settings_;
  next.focusAuto = false;
  setSettings(next);
  scheduleSettingsSave();
  if (settings_.focusedProvider == p) return;
  std::vector<WindowKind> W;
  for (const auto& [sp, sw] : availableSeries_)
    if (sp == p) W.push_back(sw);
  next.focusedProvider = p;
  setSettings(next);
  scheduleSettingsSave();
  if (std::find(W.begin(), W.end(), settings_.focusedWindow) != W.end()) return;
  std::optional<WindowKind> choice;
  for (WindowKind w : W)
    if (isLongWindow(w)) {
      choice = w;
      break;
    }
  if (!choice && !W.empty()) choice = W.front();
  if (!choice) choice = settings_.focusedWindow;
  next.focusedWindow = *choice;
  setSettings(next);
  scheduleSettingsSave();
}

void AppState::setBasis(ForecastBasis basis) {
  if (settings_.forecastBasis == basis) return;
  AppSettings next = settings_;
  next.forecastBasis = basis;
  setSettings(std::move(next));
  scheduleSettingsSave();
  std::weak_ptr<AppState> weak = weak_from_this();
  mainLoop_->post([weak] {
    if (auto s = weak.lock()) s->refresh();
  });
}

std::string AppState::installClaudeBridge() {
  if (!options_.stages.installBridge) return "The Claude bridge installer is not part of this build.";
  const LiveStages::BridgeOutcome outcome = options_.stages.installBridge();
  if (outcome.failed) return outcome.message;
  updateSettings([&](AppSettings& s) { s.previousClaudeStatusLineCommand = outcome.previousStatusLineCommand; });
  updateSettings([](AppSettings& s) { s.claudeBridgeInstalled = true; });
  return outcome.message;
}

std::string AppState::uninstallClaudeBridge() {
  if (!options_.stages.uninstallBridge) return "The Claude bridge installer is not part of this build.";
  const LiveStages::BridgeOutcome outcome = options_.stages.uninstallBridge();
  if (outcome.failed) return outcome.message;
  updateSettings([](AppSettings& s) { s.previousClaudeStatusLineCommand.reset(); });
  updateSettings([](AppSettings& s) { s.claudeBridgeInstalled = false; });
  return outcome.message;
}

void AppState::pruneHistory() {
  std::weak_ptr<AppState> weak = weak_from_this();
  MainLoop* loop = mainLoop_;
  store_->pruneAsync(settings_.retentionDays, clock_->now(), [weak, loop] {
    loop->post([weak] {
      if (auto s = weak.lock()) s->refresh();
    });
  });
}

void AppState::clearHistory() {
  std::weak_ptr<AppState> weak = weak_from_this();
  MainLoop* loop = mainLoop_;
  store_->clearAsync([weak, loop] {
    loop->post([weak] {
      if (auto s = weak.lock()) s->refresh();
    });
  });
}

}  // namespace qd
