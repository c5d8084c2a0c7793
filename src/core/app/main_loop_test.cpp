#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "app/manual_main_loop.h"
#include "app/plain_main_loop.h"

namespace qd {
namespace {

TEST(PlainMainLoop, RunsPostedTasksInOrderThenQuits) {
  PlainMainLoop loop;
  std::vector<int> order;
  loop.post([&] { order.push_back(1); });
  loop.post([&] {
    order.push_back(2);
    loop.post([&] {
      order.push_back(3);
      loop.quit();
    });
  });
  loop.run();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(PlainMainLoop, QuitFromAnotherThreadWakesAnIdleLoop) {
  PlainMainLoop loop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    loop.quit();
  });
  const auto start = std::chrono::steady_clock::now();
  loop.run();
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(PlainMainLoop, RepeatingTimerFiresUntilCancelledAndOneShotsRunOnce) {
  PlainMainLoop loop;
  int ticks = 0, shots = 0;
  MainLoop::TimerId id = loop.addRepeatingTimer(0.01, [&] { ++ticks; });
  loop.postAfter(0.005, [&] { ++shots; });
  loop.postAfter(0.2, [&] {
    loop.cancelTimer(id);
    loop.quit();
  });
  loop.run();
  EXPECT_GE(ticks, 3);
  EXPECT_EQ(shots, 1);
  const int before = ticks;
  EXPECT_FALSE(loop.runFor(0.05));
  EXPECT_EQ(ticks, before);
}

TEST(PlainMainLoop, KnowsItsMainThread) {
  PlainMainLoop loop;
  bool onMain = false;
  std::atomic<bool> fromOther{true};
  std::thread other([&] { fromOther = loop.isMainThread(); });
  other.join();
  loop.post([&] {
    onMain = loop.isMainThread();
    loop.quit();
  });
  loop.run();
  EXPECT_TRUE(onMain);
  EXPECT_FALSE(fromOther);
}

TEST(ManualMainLoop, TimersFireAtTheirDueTimesAsTheClockAdvances) {
  ManualClock clock;
  ManualMainLoop loop(clock);
  const Timestamp start = clock.now();
  std::vector<double> firedAt;
  MainLoop::TimerId id =
      loop.addRepeatingTimer(30, [&] { firedAt.push_back(secondsBetween(start, clock.now())); });
  loop.postAfter(45, [&] { firedAt.push_back(-secondsBetween(start, clock.now())); });
  loop.advance(100);
  EXPECT_EQ(firedAt, (std::vector<double>{30, -45, 60, 90}));
  EXPECT_DOUBLE_EQ(secondsBetween(start, clock.now()), 100);
  loop.cancelTimer(id);
  loop.advance(100);
  EXPECT_EQ(firedAt.size(), 4u);
}

TEST(ManualMainLoop, RunUntilWaitsForTasksPostedFromOtherThreads) {
  ManualClock clock;
  ManualMainLoop loop(clock);
  bool done = false;
  std::thread worker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    loop.post([&] { done = true; });
  });
  EXPECT_TRUE(loop.runUntil([&] { return done; }, 5));
  worker.join();
}

}  // namespace
}  // namespace qd
