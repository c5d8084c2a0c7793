// The handshake against the real Codex CLI, when it is installed (skipped otherwise).
// It runs without an account and without the network.
#include <atomic>

#include <gtest/gtest.h>

#include "../codex_test_support.h"
#include "real_tools.h"
#include "app/manual_main_loop.h"
#include "providers/codex/codex_app_server_client.h"
#include "providers/codex/codex_provider.h"
#include "storage/snapshot_store.h"
#include "utilities/shell.h"

namespace qd {
namespace {

using namespace qd::testing;

std::optional<std::string> realCodex() {
  if (auto installed = real::program("codex")) return installed->string();
  auto found = Shell::which("codex");
  if (!found) return std::nullopt;
  std::string path(*found);
  if (path.rfind(QUOTADIAL_FAKE_BIN_DIR, 0) == 0) return std::nullopt;
  return path;
}

TEST(CodexRealAppServer, HandshakeWithoutAnAccount) {
  const auto codex = realCodex();  // looked up before HOME moves
  if (!codex) GTEST_SKIP() << real::missing("codex");
  TempDir home;
  ScopedEnv homeEnv("HOME", home.path().string());
  ScopedEnv codexHome("CODEX_HOME", (home / ".codex").string());
  std::filesystem::create_directories(home / ".codex");

  auto manager = std::make_shared<CodexProcessManager>([&] { return codex; });
  auto client = CodexAppServerClient::create(manager);
  std::atomic<int> payloads{0};
  client->setOnRateLimits([&](const CodexRateLimitsPayload&) { payloads++; });
  ASSERT_TRUE(client->start());
  const pid_t pid = *manager->processId();
  ASSERT_TRUE(waitFor([&] { return client->isInitialized(); }, 30));
  // Without an account the rate-limit request is answered with an error: nothing arrives.
  client->requestRateLimits();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(payloads.load(), 0);
  EXPECT_TRUE(manager->isRunning());
  manager->stop();
  EXPECT_FALSE(manager->isRunning());
  EXPECT_TRUE(waitFor([&] { return processGone(pid); }, 5));
}

TEST(CodexRealAppServer, ProviderWithoutAnAccountStaysRunningAndStoresNothing) {
  const auto codex = realCodex();
  if (!codex) GTEST_SKIP() << real::missing("codex");
  TempDir home;
  ScopedEnv homeEnv("HOME", home.path().string());
  ScopedEnv codexHome("CODEX_HOME", (home / ".codex").string());
  std::filesystem::create_directories(home / ".codex");

  ManualClock clock;
  ManualMainLoop loop(clock);
  SnapshotStore store(home / "snapshots.ndjson");
  std::atomic<int> updates{0};
  auto provider = std::make_unique<CodexProvider>(store, loop, clock, [&] { return codex; });
  provider->start([&](const std::vector<UsageSnapshot>&) { updates++; });
  const pid_t pid = *provider->manager()->processId();
  std::this_thread::sleep_for(std::chrono::seconds(3));  // handshake and the refused rate-limit read
  loop.advance(CodexProvider::kPollIntervalSeconds);     // one timer request, refused as well
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(provider->health().detail, "app-server running");
  EXPECT_EQ(provider->health().state, ProviderHealth::State::connected);
  EXPECT_EQ(updates.load(), 0);
  EXPECT_TRUE(store.all()->empty());
  provider->stop();
  EXPECT_TRUE(waitFor([&] { return processGone(pid); }, 5));
}

}  // namespace
}  // namespace qd
