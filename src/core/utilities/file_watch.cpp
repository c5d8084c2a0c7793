#include "utilities/file_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <set>

namespace qd {

namespace {

void signalStop(int fd) {
  if (fd < 0) return;
  const std::uint64_t one = 1;
  ssize_t ignored = ::write(fd, &one, sizeof one);
  (void)ignored;
}

}  // namespace

FileWatch::FileWatch(const std::filesystem::path& directory, std::vector<std::string> names, OnChange onChange)
    : names_(std::move(names)), onChange_(std::move(onChange)) {
  inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd_ < 0) return;
  constexpr std::uint32_t kMask =
      IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ATTRIB;
  stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd_ < 0 || ::inotify_add_watch(inotifyFd_, directory.c_str(), kMask | IN_ONLYDIR) < 0) {
    if (stopFd_ >= 0) ::close(stopFd_);
    ::close(inotifyFd_);
    stopFd_ = inotifyFd_ = -1;
    return;
  }
  thread_ = std::thread([this] { run(); });
}

FileWatch::~FileWatch() {
  signalStop(stopFd_);
  if (thread_.joinable()) thread_.join();
  if (stopFd_ >= 0) ::close(stopFd_);
  if (inotifyFd_ >= 0) ::close(inotifyFd_);
}

void FileWatch::run() {
  // Large enough for a burst of events; one event is at most sizeof(inotify_event) + NAME_MAX + 1.
  alignas(inotify_event) char buf[16 * 1024];
  for (;;) {
    pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    std::set<std::string> changed;
    bool overflow = false;
    for (;;) {
      const ssize_t n = ::read(inotifyFd_, buf, sizeof buf);
      if (n <= 0) break;
      for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        if (ev->mask & IN_Q_OVERFLOW) overflow = true;
        if (ev->mask & IN_IGNORED) return;  // the directory itself went away
        if (ev->len == 0) continue;
        const std::string name(ev->name);  // NUL-padded by the kernel
        if (std::find(names_.begin(), names_.end(), name) != names_.end()) changed.insert(name);
      }
    }
    // Events were lost: any of the files may have changed.
    if (overflow) changed.insert(names_.begin(), names_.end());
    for (const std::string& name : changed) onChange_(name);
  }
}

OutputClosedWatch::OutputClosedWatch(int fd, std::function<void()> onClosed) : fd_(fd), onClosed_(std::move(onClosed)) {
  stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd_ < 0) return;
  thread_ = std::thread([this] {
    for (;;) {
      // events = 0: only the error and hang-up conditions, which poll always reports.
      pollfd fds[2] = {{fd_, 0, 0}, {stopFd_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
        onClosed_();
        return;
      }
    }
  });
}

OutputClosedWatch::~OutputClosedWatch() {
  signalStop(stopFd_);
  if (thread_.joinable()) thread_.join();
  if (stopFd_ >= 0) ::close(stopFd_);
}

}  // namespace qd
