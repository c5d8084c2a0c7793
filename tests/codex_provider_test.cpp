#include "providers/codex/codex_provider.h"

#include <atomic>
#include <mutex>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/manual_main_loop.h"
#include "codex_test_support.h"
#include "storage/snapshot_store.h"
#include "utilities/app_logger.h"

namespace qd {
namespace {

using namespace qd::testing;

class CodexProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_ / "codex-home");
    std::filesystem::create_directories(dir_ / "data");
  }

  std::unique_ptr<CodexProvider> makeProvider(CodexProcessManager::Locator locate = [] {
    return kFakeCodex.string();
  }) {
    return std::make_unique<CodexProvider>(store_, loop_, clock_, std::move(locate));
  }
  void useScript(const std::string& script) {
    writeFile(dir_ / "script", script);
    script_ = std::make_unique<ScopedEnv>("QUOTADIAL_FAKE_CODEX_SCRIPT", (dir_ / "script").string());
  }
  UsageProvider::UpdateCallback recordUpdates() {
    return [this](const std::vector<UsageSnapshot>& batch) {
      std::lock_guard lock(mutex_);
      batches_.push_back(batch);
    };
  }
  size_t batchCount() {
    std::lock_guard lock(mutex_);
    return batches_.size();
  }
  std::vector<std::string> receivedMethods() {
    std::vector<std::string> methods;
    for (const auto& line : readLines(dir_ / "received")) {
      auto m = nlohmann::json::parse(line, nullptr, false);
      if (m.is_object()) methods.push_back(m.value("method", ""));
    }
    return methods;
  }
  size_t count(const std::string& method) {
    auto all = receivedMethods();
    return static_cast<size_t>(std::count(all.begin(), all.end(), method));
  }

  TempDir dir_;
  ScopedEnv codexHome_{"CODEX_HOME", (dir_ / "codex-home").string()};
  ScopedEnv dataHome_{"XDG_DATA_HOME", (dir_ / "data").string()};
  ScopedEnv log_{"QUOTADIAL_FAKE_CODEX_LOG", (dir_ / "received").string()};
  std::unique_ptr<ScopedEnv> script_;
  ManualClock clock_;
  ManualMainLoop loop_{clock_};
  SnapshotStore store_{dir_ / "snapshots.ndjson"};
  std::mutex mutex_;
  std::vector<std::vector<UsageSnapshot>> batches_;
};

TEST_F(CodexProviderTest, StartsIdle) {
  auto provider = makeProvider();
  const ProviderHealth idle{ProviderHealth::State::idle, "Not started", std::nullopt, std::nullopt};
  EXPECT_EQ(provider->health(), idle);
  EXPECT_EQ(provider->provider(), Provider::codex);
}

TEST_F(CodexProviderTest, WithoutCodexItIsUnavailableAndSchedulesNothing) {
  auto provider = makeProvider([] { return std::optional<std::string>(); });
  provider->start(recordUpdates());
  const ProviderHealth expected{ProviderHealth::State::unavailable, "codex not found in PATH", std::nullopt,
                                std::nullopt};
  EXPECT_EQ(provider->health(), expected);
  EXPECT_EQ(loop_.timerCount(), 0u);
  EXPECT_FALSE(provider->manager()->isRunning());
}

TEST_F(CodexProviderTest, ALaunchFailureCarriesTheLoggedError) {
  writeFile(dir_ / "codex", "not executable");
  auto provider = makeProvider([this] { return (dir_ / "codex").string(); });
  provider->start(recordUpdates());
  const auto health = provider->health();
  EXPECT_EQ(health.state, ProviderHealth::State::error);
  EXPECT_EQ(health.detail, "failed to start app-server");
  ASSERT_TRUE(health.lastError);
  EXPECT_EQ(*health.lastError, AppLogger::shared().lastError());
  EXPECT_EQ(health.lastError->rfind("Failed to start codex app-server: ", 0), 0u);
  EXPECT_EQ(loop_.timerCount(), 0u);
}

TEST_F(CodexProviderTest, APayloadIsStampedStoredAndReported) {
  writeFile(dir_ / "codex-home" / "config.toml",
            "model = \"gpt-5-codex\"\nmodel_reasoning_effort = 'high'\nfast_mode = true\n");
  auto provider = makeProvider();
  provider->start(recordUpdates());
  EXPECT_EQ(provider->health().detail, "app-server running");
  EXPECT_EQ(provider->health().state, ProviderHealth::State::connected);
  ASSERT_TRUE(waitFor([&] { return batchCount() == 1; }));

  const auto stored = *store_.all();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].windowKind, WindowKind::fiveHour);
  EXPECT_EQ(stored[1].windowKind, WindowKind::sevenDay);
  for (const auto& s : stored) {
    EXPECT_EQ(s.modelId, "gpt-5-codex");
    EXPECT_EQ(s.modelDisplayName, "gpt-5-codex");
    EXPECT_EQ(s.effortLevel, "high");
    EXPECT_EQ(s.speedMode, "true");
    EXPECT_EQ(s.timestamp, clock_.now());
  }
  {
    std::lock_guard lock(mutex_);
    ASSERT_EQ(batches_.at(0).size(), 2u);
    EXPECT_EQ(batches_[0][0].id, stored[0].id);
  }
  const ProviderHealth expected{ProviderHealth::State::connected, "2 windows", clock_.now(), std::nullopt};
  EXPECT_EQ(provider->health(), expected);
}

TEST_F(CodexProviderTest, APayloadWithoutPercentagesChangesNothing) {
  useScript(
      "expect initialize\n"
      "send {\"id\":${id},\"result\":{}}\n"
      "expect account/rateLimits/read\n"
      "send {\"id\":${id},\"result\":{\"rateLimits\":{\"primary\":{\"windowDurationMins\":300}}}}\n"
      "send {\"method\":\"account/login/completed\",\"params\":{}}\n"
      "expect account/rateLimits/read\n"
      "send {\"method\":\"account/rateLimits/updated\",\"params\":{\"rateLimits\":{\"secondary\":"
      "{\"usedPercent\":7,\"windowDurationMins\":10080}}}}\n"
      "expect never\n");
  auto provider = makeProvider();
  provider->start(recordUpdates());
  ASSERT_TRUE(waitFor([&] { return batchCount() == 1; }));
  ASSERT_EQ(store_.all()->size(), 1u);  // the window-less answer stored nothing
  EXPECT_EQ(provider->health().detail, "1 windows");
}

TEST_F(CodexProviderTest, PollsEveryMinuteUntilStoppedAndRestartsWithTheSameClient) {
  auto provider = makeProvider();
  provider->start(recordUpdates());
  ASSERT_TRUE(waitFor([&] { return batchCount() == 1; }));
  EXPECT_EQ(loop_.timerCount(), 1u);
  loop_.advance(CodexProvider::kPollIntervalSeconds);
  ASSERT_TRUE(waitFor([&] { return batchCount() == 2; }));
  EXPECT_EQ(count("account/rateLimits/read"), 2u);

  const pid_t first = *provider->manager()->processId();
  provider->stop();
  EXPECT_EQ(loop_.timerCount(), 0u);
  EXPECT_TRUE(processGone(first));
  loop_.advance(5 * CodexProvider::kPollIntervalSeconds);
  EXPECT_EQ(count("account/rateLimits/read"), 2u);
  EXPECT_EQ(provider->health().detail, "2 windows");  // stop keeps the health

  // The restarted server gets "initialize" again, and at once the account and
  // rate-limit requests of an already initialized client.
  provider->start(recordUpdates());
  ASSERT_TRUE(waitFor([&] { return batchCount() >= 3; }));
  ASSERT_TRUE(waitFor([&] { return count("account/read") == 3; }));
  const auto methods = receivedMethods();
  const std::vector<std::string> secondLaunch(methods.begin() + 5, methods.begin() + 8);
  EXPECT_EQ(secondLaunch, (std::vector<std::string>{"initialize", "account/read", "account/rateLimits/read"}));
  EXPECT_EQ(count("initialize"), 2u);
  provider.reset();  // stops the server too
}

// The server going away is noticed, shown and logged, and the server is
// launched again after 5, 10, 20 ... seconds until the provider stops.
TEST_F(CodexProviderTest, AServerThatExitsIsShownAndRelaunchedWithGrowingDelays) {
  useScript("exit 7\n");
  ScopedEnv pids("QUOTADIAL_FAKE_CODEX_PIDFILE", (dir_ / "pids").string());
  auto provider = makeProvider();
  provider->start(recordUpdates());
  EXPECT_EQ(provider->health().detail, "app-server running");
  const auto launches = [&] { return readPids(dir_ / "pids").size(); };
  const auto notRunning = [&](const std::string& delay) {
    return loop_.runUntil([&] {
      return provider->health().detail == "app-server not running; restarting in " + delay;
    });
  };

  ASSERT_TRUE(notRunning("5 s")) << provider->health().detail;
  auto health = provider->health();
  EXPECT_EQ(health.state, ProviderHealth::State::error);
  EXPECT_EQ(health.lastError, "codex app-server exited (exit status 7)");
  EXPECT_GE(batchCount(), 1u);  // the state was told to look at the health again

  ASSERT_TRUE(waitFor([&] { return launches() == 1u; }));
  loop_.advance(4.9);
  EXPECT_FALSE(provider->manager()->isRunning());
  loop_.advance(0.1);
  EXPECT_TRUE(waitFor([&] { return launches() == 2u; }));
  ASSERT_TRUE(notRunning("10 s")) << provider->health().detail;
  loop_.advance(10);
  EXPECT_TRUE(waitFor([&] { return launches() == 3u; }));
  ASSERT_TRUE(notRunning("20 s")) << provider->health().detail;

  provider->stop();
  loop_.advance(600);
  loop_.runPending();
  EXPECT_EQ(launches(), 3u);
}

TEST_F(CodexProviderTest, AfterAHealthyHourTheDelayStartsOver) {
  // Runs until told to go: the test ends it by killing it.
  useScript("expect never\n");
  ScopedEnv pids("QUOTADIAL_FAKE_CODEX_PIDFILE", (dir_ / "pids").string());
  auto provider = makeProvider();
  provider->start(recordUpdates());
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(waitFor([&] { return provider->manager()->processId().has_value(); }));
    const pid_t pid = *provider->manager()->processId();
    clock_.advance(round == 2 ? CodexProvider::kHealthyRunSeconds : 1);
    ::kill(pid, SIGKILL);
    const std::string expected = round == 0 ? "5 s" : round == 1 ? "10 s" : "5 s";
    ASSERT_TRUE(loop_.runUntil([&] { return provider->health().state == ProviderHealth::State::error; }));
    EXPECT_EQ(provider->health().detail, "app-server not running; restarting in " + expected);
    EXPECT_EQ(provider->health().lastError, "codex app-server exited (signal 9 (Killed))");
    loop_.advance(round == 1 ? 10 : 5);
  }
}

// A server pushing thousands of updates a second stores one reading per window
// and second; the burst's last value is asked for again once the second is over.
TEST_F(CodexProviderTest, ABurstStoresOneReadingPerWindowAndSecondThenReadsTheLastAgain) {
  useScript(
      "expect initialize\n"
      "send {\"id\":${id},\"result\":{}}\n"
      "expect account/rateLimits/read\n"
      "burst 5000\n"
      // A monthly window: stored, and proof that every update before it was handled.
      "send {\"method\":\"account/rateLimits/updated\",\"params\":{\"rateLimits\":{\"primary\":"
      "{\"usedPercent\":3,\"windowDurationMins\":43200}}}}\n"
      "expect account/rateLimits/read\n"
      "send {\"id\":${id},\"result\":{\"rateLimits\":{\"primary\":{\"usedPercent\":51,"
      "\"windowDurationMins\":300}}}}\n"
      "expect never\n");
  auto provider = makeProvider();
  provider->start(recordUpdates());
  ASSERT_TRUE(waitFor([&] { return batchCount() == 2; }, 30));
  auto stored = *store_.all();
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[0].windowKind, WindowKind::fiveHour);
  EXPECT_EQ(stored[0].usedPercent, 1);
  EXPECT_EQ(stored[1].windowKind, WindowKind::sevenDay);
  EXPECT_EQ(stored[2].windowKind, WindowKind::monthly);

  clock_.advance(1);
  loop_.advance(CodexProvider::kCatchUpDelaySeconds);
  ASSERT_TRUE(waitFor([&] { return batchCount() == 3; }));
  stored = *store_.all();
  ASSERT_EQ(stored.size(), 4u);
  EXPECT_EQ(stored[3].usedPercent, 51);
  EXPECT_EQ(count("account/rateLimits/read"), 2u);
}

}  // namespace
}  // namespace qd
