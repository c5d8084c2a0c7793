#pragma once
#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

namespace qd {

// SIGTERM, SIGINT and SIGHUP end every run mode the same way: the handler only
// writes to a pipe, and a watcher thread hands the first signal to `onSignal`
// (which asks the main loop to quit; the run mode then flushes and stops in
// order). A second SIGINT while that shutdown runs ends the process at once.
//
// Create it on the main thread before other threads start: they inherit the
// blocked mask, so only the watcher is interrupted by these signals. One at a
// time per process.
//
// Thread-safety: `onSignal` runs on the watcher thread.
class TerminationSignals {
 public:
  explicit TerminationSignals(std::function<void(int signal)> onSignal);
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

  // The first signal received, or 0.
  [[nodiscard]] int received() const { return received_.load(); }

 private:
  int readFd_ = -1;
  int writeFd_ = -1;
  struct sigaction old_[3] {};
  sigset_t oldMask_{};
  std::atomic<bool> stopping_{false};
  std::atomic<int> received_{0};
  std::function<void(int)> onSignal_;
  std::thread watcher_;
};

}  // namespace qd
