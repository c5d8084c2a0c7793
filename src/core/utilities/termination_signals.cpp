#include "utilities/termination_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "utilities/app_logger.h"

namespace qd {

namespace {

constexpr int kSignals[3] = {SIGTERM, SIGINT, SIGHUP};

// The write end of the pipe of the live watcher.
std::atomic<int> gSignalPipe{-1};

extern "C" void onTerminationSignal(int signal) {
  const int fd = gSignalPipe.load();
  if (fd < 0) return;
  const unsigned char byte = static_cast<unsigned char>(signal);
  ssize_t ignored = ::write(fd, &byte, 1);
  (void)ignored;
}

const char* signalName(int signal) {
  switch (signal) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
  }
}

}  // namespace

TerminationSignals::TerminationSignals(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  readFd_ = fds[0];
  writeFd_ = fds[1];
  gSignalPipe.store(writeFd_);
  struct sigaction sa {};
  sa.sa_handler = onTerminationSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigset_t set;
  sigemptyset(&set);
  for (int i = 0; i < 3; ++i) {
    ::sigaction(kSignals[i], &sa, &old_[i]);
    sigaddset(&set, kSignals[i]);
  }
  ::pthread_sigmask(SIG_BLOCK, &set, &oldMask_);
  watcher_ = std::thread([this, set] {
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    for (;;) {
      pollfd p{readFd_, POLLIN, 0};
      if (::poll(&p, 1, -1) < 0) continue;
      unsigned char buf[16];
      const ssize_t n = ::read(readFd_, buf, sizeof buf);
      if (n <= 0) continue;
      if (stopping_.load()) return;
      for (ssize_t i = 0; i < n; ++i) {
        const int signal = buf[i];
        int expected = 0;
        if (!received_.compare_exchange_strong(expected, signal)) {
          // Ctrl+C again: the orderly shutdown is taking too long for the user. A
          // logout's SIGHUP and SIGTERM in a row must not cut the shutdown short.
          if (signal == SIGINT && expected == SIGINT) std::_Exit(128 + signal);
          continue;
        }
        AppLogger::shared().info(std::string("Received ") + signalName(signal) + "; shutting down");
        if (onSignal_) onSignal_(signal);
      }
    }
  });
}

TerminationSignals::~TerminationSignals() {
  if (readFd_ < 0) return;
  stopping_ = true;
  const unsigned char byte = 0;
  ssize_t ignored = ::write(writeFd_, &byte, 1);
  (void)ignored;
  if (watcher_.joinable()) watcher_.join();
  for (int i = 0; i < 3; ++i) ::sigaction(kSignals[i], &old_[i], nullptr);
  ::pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
  gSignalPipe.store(-1);
  ::close(readFd_);
  ::close(writeFd_);
}

}  // namespace qd
