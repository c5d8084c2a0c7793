#include "providers/codex/codex_process_manager.h"

#include <sys/wait.h>

#include <atomic>
#include <mutex>

#include <gtest/gtest.h>

#include "codex_test_support.h"
#include "utilities/app_logger.h"

namespace qd {
namespace {

using namespace qd::testing;

// Runs the fake with a script and collects what it writes.
class ProcessManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pidFile_ = std::make_unique<ScopedEnv>("QUOTADIAL_FAKE_CODEX_PIDFILE", (dir_ / "pids").string());
  }

  std::unique_ptr<CodexProcessManager> launch(const std::string& script) {
    writeFile(dir_ / "script", script);
    scriptEnv_ = std::make_unique<ScopedEnv>("QUOTADIAL_FAKE_CODEX_SCRIPT", (dir_ / "script").string());
    auto manager = std::make_unique<CodexProcessManager>([] { return kFakeCodex.string(); });
    manager->setOnLine([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });
    EXPECT_TRUE(manager->start());
    return manager;
  }

  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  bool sawLine(const std::string& line) {
    auto all = lines();
    return std::find(all.begin(), all.end(), line) != all.end();
  }
  std::vector<pid_t> pids() { return readPids(dir_ / "pids"); }

  TempDir dir_;
  std::unique_ptr<ScopedEnv> pidFile_, scriptEnv_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

TEST(CodexProcessManager, NoExecutableLaunchesNothing) {
  CodexProcessManager manager([] { return std::optional<std::string>(); });
  EXPECT_FALSE(manager.start());
  EXPECT_FALSE(manager.isRunning());
  EXPECT_FALSE(manager.processId());
  manager.send("{}");  // dropped, harmless
  manager.flushWrites();
}

TEST(CodexProcessManager, LaunchFailureIsLoggedAsError) {
  TempDir dir;
  writeFile(dir / "codex", "not a program");  // exists but not executable
  CodexProcessManager manager([&] { return (dir / "codex").string(); });
  EXPECT_FALSE(manager.start());
  EXPECT_FALSE(manager.isRunning());
  const auto error = AppLogger::shared().lastError();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->rfind("Failed to start codex app-server: ", 0), 0u) << *error;
}

TEST_F(ProcessManagerTest, ReassemblesLinesAndDropsWhatIsNotALine) {
  auto manager = launch(
      "write {\"a\":\n"
      "sleep 20\n"
      "write 1}\\n{\"b\":2}\\n\\n{\"c\"\n"
      "sleep 20\n"
      "write :3}\\n\n"
      "split 3 {\"split\":\"in pieces of three bytes\"}\n"
      "write \\xff\\xfe not utf-8\\n\n"
      "send plain garbage\n"
      "bigline 5000000 {\"big\":\"@PAD@\"}\n"
      "bigline 9000000 {\"huge\":\"@PAD@\"}\n"
      "send {\"last\":true}\n");
  ASSERT_TRUE(waitFor([&] { return sawLine("{\"last\":true}"); }));
  const auto got = lines();
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(got[0], "{\"a\":1}");
  EXPECT_EQ(got[1], "{\"b\":2}");
  EXPECT_EQ(got[2], "{\"c\":3}");
  EXPECT_EQ(got[3], "{\"split\":\"in pieces of three bytes\"}");
  EXPECT_EQ(got[4], "plain garbage");
  EXPECT_EQ(got[5].size(), 5000000u + 10u);  // the 5 MB line arrives whole
  EXPECT_EQ(got[6], "{\"last\":true}");
  manager->stop();
}

TEST_F(ProcessManagerTest, ALoudStandardErrorDoesNotStallTheChild) {
  auto manager = launch("stderr 2000000\nsend {\"after\":\"logs\"}\n");
  EXPECT_TRUE(waitFor([&] { return sawLine("{\"after\":\"logs\"}"); }));
}

TEST_F(ProcessManagerTest, WritesReachTheChildInOrder) {
  ScopedEnv log("QUOTADIAL_FAKE_CODEX_LOG", (dir_ / "received").string());
  auto manager = launch("serve\n");
  for (int i = 0; i < 50; ++i) manager->send("{\"n\":" + std::to_string(i) + "}");
  ASSERT_TRUE(waitFor([&] { return readLines(dir_ / "received").size() == 50; }));
  const auto received = readLines(dir_ / "received");
  for (int i = 0; i < 50; ++i) EXPECT_EQ(received[i], "{\"n\":" + std::to_string(i) + "}");
}

TEST_F(ProcessManagerTest, ChildExitIsNoticedReapedAndLaterWritesAreHarmless) {
  std::atomic<int> terminated{0};
  writeFile(dir_ / "script", "send {\"bye\":1}\nexit 3\n");
  ScopedEnv script("QUOTADIAL_FAKE_CODEX_SCRIPT", (dir_ / "script").string());
  CodexProcessManager manager([] { return kFakeCodex.string(); });
  manager.setOnLine([this](const std::string& line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
  });
  std::string how;
  manager.setOnTerminate([&](const std::string& h) {
    {
      std::lock_guard lock(mutex_);
      how = h;
    }
    terminated++;
  });
  ASSERT_TRUE(manager.start());
  ASSERT_TRUE(waitFor([&] { return terminated.load() == 1; }));
  {
    std::lock_guard lock(mutex_);
    EXPECT_EQ(how, "exit status 3");
  }
  EXPECT_FALSE(manager.isRunning());
  EXPECT_TRUE(sawLine("{\"bye\":1}"));  // output written just before the exit is kept
  const pid_t pid = pids().at(0);
  EXPECT_TRUE(processGone(pid));  // reaped: not even a zombie
  for (int i = 0; i < 100; ++i) manager.send(std::string(4096, 'x'));
  manager.flushWrites();
  manager.stop();
  EXPECT_EQ(terminated.load(), 1);
}

TEST_F(ProcessManagerTest, StopEscalatesToSigkillAndTakesTheWholeGroup) {
  auto manager = launch("ignore-term\nspawn-helper\nsend {\"ready\":1}\nhang\n");
  ASSERT_TRUE(waitFor([&] { return sawLine("{\"ready\":1}"); }));
  ASSERT_TRUE(waitFor([&] { return pids().size() == 2; }));
  const auto started = std::chrono::steady_clock::now();
  manager->stop();
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GE(waited, CodexProcessManager::kTerminateGraceSeconds * 0.9);
  EXPECT_FALSE(manager->isRunning());
  for (pid_t pid : pids()) EXPECT_TRUE(waitFor([&] { return processGone(pid); }, 5)) << pid;
}

TEST_F(ProcessManagerTest, StopOfAWellBehavedChildIsQuickAndRestartWorks) {
  auto manager = launch("send {\"first\":1}\nhang\n");
  ASSERT_TRUE(waitFor([&] { return sawLine("{\"first\":1}"); }));
  const pid_t first = *manager->processId();
  manager->stop();
  manager->stop();  // twice is fine
  EXPECT_TRUE(processGone(first));
  writeFile(dir_ / "script", "send {\"second\":2}\nhang\n");
  ASSERT_TRUE(manager->start());
  ASSERT_TRUE(waitFor([&] { return sawLine("{\"second\":2}"); }));
  EXPECT_NE(*manager->processId(), first);
  const pid_t second = *manager->processId();
  manager.reset();  // the destructor stops the child too
  EXPECT_TRUE(processGone(second));
}

TEST_F(ProcessManagerTest, AHungChildThatStopsReadingDoesNotBlockStop) {
  auto manager = launch("hang\n");
  // Far more than a pipe holds: the queue waits on the child until `stop`.
  for (int i = 0; i < 64; ++i) manager->send(std::string(16384, 'y'));
  const pid_t pid = *manager->processId();
  manager->stop();
  manager->flushWrites();
  EXPECT_TRUE(processGone(pid));
}

}  // namespace
}  // namespace qd
