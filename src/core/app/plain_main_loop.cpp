#include "app/plain_main_loop.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace qd {

namespace {
std::chrono::steady_clock::duration toDuration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}
}  // namespace

PlainMainLoop::PlainMainLoop() : mainThread_(std::this_thread::get_id()) {}

void PlainMainLoop::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void PlainMainLoop::postAfter(double seconds, Task task) {
  {
    std::lock_guard lock(mutex_);
    const TimerId id = nextTimerId_++;
    timers_.emplace(std::chrono::steady_clock::now() + toDuration(seconds),
                    Timer{id, 0, std::make_shared<Task>(std::move(task))});
  }
  wake_.notify_one();
}

MainLoop::TimerId PlainMainLoop::addRepeatingTimer(double intervalSeconds, Task task) {
  // A non-positive interval would spin; a repeating timer fires at most every millisecond.
  const double interval = std::isfinite(intervalSeconds) ? std::max(intervalSeconds, 0.001) : 0.001;
  TimerId id;
  {
    std::lock_guard lock(mutex_);
    id = nextTimerId_++;
    timers_.emplace(std::chrono::steady_clock::now() + toDuration(interval),
                    Timer{id, interval, std::make_shared<Task>(std::move(task))});
  }
  wake_.notify_one();
  return id;
}

void PlainMainLoop::cancelTimer(TimerId id) {
  std::lock_guard lock(mutex_);
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->second.id == id) {
      timers_.erase(it);
      return;
    }
  }
}

bool PlainMainLoop::isMainThread() const {
  std::lock_guard lock(mutex_);
  return std::this_thread::get_id() == mainThread_;
}

void PlainMainLoop::quit() {
  {
    std::lock_guard lock(mutex_);
    quitting_ = true;
  }
  wake_.notify_all();
}

void PlainMainLoop::run() { (void)runUntil(std::nullopt); }

bool PlainMainLoop::runFor(double seconds) {
  return runUntil(std::chrono::steady_clock::now() + toDuration(seconds));
}

bool PlainMainLoop::runUntil(std::optional<SteadyTime> deadline) {
  std::unique_lock lock(mutex_);
  mainThread_ = std::this_thread::get_id();
  for (;;) {
    if (quitting_) {
      quitting_ = false;
      return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!tasks_.empty()) {
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      if (task) task();
      lock.lock();
      continue;
    }
    if (!timers_.empty() && timers_.begin()->first <= now) {
      auto node = timers_.extract(timers_.begin());
      Timer timer = node.mapped();
      if (timer.interval > 0) {
        // Re-arm from the due time, skipping ticks missed while busy, so a
        // repeating timer never fires in a burst.
        auto next = node.key() + toDuration(timer.interval);
        if (next <= now) next = now + toDuration(timer.interval);
        node.key() = next;
        timers_.insert(std::move(node));
      }
      auto task = timer.task;
      lock.unlock();
      if (task && *task) (*task)();
      lock.lock();
      continue;
    }
    if (deadline && now >= *deadline) return false;
    std::optional<SteadyTime> wakeAt = deadline;
    if (!timers_.empty() && (!wakeAt || timers_.begin()->first < *wakeAt)) wakeAt = timers_.begin()->first;
    if (wakeAt)
      wake_.wait_until(lock, *wakeAt);
    else
      wake_.wait(lock);
  }
}

}  // namespace qd
