#include "storage/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace qd {

FileLock::FileLock(const std::filesystem::path& lockPath, std::optional<std::chrono::milliseconds> maxWait) {
  // O_NONBLOCK: a FIFO planted at the lock path must not hang the open.
  int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return;
  const auto started = std::chrono::steady_clock::now();
  int rc;
  if (!maxWait) {
    do {
      rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
  } else {
    // flock has no timeout: poll, starting fine (an append holds it for well
    // under a millisecond) and backing off to 20 ms.
    auto pause = std::chrono::microseconds(200);
    for (;;) {
      rc = ::flock(fd, LOCK_EX | LOCK_NB);
      if (rc == 0 || (errno != EWOULDBLOCK && errno != EINTR)) break;
      if (std::chrono::steady_clock::now() - started >= *maxWait) {
        timedOut_ = true;
        break;
      }
      std::this_thread::sleep_for(pause);
      pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(20));
    }
  }
  waited_ = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  if (rc != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
}

FileLock::~FileLock() {
  if (fd_ >= 0) {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
}

}  // namespace qd
