#include "providers/claude/claude_provider.h"

#include <gtest/gtest.h>

#include <mutex>

#include "app/manual_main_loop.h"
#include "providers/claude/claude_oauth_usage.h"
#include "providers/claude/credential_store.h"
#include "storage/atomic_file.h"
#include "storage/json_lines.h"
#include "storage/snapshot_store.h"
#include "testing/temp_dir.h"

namespace qd {
namespace {

using State = ClaudeBridgeStatus::State;
using H = ProviderHealth::State;

// The usage endpoint as a script: the answer given to every request until changed.
class ScriptedHttp final : public HttpClient {
 public:
  Result perform(const Request&) override {
    std::lock_guard lock(mutex_);
    ++requests_;
    return Response{status_, body_};
  }
  void answer(long status, std::string body) {
    std::lock_guard lock(mutex_);
    status_ = status;
    body_ = std::move(body);
  }
  int requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  std::mutex mutex_;
  long status_ = 200;
  std::string body_ = "{}";
  int requests_ = 0;
};

class MemoryCredential final : public CredentialStore {
 public:
  bool exists() override { return true; }
  std::optional<std::string> readSecret() override {
    return R"({"claudeAiOauth": {"accessToken": "a", "expiresAt": 99999999999999}})";
  }
  bool addOrUpdate(std::string_view) override { return false; }
  void backup(std::string_view) override {}
  std::optional<std::string> readBackup() override { return std::nullopt; }
  bool canReplace(std::size_t) override { return false; }
  bool keepPending(std::string_view) override { return false; }
  std::optional<std::string> readPending() override { return std::nullopt; }
  void dropPending() override {}
};

std::string usage(double fiveHour, const std::string& reset = "2026-12-07T05:00:00Z") {
  return R"({"five_hour": {"utilization": )" + std::to_string(fiveHour) + R"(, "resets_at": ")" + reset +
         R"("}, "seven_day": {"utilization": 30, "resets_at": "2026-12-10T00:00:00Z"}})";
}

UsageSnapshot stored(WindowKind window, double used, Timestamp at, const char* source = SnapshotSource::claudeStatusLine,
                     std::optional<Timestamp> reset = std::nullopt) {
  UsageSnapshot s;
  s.provider = Provider::claude;
  s.timestamp = at;
  s.windowKind = window;
  s.usedPercent = used;
  s.remainingPercent = 100 - used;
  s.resetAt = reset;
  s.windowDurationMins = window == WindowKind::fiveHour ? 300 : 10080;
  s.source = source;
  s.sourceConfidence = SourceConfidence::high;
  return s;
}

class ClaudeProviderTest : public ::testing::Test {
 protected:
  ClaudeProviderTest() {
    oauth_ = std::make_shared<ClaudeOAuthUsage>(ClaudeOAuthUsage::Endpoints::defaults(), http_,
                                                std::make_shared<MemoryCredential>(), loop_);
  }

  std::unique_ptr<ClaudeProvider> makeProvider(bool withOAuth = true) {
    return std::make_unique<ClaudeProvider>(store_, withOAuth ? oauth_ : nullptr, loop_, clock_,
                                            [this] { return bridge_; });
  }
  void start(ClaudeProvider& p) {
    p.start([this](const std::vector<UsageSnapshot>&) { ++updates_; });
  }
  // Waits until `fetches` OAuth completions in all have run on the loop.
  void settle(int fetches) {
    ASSERT_TRUE(loop_.runUntil([&] { return oauth_->completedFetches() >= static_cast<std::uint64_t>(fetches); }));
    // Appends are queued off the main thread and signal through the loop.
    store_.waitForWrites();
    loop_.runPending();
  }
  size_t count(const char* source) {
    size_t n = 0;
    for (const auto& s : *store_.all()) n += s.source == source;
    return n;
  }

  testing::TempDir dir_;
  SnapshotStore store_{dir_ / "snapshots.ndjson"};
  ManualClock clock_{fromUnixSeconds(1'796'000'000)};
  ManualMainLoop loop_{clock_};
  std::shared_ptr<ScriptedHttp> http_ = std::make_shared<ScriptedHttp>();
  std::shared_ptr<ClaudeOAuthUsage> oauth_;
  ClaudeBridgeStatus bridge_{State::installed, {}, std::nullopt};
  int updates_ = 0;
};

TEST_F(ClaudeProviderTest, IdenticalReadingsAreStoredOncePerFiveMinutes) {
  http_->answer(200, usage(10));
  auto provider = makeProvider();
  start(*provider);
  settle(1);
  EXPECT_EQ(count(SnapshotSource::claudeOAuth), 2u);
  EXPECT_EQ(updates_, 1);

  clock_.advance(60);
  provider->tick();  // the first tick always fetches
  settle(2);
  EXPECT_EQ(count(SnapshotSource::claudeOAuth), 2u);

  clock_.set(addSeconds(fromUnixSeconds(1'796'000'000), 300));
  for (int i = 0; i < 20; ++i) provider->tick();
  settle(3);
  EXPECT_EQ(count(SnapshotSource::claudeOAuth), 4u);
  EXPECT_EQ(updates_, 2);
}

TEST_F(ClaudeProviderTest, ResetTimesWithMicrosecondsMatchTheStoredWholeSeconds) {
  // The real endpoint's shape: the same reading three times within 40 seconds.
  http_->answer(200, usage(6, "2026-12-07T04:59:59.943648+00:00"));
  auto provider = makeProvider();
  start(*provider);
  settle(1);
  for (int fetch = 2; fetch <= 3; ++fetch) {
    clock_.advance(20);
    if (fetch == 2) provider->tick();  // the first tick always fetches
    else for (int i = 0; i < 20; ++i) provider->tick();
    settle(fetch);
  }
  EXPECT_EQ(store_.snapshots(Provider::claude, WindowKind::fiveHour).size(), 1u);
  EXPECT_EQ(count(SnapshotSource::claudeOAuth), 2u);
}

TEST_F(ClaudeProviderTest, AReadingStampedADayAheadDoesNotHideNewerOnes) {
  const Timestamp now = clock_.now();
  const Timestamp reset = addSeconds(now, 3600);
  // A year-old history before it, which looking behind that reading must not read.
  {
    std::string old;
    for (int i = 0; i < 60'000; ++i)
      old += *JSONLines::encodeLine(stored(WindowKind::fiveHour, 50, addSeconds(now, -365 * 86400.0 + i * 60))) + "\n";
    ASSERT_TRUE(writeFileAtomically(dir_ / "snapshots.ndjson", old));
  }
  const auto oldBytes = static_cast<int64_t>(std::filesystem::file_size(dir_ / "snapshots.ndjson"));
  store_.append(stored(WindowKind::fiveHour, 97, addSeconds(now, 86400), SnapshotSource::claudeOAuth, reset));
  auto provider = makeProvider(false);
  start(*provider);
  EXPECT_EQ(updates_, 0);
  EXPECT_TRUE(provider->currentSnapshots().empty());
  EXPECT_EQ(provider->health().state, H::idle);

  for (int i = 0; i < 3; ++i) {
    clock_.advance(60);
    store_.append(stored(WindowKind::fiveHour, 3 + i, clock_.now(), SnapshotSource::claudeStatusLine, reset));
    provider->checkForUpdates();
    EXPECT_EQ(updates_, i + 1);
    ASSERT_EQ(provider->currentSnapshots().size(), 1u);
    EXPECT_DOUBLE_EQ(provider->currentSnapshots()[0].usedPercent, 3 + i);
    EXPECT_EQ(provider->health().lastUpdate, clock_.now());
  }
  EXPECT_LT(store_.readStats().bytesDecoded, oldBytes / 2);
}

TEST_F(ClaudeProviderTest, ChangedPercentOrResetOrOtherPreviousSourceIsKept) {
  const Timestamp now = clock_.now();
  const Timestamp reset = *parseISO8601("2026-12-07T05:00:00Z");
  store_.append(stored(WindowKind::fiveHour, 10, addSeconds(now, -30), SnapshotSource::claudeStatusLine, reset));
  http_->answer(200, usage(10));
  auto provider = makeProvider();
  start(*provider);
  settle(1);
  // Same percentage and reset as the bridge's line, but the previous source differs.
  EXPECT_EQ(store_.snapshots(Provider::claude, WindowKind::fiveHour).size(), 2u);

  http_->answer(200, usage(11));
  provider->tick();
  settle(2);
  EXPECT_EQ(store_.snapshots(Provider::claude, WindowKind::fiveHour).size(), 3u);

  http_->answer(200, usage(11, "2026-12-07T10:00:00Z"));
  for (int i = 0; i < 20; ++i) provider->tick();
  settle(3);
  EXPECT_EQ(store_.snapshots(Provider::claude, WindowKind::fiveHour).size(), 4u);
  EXPECT_EQ(store_.snapshots(Provider::claude, WindowKind::sevenDay).size(), 1u);
}

TEST_F(ClaudeProviderTest, RateLimitStretchesTheIntervalUntilAnotherAnswer) {
  http_->answer(429, "{}");
  auto provider = makeProvider();
  start(*provider);
  settle(1);
  EXPECT_EQ(provider->oauthIntervalTicks(), 60);
  provider->tick();  // first tick: fetches (the start value is -1000)
  settle(2);
  EXPECT_EQ(http_->requests(), 2);
  for (int i = 0; i < 59; ++i) provider->tick();
  settle(2);
  EXPECT_EQ(http_->requests(), 2);
  http_->answer(200, usage(5));
  provider->tick();
  settle(3);
  EXPECT_EQ(http_->requests(), 3);
  EXPECT_EQ(provider->oauthIntervalTicks(), 20);
  for (int i = 0; i < 19; ++i) provider->tick();
  settle(3);
  EXPECT_EQ(http_->requests(), 3);
  provider->tick();
  settle(4);
  EXPECT_EQ(http_->requests(), 4);
}

TEST_F(ClaudeProviderTest, TimerTicksEveryFifteenSecondsUntilStopped) {
  http_->answer(500, "{}");
  auto provider = makeProvider();
  start(*provider);
  settle(1);
  EXPECT_EQ(http_->requests(), 1);
  loop_.advance(15);
  settle(2);
  EXPECT_EQ(http_->requests(), 2);
  provider->stop();
  loop_.advance(15 * 40);
  settle(2);
  EXPECT_EQ(http_->requests(), 2);
  EXPECT_EQ(loop_.timerCount(), 0u);
}

TEST_F(ClaudeProviderTest, SignalsOnlyForNewerFiveHourOrWeeklySnapshots) {
  const Timestamp now = clock_.now();
  auto provider = makeProvider(false);
  start(*provider);
  EXPECT_EQ(updates_, 0);

  store_.append(stored(WindowKind::weekly, 10, now));  // Sonnet only: not watched
  provider->checkForUpdates();
  EXPECT_EQ(updates_, 0);
  EXPECT_EQ(provider->health().state, H::idle);

  store_.append(stored(WindowKind::fiveHour, 10, now));
  provider->checkForUpdates();
  EXPECT_EQ(updates_, 1);
  store_.append(stored(WindowKind::sevenDay, 10, addSeconds(now, -60)));  // an older line
  provider->checkForUpdates();
  EXPECT_EQ(updates_, 1);
  store_.append(stored(WindowKind::sevenDay, 11, addSeconds(now, 15)));
  provider->checkForUpdates();
  EXPECT_EQ(updates_, 2);

  auto current = provider->currentSnapshots();
  ASSERT_EQ(current.size(), 2u);
  EXPECT_EQ(current[0].windowKind, WindowKind::fiveHour);
  EXPECT_EQ(current[1].windowKind, WindowKind::sevenDay);
  EXPECT_DOUBLE_EQ(current[1].usedPercent, 11);
}

TEST_F(ClaudeProviderTest, HealthFollowsTheBridgeState) {
  auto provider = makeProvider(false);
  const Timestamp t5 = addSeconds(clock_.now(), -100), t7 = addSeconds(clock_.now(), -10);
  struct Row {
    ClaudeBridgeStatus bridge;
    bool withSnapshots;
    ProviderHealth expected;
  };
  const std::vector<Row> rows = {
      {{State::installed, {}, std::nullopt}, false, {H::idle, "bridge installed, awaiting first response", {}, {}}},
      {{State::wrapping, {}, "x"}, false, {H::idle, "bridge installed, awaiting first response", {}, {}}},
      {{State::notInstalled, {}, std::nullopt}, false, {H::unavailable, "bridge not installed", {}, {}}},
      {{State::foreign, {}, "x"}, false, {H::unavailable, "another status line is installed", {}, {}}},
      {{State::installed, {}, std::nullopt}, true, {H::connected, "bridge active", t5, {}}},
      {{State::wrapping, {}, "x"}, true, {H::connected, "bridge active", t5, {}}},
      {{State::notInstalled, {}, std::nullopt}, true, {H::unavailable, "bridge not installed", {}, {}}},
      {{State::foreign, {}, "x"}, true, {H::unavailable, "another status line is installed", t5, {}}},
      {{State::error, "write failed", std::nullopt}, true, {H::error, "write failed", t5, "write failed"}},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    store_.clear();
    if (rows[i].withSnapshots) {
      store_.append(stored(WindowKind::sevenDay, 1, t7));
      store_.append(stored(WindowKind::fiveHour, 1, t5, SnapshotSource::claudeOAuth));
    }
    bridge_ = rows[i].bridge;
    EXPECT_EQ(provider->health(), rows[i].expected) << "row " << i;
  }
  // Without a 5-hour snapshot the weekly one dates the health.
  store_.clear();
  store_.append(stored(WindowKind::sevenDay, 1, t7));
  bridge_ = {State::installed, {}, std::nullopt};
  EXPECT_EQ(provider->health().lastUpdate, t7);
}

}  // namespace
}  // namespace qd
