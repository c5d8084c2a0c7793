#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>

namespace qd {

// A named worker thread with a FIFO of tasks: what the system calls a serial
// queue ("quotadial.forecast", "quotadial.snapshotstore", ...). Tasks run one at
// a time in submission order.
//
// Thread-safety: `async` and `sync` may be called from any thread. `sync` from a
// task already running on this queue runs the work inline instead of deadlocking.
// The destructor finishes the queued tasks, then joins the worker.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  [[nodiscard]] const std::string& label() const { return label_; }
  [[nodiscard]] bool isCurrent() const;

  void async(std::function<void()> task);

  template <class F>
  auto sync(F&& work) -> std::invoke_result_t<F> {
    using R = std::invoke_result_t<F>;
    if (isCurrent()) return work();
    std::packaged_task<R()> packaged(std::forward<F>(work));
    auto future = packaged.get_future();
    async([&packaged] { packaged(); });
    return future.get();
  }

 private:
  void run();

  std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace qd
