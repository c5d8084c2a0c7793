#include "app/app_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "app/manual_main_loop.h"
#include "app/testing/app_test_support.h"
#include "forecasting/pace_calculator.h"
#include "storage/settings_store.h"
#include "storage/snapshot_store.h"
#include "storage/atomic_file.h"

namespace qd {
namespace {

using testing::snapshot;

// A live source that reports a fixed health and lets the test signal updates.
class FakeProvider final : public UsageProvider {
 public:
  explicit FakeProvider(Provider p) : provider_(p) {}
  [[nodiscard]] Provider provider() const override { return provider_; }
  [[nodiscard]] ProviderHealth health() const override {
    return ProviderHealth{ProviderHealth::State::connected, "Fake source", std::nullopt, std::nullopt};
  }
  void start(UpdateCallback onUpdate) override { onUpdate_ = std::move(onUpdate); }
  void stop() override { ++stops; }
  void signal() { onUpdate_({}); }
  int stops = 0;

 private:
  Provider provider_;
  UpdateCallback onUpdate_;
};


// The usage history as the state reads it, with figures set by the test.
class FakeFigures final : public UsageFigures {
 public:
  double averageDailyTokens(Provider, int, Timestamp) const override { return average; }
  std::vector<std::int64_t> weeklyTotals(Provider, int, Timestamp) const override { return weeks; }
  double costUSD(Provider p, Timestamp) const override { return p == Provider::codex ? 4.2 : 200; }
  std::optional<std::pair<int, int>> peakWindow(int) const override { return peak; }
  std::vector<std::pair<std::string, std::int64_t>> recentSeries(Provider, int, Timestamp) const override {
    return days;
  }
  void rescan(std::function<void()> done) override {
    ++rescans;
    done();
  }
  void setOnChange(std::function<void()> fn) override { onChange = std::move(fn); }
  std::vector<std::string> pricingNotes() const override { return notes; }

  double average = 0;
  std::vector<std::string> notes;
  std::vector<std::int64_t> weeks;
  std::optional<std::pair<int, int>> peak;
  std::vector<std::pair<std::string, std::int64_t>> days;
  int rescans = 0;
  std::function<void()> onChange;
};

class AppStateTest : public ::testing::Test {
 protected:
  void SetUp() override { AppLogger::shared().setFileURL(dir.path() / "logs" / "app.log"); }

  std::shared_ptr<AppState> make(std::vector<std::string> args = {}, LiveStages stages = {}) {
    AppStateOptions o;
    o.mainLoop = &loop;
    o.clock = &clock;
    o.supportDirectory = dir.path();
    o.arguments = std::move(args);
    o.notificationSink = &sink;
    o.desktopServices = &desktop;
    o.startTimers = startTimers;
    o.history = figures;
    o.stages = std::move(stages);
    o.viewerOf = viewerOf;
    o.makeProvider = [this](Provider p, LiveSourceContext&) -> std::unique_ptr<UsageProvider> {
      ++providersMade;
      auto fake = std::make_unique<FakeProvider>(p);
      lastProvider = fake.get();
      return fake;
    };
    if (countWrites) {
      o.writeSettings = [this](const AppSettings& s) {
        std::lock_guard lock(writesMutex);
        writes.push_back(s);
      };
    }
    return AppState::create(std::move(o));
  }

  // Runs the export and the loop until it reports where the file went.
  std::optional<std::filesystem::path> exported(AppState& state) {
    std::optional<std::optional<std::filesystem::path>> result;
    state.exportCSV([&](std::optional<std::filesystem::path> written) { result = std::move(written); });
    EXPECT_TRUE(loop.runUntil([&] { return result.has_value(); }));
    return result.value_or(std::nullopt);
  }
  void settle(AppState& state) {
    ASSERT_TRUE(loop.runUntil([&] { return state.pendingRefreshes() == 0; }));
  }

  void store(const std::vector<UsageSnapshot>& snaps) {
    SnapshotStore s(dir.path() / "snapshots.ndjson");
    s.append(snaps);
  }

  Timestamp now() const { return clock.now(); }
  Timestamp at(double secondsFromNow) const { return addSeconds(clock.now(), secondsFromNow); }

  testing::TempDir dir;
  ManualClock clock{fromUnixSeconds(1'800'000'000)};
  ManualMainLoop loop{clock};
  testing::RecordingSink sink;
  testing::RecordingDesktop desktop;
  int providersMade = 0;
  FakeProvider* lastProvider = nullptr;
  bool countWrites = true;
  bool startTimers = false;
  std::optional<CollectorStatus> viewerOf;
  std::shared_ptr<FakeFigures> figures = std::make_shared<FakeFigures>();
  std::mutex writesMutex;
  std::vector<AppSettings> writes;
};

// ---- the cycle --------------------------------------------------------------------

TEST_F(AppStateTest, FirstRefreshPublishesForecastsAndStampsLastRefresh) {
  store({snapshot(Provider::codex, WindowKind::fiveHour, at(-3600), 20, at(7200), 300),
         snapshot(Provider::codex, WindowKind::fiveHour, at(0), 30, at(7200), 300)});
  auto state = make();
  EXPECT_FALSE(state->lastRefresh());
  settle(*state);
  EXPECT_EQ(state->lastRefresh(), now());
  ASSERT_TRUE(state->forecast(Provider::codex, WindowKind::fiveHour));
  EXPECT_EQ(state->forecast(Provider::codex, WindowKind::fiveHour)->currentUsedPercent, 30);
  EXPECT_EQ(state->workingSnapshots().size(), 2u);
}

TEST_F(AppStateTest, AReadingStampedInTheFutureIsIgnoredUntilItsTimeComes) {
  // A skewed clock or a hand-edited file: one reading a day ahead at 97 %.
  store({snapshot(Provider::claude, WindowKind::fiveHour, at(-3600), 20, at(7200), 300, SnapshotSource::claudeOAuth),
         snapshot(Provider::claude, WindowKind::fiveHour, at(86400), 97, at(90000), 300, SnapshotSource::claudeOAuth),
         snapshot(Provider::claude, WindowKind::fiveHour, at(0), 30, at(7200), 300, SnapshotSource::claudeOAuth),
         // A few minutes ahead is clock skew, and counts.
         snapshot(Provider::claude, WindowKind::fiveHour, at(240), 31, at(7200), 300, SnapshotSource::claudeOAuth)});
  auto state = make();
  settle(*state);
  ASSERT_TRUE(state->forecast(Provider::claude, WindowKind::fiveHour));
  EXPECT_EQ(state->forecast(Provider::claude, WindowKind::fiveHour)->currentUsedPercent, 31);
  EXPECT_EQ(state->workingSnapshots().size(), 3u);
  EXPECT_NE(state->diagnosticsText().find("\nreadings stamped in the future (ignored): 1"), std::string::npos);

  clock.advance(86400);
  state->refresh();
  settle(*state);
  EXPECT_EQ(state->forecast(Provider::claude, WindowKind::fiveHour)->currentUsedPercent, 97);
  EXPECT_EQ(state->diagnosticsText().find("stamped in the future"), std::string::npos);
}

TEST_F(AppStateTest, AnUnchangedSecondRefreshWakesNoObserverAndKeepsLastRefresh) {
  store({snapshot(Provider::codex, WindowKind::fiveHour, at(-3600), 20, at(7200), 300),
         snapshot(Provider::codex, WindowKind::fiveHour, at(0), 30, at(7200), 300)});
  auto state = make();
  settle(*state);
  const auto stamp = state->lastRefresh();

  int wakes = 0;
  auto sub = state->subscribe([&](unsigned) { ++wakes; });
  clock.advance(0);  // the same moment: the same inputs
  state->refresh();
  state->refresh();
  EXPECT_EQ(state->pendingRefreshes(), 2);
  settle(*state);
  EXPECT_EQ(wakes, 0);
  EXPECT_EQ(state->lastRefresh(), stamp);
}

TEST_F(AppStateTest, RefreshesRunInOrderAndTheLaterOneSeesNewData) {
  auto state = make();
  settle(*state);
  std::vector<unsigned> announced;
  auto sub = state->subscribe([&](unsigned changes) { announced.push_back(changes); });
  state->refresh();  // nothing stored yet
  store({snapshot(Provider::claude, WindowKind::sevenDay, at(0), 40, at(86'400), 10'080)});
  clock.advance(1);
  state->refresh();
  settle(*state);
  // The first may already see the appended line; between them they publish it once.
  unsigned all = 0;
  for (unsigned c : announced) all |= c;
  EXPECT_TRUE(all & StateChange::workingSnapshots);
  EXPECT_TRUE(announced.back() & StateChange::lastRefresh);
  EXPECT_EQ(state->workingSnapshots().size(), 1u);
  EXPECT_EQ(state->lastRefresh(), now());
}

TEST_F(AppStateTest, ProviderUpdatesTriggerARefresh) {
  auto state = make();
  settle(*state);
  ASSERT_NE(lastProvider, nullptr);
  store({snapshot(Provider::claude, WindowKind::fiveHour, at(0), 12, at(3600), 300)});
  lastProvider->signal();
  loop.runPending();
  settle(*state);
  EXPECT_EQ(state->workingSnapshots().size(), 1u);
}

// The working set reaches back eight days (a month and more once a monthly
// window appears); older readings stay in the file for export.
TEST_F(AppStateTest, TheWorkingSetCoversTheCurrentWindowsNotTheWholeHistory) {
  const double day = 86'400;
  store({snapshot(Provider::codex, WindowKind::sevenDay, at(-40 * day), 90, at(-33 * day), 10'080),
         snapshot(Provider::codex, WindowKind::monthly, at(-20 * day), 50, at(10 * day), 43'200),
         snapshot(Provider::codex, WindowKind::sevenDay, at(-9 * day), 70, at(-2 * day), 10'080),
         snapshot(Provider::codex, WindowKind::sevenDay, at(-1 * day), 10, at(6 * day), 10'080),
         snapshot(Provider::codex, WindowKind::sevenDay, at(0), 20, at(6 * day), 10'080)});
  auto state = make();
  settle(*state);
  std::vector<Timestamp> seen;
  for (const auto& s : state->workingSnapshots()) seen.push_back(s.timestamp);
  // The monthly reading is twenty days old: out of reach until a newer one appears.
  EXPECT_EQ(seen, (std::vector<Timestamp>{at(-1 * day), at(0)}));

  store({snapshot(Provider::codex, WindowKind::monthly, at(0), 55, at(10 * day), 43'200)});
  state->refresh();  // a monthly window within eight days: the set reaches back 32
  settle(*state);
  seen.clear();
  for (const auto& s : state->workingSnapshots()) seen.push_back(s.timestamp);
  EXPECT_EQ(seen, (std::vector<Timestamp>{at(-20 * day), at(-9 * day), at(-1 * day), at(0), at(0)}));
  EXPECT_EQ(state->snapshotStore().all()->size(), 6u);
}

// "Prune now" and "Reset history" run on the store's writer and refresh when done.
TEST_F(AppStateTest, PruneAndResetRefreshWhenTheStoreIsDone) {
  store({snapshot(Provider::codex, WindowKind::fiveHour, at(-400 * 86'400.0), 10, at(-399 * 86'400.0), 300),
         snapshot(Provider::codex, WindowKind::fiveHour, at(0), 30, at(7200), 300)});
  auto state = make();
  settle(*state);
  state->pruneHistory();
  ASSERT_TRUE(loop.runUntil([&] { return state->snapshotStore().all()->size() == 1; }));
  settle(*state);
  EXPECT_EQ(state->workingSnapshots().size(), 1u);

  state->clearHistory();  // the refresh that follows empties the working set
  ASSERT_TRUE(loop.runUntil([&] { return state->workingSnapshots().empty() && state->pendingRefreshes() == 0; }));
  EXPECT_EQ(std::filesystem::file_size(dir.path() / "snapshots.ndjson"), 0u);
}

// A provider flooding the state with updates costs at most one computation
// running and one waiting, which answers every request made meanwhile.
TEST_F(AppStateTest, ABurstOfRefreshRequestsMergesIntoOneWaitingComputation) {
  std::atomic<int> computations{0};
  std::mutex gateMutex;
  std::condition_variable gate;
  bool held = false;
  LiveStages stages;
  stages.claudeCurrent = [&](const AppSettings&, Timestamp) {
    ++computations;
    std::unique_lock lock(gateMutex);
    gate.wait(lock, [&] { return !held; });
    return std::optional<ClaudeCurrentSettings>();
  };
  auto state = make({}, stages);
  const auto open = [&] {
    {
      std::lock_guard lock(gateMutex);
      held = false;
    }
    gate.notify_all();
  };
  // A failed assertion must not leave the compute queue waiting at the gate.
  std::shared_ptr<void> openAtExit(nullptr, [&](void*) { open(); });
  settle(*state);
  const int before = computations.load();
  {
    std::lock_guard lock(gateMutex);
    held = true;
  }
  // The first request's computation runs (and waits at the gate) ...
  lastProvider->signal();
  loop.runPending();
  ASSERT_TRUE(loop.runUntil([&] { return computations.load() == before + 1; }));
  // ... while a thousand more arrive, with new data among them.
  store({snapshot(Provider::codex, WindowKind::fiveHour, at(0), 12, at(3600), 300)});
  for (int i = 0; i < 1000; ++i) {
    clock.advance(0.001);
    lastProvider->signal();
  }
  loop.runPending();
  EXPECT_EQ(state->pendingRefreshes(), 1001);
  open();
  settle(*state);
  EXPECT_EQ(state->pendingRefreshes(), 0);
  EXPECT_EQ(computations.load() - before, 2);
  // The merged computation used the inputs of the last request.
  EXPECT_EQ(state->lastRefresh(), now());
  EXPECT_EQ(state->workingSnapshots().size(), 1u);
}

// Beside another collector the state only shows: no providers, no alerts, the
// collector's health, and it says so; it collects once the other has gone.
TEST_F(AppStateTest, AViewerStartsNothingSendsNoAlertsAndShowsTheCollectorsHealth) {
  const ProviderHealth remote{ProviderHealth::State::error, "app-server not running; restarting in 5 s",
                              std::nullopt, std::nullopt};
  viewerOf = CollectorStatus{4242, "headless", {{Provider::codex, remote}}};
  store({snapshot(Provider::codex, WindowKind::fiveHour, at(-60), 97, at(3600), 300)});
  auto state = make();
  state->updateSettings([](AppSettings& s) {
    s.hasOnboarded = true;
    s.notificationsEnabled = true;
  });
  state->refresh();
  settle(*state);
  EXPECT_EQ(providersMade, 0);
  EXPECT_EQ(state->providerHealth(), (std::map<Provider, ProviderHealth>{{Provider::codex, remote}}));
  EXPECT_TRUE(sink.delivered.empty());
  EXPECT_NE(state->diagnosticsText().find("\ncollector: the headless collector (pid 4242); this copy only shows "
                                          "what it stores\n"),
            std::string::npos)
      << state->diagnosticsText();
  ASSERT_TRUE(state->forecast(Provider::codex, WindowKind::fiveHour));  // the stored readings still show

  state->setViewerOf(std::nullopt);
  state->refresh();
  settle(*state);
  EXPECT_EQ(providersMade, 2);
  EXPECT_EQ(state->providerHealth().at(Provider::codex).detail, "Fake source");
  EXPECT_EQ(state->diagnosticsText().find("collector:"), std::string::npos);
  EXPECT_FALSE(sink.delivered.empty());  // the collector alerts
}

TEST_F(AppStateTest, DisabledProvidersAreLeftOutOfTheWorkingSet) {
  store({snapshot(Provider::codex, WindowKind::fiveHour, at(0), 10, at(3600), 300),
         snapshot(Provider::claude, WindowKind::fiveHour, at(0), 20, at(3600), 300)});
  auto state = make();
  settle(*state);
  state->toggleProvider(Provider::codex, false);
  settle(*state);
  ASSERT_EQ(state->workingSnapshots().size(), 1u);
  EXPECT_EQ(state->workingSnapshots()[0].provider, Provider::claude);
  EXPECT_FALSE(state->forecast(Provider::codex, WindowKind::fiveHour));
  EXPECT_EQ(state->sortedEnabledProviders(), std::vector<Provider>{Provider::claude});
}

TEST_F(AppStateTest, LiveProvidersReportHealthAndDemoModeStartsNone) {
  auto live = make();
  settle(*live);
  EXPECT_EQ(providersMade, 2);
  EXPECT_EQ(live->providerHealth().size(), 2u);
  EXPECT_EQ(live->providerHealth().at(Provider::codex).detail, "Fake source");

  providersMade = 0;
  auto demo = make({"--demo"});
  settle(*demo);
  EXPECT_EQ(providersMade, 0);
  EXPECT_TRUE(demo->providerHealth().empty());
  EXPECT_EQ(demo->workingSnapshots().size(), 46u);
  EXPECT_EQ(demo->forecasts().size(), 4u);
  EXPECT_EQ(demo->paces().size(), 2u);
}

TEST_F(AppStateTest, BothLongWindowsAreForecastButPaceComesFromWeekly) {
  const auto seven = snapshot(Provider::claude, WindowKind::sevenDay, at(-60), 30, at(3 * 86'400), 10'080);
  const auto weekly = snapshot(Provider::claude, WindowKind::weekly, at(-60), 70, at(86'400), 10'080);
  store({seven, weekly});
  auto state = make();
  settle(*state);
  EXPECT_TRUE(state->forecast(Provider::claude, WindowKind::sevenDay));
  EXPECT_TRUE(state->forecast(Provider::claude, WindowKind::weekly));
  ASSERT_TRUE(state->paces().contains(Provider::claude));
  EXPECT_EQ(state->paces().at(Provider::claude), PaceCalculator::pace(weekly, now()));
}

// ---- the long-window re-grade ---------------------------------------------------------

TEST(AppStateRegrade, LongWindowThresholds) {
  struct Case {
    double used;
    std::optional<double> projected;
    ForecastStatus expected;
  };
  const Case cases[] = {
      {60, 101, ForecastStatus::risky},   {60, 100, ForecastStatus::risky},   {60, 96, ForecastStatus::watch},
      {60, 95, ForecastStatus::watch},    {60, 94.9, ForecastStatus::safe},   {60, 80, ForecastStatus::safe},
      {100, 40, ForecastStatus::limited}, {120, std::nullopt, ForecastStatus::limited},
      {96, std::nullopt, ForecastStatus::watch}, {10, std::nullopt, ForecastStatus::safe},
  };
  for (const Case& c : cases) {
    ForecastResult r;
    r.windowKind = WindowKind::weekly;
    r.currentUsedPercent = c.used;
    r.projectedUsedAtReset = c.projected;
    r.status = ForecastStatus::noData;
    AppState::regradeLongWindow(r);
    EXPECT_EQ(r.status, c.expected) << "used " << c.used << " projected " << c.projected.value_or(-1);
  }
}

TEST(AppStateSmartOverride, TakesTheCalibratedProjectionAndItsRunOut) {
  const Timestamp t0 = fromUnixSeconds(1'800'000'000);
  UsageSnapshot latest;
  latest.timestamp = t0;
  ForecastResult r;
  r.provider = Provider::claude;
  r.windowKind = WindowKind::sevenDay;
  r.currentUsedPercent = 40;
  r.resetAt = addSeconds(t0, 60 * 3600);
  r.confidence = SourceConfidence::high;
  CalibratedProjection q;
  q.projectedUsedAtReset = 120;
  q.activeDays = 2;
  AppState::applySmartOverride(r, q, latest, t0, /*pooledAccount=*/true);
  ASSERT_TRUE(r.runOutAt);
  EXPECT_DOUBLE_EQ(secondsBetween(t0, *r.runOutAt), 45 * 3600);
  EXPECT_TRUE(r.limitBeforeReset);
  EXPECT_EQ(r.humanSummary, "From your usage history: ~120% used by reset (est.).");
  EXPECT_EQ(r.confidence, SourceConfidence::medium);  // pooled accounts never read high

  q.projectedUsedAtReset = 90;
  q.activeDays = 5;
  AppState::applySmartOverride(r, q, latest, t0, false);
  EXPECT_FALSE(r.limitBeforeReset);
  EXPECT_FALSE(r.runOutAt);
  EXPECT_FALSE(r.estimatedTimeToLimit);
  EXPECT_EQ(r.confidence, SourceConfidence::high);
  AppState::regradeLongWindow(r);
  EXPECT_EQ(r.status, ForecastStatus::safe);
}

// ---- auto focus --------------------------------------------------------------------------

class AutoFocusTest : public AppStateTest {
 protected:
  void SetUp() override {
    AppStateTest::SetUp();
    // Codex 5h rises 20 %/h from 70 %: it runs out before its reset. Claude's week is spent.
    store({snapshot(Provider::codex, WindowKind::fiveHour, at(-3600), 50, at(4 * 3600), 300),
           snapshot(Provider::codex, WindowKind::fiveHour, at(0), 70, at(4 * 3600), 300),
           snapshot(Provider::claude, WindowKind::sevenDay, at(0), 100, at(86'400), 10'080, "claude.oauth")});
  }
};

TEST_F(AutoFocusTest, FocusMovesToTheSpentWindowAndIsSaved) {
  auto state = make();
  settle(*state);
  ASSERT_EQ(state->mostUrgentSeries(), std::make_pair(Provider::claude, WindowKind::sevenDay));
  EXPECT_EQ(state->settings().focusedProvider, Provider::claude);
  EXPECT_EQ(state->settings().focusedWindow, WindowKind::sevenDay);
  loop.advance(0.5);
  state->flushSettingsSave();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].focusedWindow, WindowKind::sevenDay);
}

TEST_F(AutoFocusTest, PooledAccountsSkipClaudeCandidates) {
  LiveStages stages;
  stages.isPooledAccount = [] { return true; };
  auto state = make({}, stages);
  settle(*state);
  EXPECT_EQ(state->mostUrgentSeries(), std::make_pair(Provider::codex, WindowKind::fiveHour));
  EXPECT_EQ(state->settings().focusedProvider, Provider::codex);
  EXPECT_EQ(state->settings().focusedWindow, WindowKind::fiveHour);
}

TEST_F(AutoFocusTest, ManualFocusIsLeftAlone) {
  AppSettings manual;
  manual.focusAuto = false;
  manual.focusedProvider = Provider::codex;
  manual.focusedWindow = WindowKind::fiveHour;
  SettingsStore(dir.path() / "settings.json").save(manual);
  auto state = make();
  settle(*state);
  EXPECT_EQ(state->settings().focusedProvider, Provider::codex);
  EXPECT_TRUE(writes.empty());
}

TEST_F(AppStateTest, NothingUrgentLeavesTheFocus) {
  store({snapshot(Provider::codex, WindowKind::fiveHour, at(-3600), 10, at(4 * 3600), 300),
         snapshot(Provider::codex, WindowKind::fiveHour, at(0), 11, at(4 * 3600), 300)});
  auto state = make();
  settle(*state);
  EXPECT_FALSE(state->mostUrgentSeries());
  EXPECT_EQ(state->settings().focusedProvider, Provider::claude);
}

TEST_F(AppStateTest, FocusingAProviderPicksItsLongWindow) {
  store({snapshot(Provider::codex, WindowKind::fiveHour, at(0), 10, at(3600), 300),
         snapshot(Provider::codex, WindowKind::weekly, at(0), 10, at(86'400), 10'080),
         snapshot(Provider::claude, WindowKind::fiveHour, at(0), 10, at(3600), 300)});
  auto state = make();
  settle(*state);
  state->updateSettings([](AppSettings& s) { s.focusedWindow = WindowKind::monthly; });
  state->setFocusedProvider(Provider::codex);
  EXPECT_FALSE(state->settings().focusAuto);
  EXPECT_EQ(state->settings().focusedWindow, WindowKind::weekly);
  state->setFocusedProvider(Provider::claude);
  EXPECT_EQ(state->settings().focusedWindow, WindowKind::fiveHour);
}

// ---- settings saves ------------------------------------------------------------------------

TEST_F(AppStateTest, ThreeChangesWithinHalfASecondGiveOneWriteOfTheLast) {
  auto state = make();
  settle(*state);
  for (int i = 1; i <= 3; ++i) {
    state->updateSettings([i](AppSettings& s) { s.retentionDays = 10 * i; });
    loop.advance(0.2);
  }
  // 0.6 s after the first change, 0.2 s after the last: nothing written.
  {
    std::lock_guard lock(writesMutex);
    EXPECT_TRUE(writes.empty());
  }
  // The timer hands the write to the save queue; flushing waits for it.
  loop.advance(0.3);
  state->flushSettingsSave();
  {
    std::lock_guard lock(writesMutex);
    EXPECT_EQ(writes.size(), 1u);
  }
  loop.advance(2);
  state->flushSettingsSave();
  std::lock_guard lock(writesMutex);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].retentionDays, 30);
}

TEST_F(AppStateTest, ADemoLaunchNeverPersistsDemoMode) {
  countWrites = false;
  auto state = make({"--demo"});
  settle(*state);
  EXPECT_TRUE(state->settings().demoMode);
  EXPECT_TRUE(state->settings().hasOnboarded);
  state->updateSettings([](AppSettings& s) { s.showRemaining = false; });
  loop.advance(0.5);
  state->flushSettingsSave();
  const AppSettings saved = SettingsStore(dir.path() / "settings.json").load();
  EXPECT_FALSE(saved.demoMode);
  EXPECT_TRUE(saved.hasOnboarded);
  EXPECT_FALSE(saved.showRemaining);
}

TEST_F(AppStateTest, SetBasisRefreshesOnlyOnChange) {
  auto state = make();
  settle(*state);
  state->setBasis(state->settings().forecastBasis);
  EXPECT_EQ(loop.runPending(), 0);
  EXPECT_EQ(state->pendingRefreshes(), 0);
  state->setBasis(ForecastBasis::last6h);
  EXPECT_EQ(state->settings().forecastBasis, ForecastBasis::last6h);
  // The posted refresh ran (its result may already be applied: the computation
  // runs on its own thread and can finish within runPending).
  EXPECT_GE(loop.runPending(), 1);
  settle(*state);
}

// ---- derived views ------------------------------------------------------------------------

TEST_F(AppStateTest, GlobalStatusIsTheWorstPublishedStatus) {
  auto state = make();
  settle(*state);
  EXPECT_EQ(state->globalStatus(), ForecastStatus::noData);
  store({snapshot(Provider::codex, WindowKind::fiveHour, at(0), 10, at(3600), 300),
         snapshot(Provider::claude, WindowKind::sevenDay, at(0), 100, at(86'400), 10'080)});
  state->refresh();
  settle(*state);
  EXPECT_EQ(state->globalStatus(), ForecastStatus::limited);
}

TEST_F(AppStateTest, FreshnessLabels) {
  store({snapshot(Provider::codex, WindowKind::fiveHour, at(-119), 10, at(3600), 300),
         snapshot(Provider::claude, WindowKind::fiveHour, at(-19 * 60), 10, at(3600), 300, "claude.statusline")});
  auto state = make();
  settle(*state);
  EXPECT_EQ(state->freshnessLabel(Provider::codex), "live");
  EXPECT_EQ(state->freshnessLabel(Provider::claude), "live");
  clock.advance(1);
  EXPECT_EQ(state->freshnessLabel(Provider::codex), "as of 2m ago");
  clock.advance(60);
  EXPECT_EQ(state->freshnessLabel(Provider::claude), "synced 20m ago");
}

TEST_F(AppStateTest, DemoFiguresComeFromTheDemoWeek) {
  auto state = make({"--demo"});
  settle(*state);
  EXPECT_EQ(state->freshnessLabel(Provider::claude), "demo");
  EXPECT_DOUBLE_EQ(state->avgDailyTokens(Provider::claude), 89e6 / 7);
  EXPECT_EQ(state->spendThisWeek(Provider::claude), "\u00a318.17");  // $23 at 0.79
  EXPECT_EQ(state->spendThisWeekTotal(), "\u00a326.86");
  EXPECT_EQ(state->dailySeries(Provider::codex).size(), 7u);
  // The trend ends on the demo week and moves against the week before.
  const auto claude = state->weekTrend(Provider::claude), codex = state->weekTrend(Provider::codex);
  EXPECT_EQ(claude.weeks.size(), 4u);
  EXPECT_EQ(claude.thisWeek, 89'000'000);
  ASSERT_TRUE(claude.deltaPct && codex.deltaPct);
  EXPECT_GT(*claude.deltaPct, 5);
  EXPECT_LT(*codex.deltaPct, -5);
  EXPECT_FALSE(state->scenarios(Provider::codex, WindowKind::fiveHour).empty());
}

TEST_F(AppStateTest, TimersRefreshEveryThirtySecondsAndRescanOutsideDemoMode) {
  startTimers = true;
  auto state = make();
  settle(*state);
  EXPECT_EQ(figures->rescans, 1);  // at startup
  int announcements = 0;
  auto sub = state->subscribe([&](unsigned) { ++announcements; });
  store({snapshot(Provider::codex, WindowKind::fiveHour, at(0), 10, at(3600), 300)});
  loop.advance(30);
  settle(*state);
  EXPECT_EQ(state->workingSnapshots().size(), 1u);
  loop.advance(600);
  settle(*state);
  EXPECT_EQ(figures->rescans, 3);
  // The history's own change signal refreshes too.
  const auto before = state->lastRefresh();
  clock.advance(1);
  figures->onChange();
  settle(*state);
  EXPECT_NE(state->lastRefresh(), before);

  auto demoFigures = std::make_shared<FakeFigures>();
  figures = demoFigures;
  auto demo = make({"--demo"});
  loop.advance(600);
  settle(*demo);
  EXPECT_EQ(demoFigures->rescans, 0);
}

TEST_F(AppStateTest, HistoryFiguresAndTheirLabels) {
  LiveStages stages;
  CalibratedProjection projection;
  projection.dailyBurnPercent = 12;
  projection.daysOfHeadroom = 2.46;
  stages.calibrate = [&](Provider p, const UsageSnapshot&, const std::vector<UsageSnapshot>&,
                         const std::optional<ClaudeCurrentSettings>&, Timestamp) -> std::optional<CalibratedProjection> {
    if (p != Provider::claude) return std::nullopt;
    return projection;
  };
  store({snapshot(Provider::claude, WindowKind::sevenDay, at(0), 40, at(86'400), 10'080, "claude.oauth")});
  figures->peak = std::make_pair(22, 26);
  figures->weeks = {10, 50'000, 80'000};
  figures->days = {{"2027-01-13", 5}, {"2027-01-14", 900}, {"2027-01-15", 900}};
  auto state = make({}, stages);
  settle(*state);
  EXPECT_EQ(state->headroomLabel(Provider::claude), "~2.5 days of your usual usage left");
  EXPECT_FALSE(state->headroomLabel(Provider::codex));
  EXPECT_EQ(state->peakUsageWindowLabel(), "22:00\u201302:00");
  EXPECT_FALSE(state->weekTrend(Provider::codex).deltaPct);
  EXPECT_EQ(state->weekTrend(Provider::codex).thisWeek, 80'000);
  figures->weeks = {200'000, 300'000};
  EXPECT_DOUBLE_EQ(*state->weekTrend(Provider::codex).deltaPct, 50);
  EXPECT_EQ(state->spendThisWeek(Provider::codex), "\u00a33.32");
  EXPECT_EQ(state->spendThisWeekTotal(), "\u00a3161");  // 204.2 dollars in pounds, whole above 100
  EXPECT_EQ(state->weeklyRecapText(), "Claude Code: 40% of weekly used, heaviest 01-14");

  projection.daysOfHeadroom = 0.5;
  clock.advance(1);
  state->refresh();
  settle(*state);
  EXPECT_EQ(state->headroomLabel(Provider::claude), "~12h of your usual usage left");
  projection.dailyBurnPercent = 0.1;
  clock.advance(1);
  state->refresh();
  settle(*state);
  EXPECT_FALSE(state->headroomLabel(Provider::claude));
}

// ---- diagnostics and export ---------------------------------------------------------------

TEST_F(AppStateTest, DiagnosticsTextDescribesTheStateAndIsRedacted) {
  LiveStages stages;
  stages.bridgeStateText = [] { return std::string("installed"); };
  AppLogger::shared().resetLastError();
  AppLogger::shared().error("fetch failed for someone@example.com with key_abcdefghij");
  figures->notes = {"prices: /usr/share/quotadial/pricing.json",
                    "Claude Code models priced by family fallback: claude-opus-5"};
  auto state = make({"--demo"}, stages);
  settle(*state);
  const std::string text = state->diagnosticsText();
  EXPECT_NE(text.find("\nprices: /usr/share/quotadial/pricing.json\nClaude Code models priced by family fallback: "
                      "claude-opus-5"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.rfind("Quotadial diagnostics\nmode: demo\nlast update: 2027-01-15 08:00:00 +0000\n", 0), 0u)
      << text;
  EXPECT_NE(text.find("\nCodex: demo\n  5h: used 22%, status Safe, burn "), std::string::npos) << text;
  EXPECT_NE(text.find("%/h\nClaude Code: demo\n  5h: used 28%, status Safe"), std::string::npos) << text;
  EXPECT_NE(text.find("\ncodex in PATH: "), std::string::npos);
  EXPECT_NE(text.find("\nclaude bridge: installed\n"), std::string::npos);
  EXPECT_NE(text.find("\nlast error: fetch failed for <email> with <token>"), std::string::npos) << text;
  AppLogger::shared().resetLastError();
}

TEST(AppStateRedaction, AppliesTheThreeRulesInOrder) {
  const std::pair<std::string, std::string> cases[] = {
      {"mail ann.lee+x@mail.example.org now", "mail <email> now"},
      {"see https://auth.example.com/cb?code=123 later", "see <auth-url> later"},
      {"plain https://example.com/docs stays", "plain https://example.com/docs stays"},
      {"monkeyabcdefgh12 and SK-ABCDEFGH", "mon<token> and <token>"},
      {"tokens ok", "tokens ok"},
      {"bearer 12345678", "bearer 12345678"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(AppState::redact(in), out) << in;
}

TEST_F(AppStateTest, ExportWritesTheStoreAsCSVAndRevealsIt) {
  auto first = snapshot(Provider::claude, WindowKind::sevenDay, at(-60), 42, at(86'400), 10'080, "claude.oauth");
  first.modelDisplayName = "Opus, large";
  store({snapshot(Provider::codex, WindowKind::fiveHour, at(0), 3.25, at(3600), 300), first});
  auto state = make();
  settle(*state);
  const auto written = exported(*state);
  ASSERT_TRUE(written);
  EXPECT_EQ(*written, dir.path() / "quotadial-export.csv");
  ASSERT_EQ(desktop.revealed.size(), 1u);
  EXPECT_EQ(desktop.revealed[0], *written);
  const auto csv = readWholeFile(*written);
  ASSERT_TRUE(csv);
  EXPECT_EQ(csv->rfind("timestamp,provider,window,usedPercent,remainingPercent,resetAt,model,effort,speed,plan,source,"
                       "confidence\n",
                       0),
            0u);
  // Oldest first; the comma in the model name is quoted.
  const size_t claudeLine = csv->find("claude,sevenDay,42.0,58.0,");
  const size_t codexLine = csv->find("codex,fiveHour,3.25,96.75,");
  ASSERT_NE(claudeLine, std::string::npos);
  ASSERT_NE(codexLine, std::string::npos);
  EXPECT_LT(claudeLine, codexLine);
  EXPECT_NE(csv->find("\"Opus, large\""), std::string::npos);
}

TEST_F(AppStateTest, AFailedExportRevealsNothing) {
  auto state = make();
  settle(*state);
  // A directory where the export file should go makes the write fail.
  std::filesystem::create_directories(dir.path() / "quotadial-export.csv" / "blocker");
  EXPECT_FALSE(exported(*state));
  EXPECT_TRUE(desktop.revealed.empty());
}

}  // namespace
}  // namespace qd
