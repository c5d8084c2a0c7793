#include "app/collector_lock.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "testing/temp_dir.h"

namespace qd {
namespace {

class CollectorLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) oldRuntime_ = old;
    ::setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1);
  }
  void TearDown() override {
    if (oldRuntime_) ::setenv("XDG_RUNTIME_DIR", oldRuntime_->c_str(), 1);
    else ::unsetenv("XDG_RUNTIME_DIR");
  }

  // Waits for the status file written on the lock's worker thread.
  std::optional<CollectorStatus> currentOnceHealthIs(size_t entries) {
    for (int i = 0; i < 500; ++i) {
      auto status = CollectorLock::current(data_.path());
      if (status && !status->mode.empty() && status->health.size() == entries) return status;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return CollectorLock::current(data_.path());
  }

  testing::TempDir runtime_;
  testing::TempDir data_;
  std::optional<std::string> oldRuntime_;
};

TEST_F(CollectorLockTest, OneCollectorPerDataDirectoryAndItsHealthIsPublished) {
  EXPECT_FALSE(CollectorLock::current(data_.path()));
  auto first = CollectorLock::acquire(data_.path(), "headless");
  ASSERT_TRUE(first.lock);
  EXPECT_FALSE(first.other);
  ASSERT_TRUE(currentOnceHealthIs(0));

  // A second acquire is refused and told who collects, whoever asks.
  auto second = CollectorLock::acquire(data_.path(), "desktop");
  EXPECT_FALSE(second.lock);
  ASSERT_TRUE(second.other);
  EXPECT_EQ(second.other->pid, ::getpid());
  EXPECT_EQ(second.other->mode, "headless");
  EXPECT_EQ(second.other->description(), "the headless collector (pid " + std::to_string(::getpid()) + ")");

  // Another data directory has a collector of its own.
  testing::TempDir elsewhere;
  EXPECT_TRUE(CollectorLock::acquire(elsewhere.path(), "desktop").lock);

  const ProviderHealth down{ProviderHealth::State::error, "app-server not running; restarting in 5 s", std::nullopt,
                            "codex app-server exited (exit status 1)"};
  first.lock->publish({{Provider::codex, down}});
  auto seen = currentOnceHealthIs(1);
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->health.at(Provider::codex), down);

  // Released: nobody collects, and the next one may.
  first.lock.reset();
  EXPECT_FALSE(CollectorLock::current(data_.path()));
  EXPECT_TRUE(CollectorLock::acquire(data_.path(), "desktop").lock);
}

// A status file left by a killed collector, or one that is not ours, tells nothing.
TEST_F(CollectorLockTest, AStaleOrBrokenStatusFileNamesNoMode) {
  auto held = CollectorLock::acquire(data_.path(), "headless");
  ASSERT_TRUE(held.lock);
  ASSERT_TRUE(currentOnceHealthIs(0));
  std::filesystem::path statusFile;
  for (const auto& entry : std::filesystem::directory_iterator(runtime_.path() / "quotadial"))
    if (entry.path().extension() == ".json") statusFile = entry.path();
  ASSERT_FALSE(statusFile.empty());
  const std::string cases[] = {
      "{\"pid\":999999999,\"mode\":\"headless\"}",  // no such process
      "not json",
      "[1,2]",
      std::string(100'000, ' ') + "{}",  // too large to be ours
  };
  for (const std::string& text : cases) {
    std::ofstream(statusFile, std::ios::trunc) << text;
    auto status = CollectorLock::current(data_.path());
    ASSERT_TRUE(status) << text.substr(0, 40);
    EXPECT_EQ(status->mode, "") << text.substr(0, 40);
    EXPECT_EQ(status->description(), "another copy");
  }
}

}  // namespace
}  // namespace qd
