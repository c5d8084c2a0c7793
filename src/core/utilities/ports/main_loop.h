#pragma once
#include <cstdint>
#include <functional>

namespace qd {

// The main thread's run loop: the one thread that owns observable state, timers
// and the notification rules. The desktop implements it on the Qt event loop; the
// core has a plain one (headless run, command-line modes) and a manual one for tests.
//
// Thread-safety: `post` and `postAfter` may be called from any thread; timers are
// added and cancelled on the main thread.
class MainLoop {
 public:
  using Task = std::function<void()>;
  using TimerId = std::uint64_t;

  virtual ~MainLoop() = default;

  // Runs `task` on the main thread, after what is already queued.
  virtual void post(Task task) = 0;
  // Runs `task` once on the main thread, `seconds` from now.
  virtual void postAfter(double seconds, Task task) = 0;
  // Runs `task` on the main thread every `intervalSeconds`, first after one interval.
  [[nodiscard]] virtual TimerId addRepeatingTimer(double intervalSeconds, Task task) = 0;
  virtual void cancelTimer(TimerId id) = 0;
  [[nodiscard]] virtual bool isMainThread() const = 0;
};

}  // namespace qd
