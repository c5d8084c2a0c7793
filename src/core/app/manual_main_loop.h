#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "utilities/ports/clock.h"
#include "utilities/ports/main_loop.h"

namespace qd {

// A clock that moves only when told to.
// Thread-safety: any thread.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(Timestamp start = fromUnixSeconds(1'800'000'000));
  [[nodiscard]] Timestamp now() const override;
  void set(Timestamp t);
  void advance(double seconds);

 private:
  mutable std::mutex mutex_;
  Timestamp now_;
};

// A main loop for tests: nothing runs until the test says so. Timers are due by
// the `ManualClock`; `advance` moves the clock and runs what falls due, in order.
// The thread that created the loop is the main thread.
//
// Thread-safety: `post` and `postAfter` from any thread; everything else on the
// main thread.
class ManualMainLoop final : public MainLoop {
 public:
  explicit ManualMainLoop(ManualClock& clock);

  void post(Task task) override;
  void postAfter(double seconds, Task task) override;
  [[nodiscard]] TimerId addRepeatingTimer(double intervalSeconds, Task task) override;
  void cancelTimer(TimerId id) override;
  [[nodiscard]] bool isMainThread() const override;

  // Runs the posted tasks (and tasks they post) until none is left; returns how many ran.
  int runPending();
  // Moves the clock forward by `seconds`, running every timer that falls due at
  // its own due time, and the posted tasks after each.
  void advance(double seconds);
  // Runs posted tasks as they arrive (also from other threads) until `done()`
  // holds or `realTimeoutSeconds` of real time pass. Returns `done()`.
  bool runUntil(const std::function<bool()>& done, double realTimeoutSeconds = 10);
  [[nodiscard]] std::size_t timerCount() const;

 private:
  struct Timer {
    TimerId id;
    double interval;  // 0 for a one-shot
    std::shared_ptr<Task> task;
  };

  ManualClock& clock_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  std::multimap<Timestamp, Timer> timers_;
  TimerId nextTimerId_ = 1;
  std::thread::id mainThread_;
};

}  // namespace qd
