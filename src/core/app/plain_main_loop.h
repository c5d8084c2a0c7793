#pragma once
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <thread>

#include "utilities/ports/main_loop.h"

namespace qd {

// The main loop of the headless run and the command-line modes: the thread that
// calls `run()` becomes the main thread and runs posted tasks and timers in
// order until `quit()`. Timers use the monotonic clock.
//
// Thread-safety: `post`, `postAfter` and `quit` may be called from any thread;
// `addRepeatingTimer` and `cancelTimer` too (they take the same lock).
class PlainMainLoop final : public MainLoop {
 public:
  PlainMainLoop();
  ~PlainMainLoop() override = default;
  PlainMainLoop(const PlainMainLoop&) = delete;
  PlainMainLoop& operator=(const PlainMainLoop&) = delete;

  void post(Task task) override;
  void postAfter(double seconds, Task task) override;
  [[nodiscard]] TimerId addRepeatingTimer(double intervalSeconds, Task task) override;
  void cancelTimer(TimerId id) override;
  [[nodiscard]] bool isMainThread() const override;

  // Runs tasks and timers on the calling thread until `quit()`; returns at once
  // if `quit()` came first.
  void run();
  // Like `run`, but also returns after `seconds` of real time. Returns true when
  // `quit()` ended it.
  bool runFor(double seconds);
  void quit();

 private:
  using SteadyTime = std::chrono::steady_clock::time_point;
  struct Timer {
    TimerId id;
    double interval;  // seconds; 0 for a one-shot
    std::shared_ptr<Task> task;
  };

  bool runUntil(std::optional<SteadyTime> deadline);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  std::multimap<SteadyTime, Timer> timers_;
  TimerId nextTimerId_ = 1;
  bool quitting_ = false;
  std::thread::id mainThread_;
};

}  // namespace qd
