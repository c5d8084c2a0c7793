#include "app/manual_main_loop.h"

#include <chrono>

namespace qd {

ManualClock::ManualClock(Timestamp start) : now_(start) {}

Timestamp ManualClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

void ManualClock::set(Timestamp t) {
  std::lock_guard lock(mutex_);
  now_ = t;
}

void ManualClock::advance(double seconds) {
  std::lock_guard lock(mutex_);
  now_ = addSeconds(now_, seconds);
}

ManualMainLoop::ManualMainLoop(ManualClock& clock) : clock_(clock), mainThread_(std::this_thread::get_id()) {}

void ManualMainLoop::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_all();
}

void ManualMainLoop::postAfter(double seconds, Task task) {
  std::lock_guard lock(mutex_);
  timers_.emplace(addSeconds(clock_.now(), seconds), Timer{nextTimerId_++, 0, std::make_shared<Task>(std::move(task))});
}

MainLoop::TimerId ManualMainLoop::addRepeatingTimer(double intervalSeconds, Task task) {
  std::lock_guard lock(mutex_);
  const TimerId id = nextTimerId_++;
  const double interval = intervalSeconds > 0 ? intervalSeconds : 0.001;
  timers_.emplace(addSeconds(clock_.now(), interval), Timer{id, interval, std::make_shared<Task>(std::move(task))});
  return id;
}

void ManualMainLoop::cancelTimer(TimerId id) {
  std::lock_guard lock(mutex_);
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->second.id == id) {
      timers_.erase(it);
      return;
    }
  }
}

bool ManualMainLoop::isMainThread() const { return std::this_thread::get_id() == mainThread_; }

int ManualMainLoop::runPending() {
  int ran = 0;
  for (;;) {
    Task task;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) return ran;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    if (task) task();
    ++ran;
  }
}

void ManualMainLoop::advance(double seconds) {
  const Timestamp target = addSeconds(clock_.now(), seconds);
  runPending();
  for (;;) {
    std::shared_ptr<Task> task;
    {
      std::lock_guard lock(mutex_);
      if (timers_.empty() || timers_.begin()->first > target) break;
      auto node = timers_.extract(timers_.begin());
      clock_.set(std::max(clock_.now(), node.key()));
      task = node.mapped().task;
      if (node.mapped().interval > 0) {
        node.key() = addSeconds(node.key(), node.mapped().interval);
        timers_.insert(std::move(node));
      }
    }
    if (task && *task) (*task)();
    runPending();
  }
  clock_.set(target);
  runPending();
}

bool ManualMainLoop::runUntil(const std::function<bool()>& done, double realTimeoutSeconds) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(realTimeoutSeconds));
  for (;;) {
    runPending();
    if (done()) return true;
    std::unique_lock lock(mutex_);
    if (!wake_.wait_until(lock, deadline, [this] { return !tasks_.empty(); })) {
      lock.unlock();
      runPending();
      return done();
    }
  }
}

std::size_t ManualMainLoop::timerCount() const {
  std::lock_guard lock(mutex_);
  return timers_.size();
}

}  // namespace qd
