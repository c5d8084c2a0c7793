#pragma once
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace qd {

// Tells when one of the named files in a directory is written, replaced (an
// atomic rename over it), created or removed. inotify watches the directory, so
// a file that does not exist yet or is renamed over is seen as well. The thread
// sleeps in poll() between events: an idle watch costs no CPU.
//
// Thread-safety: `onChange` runs on the watch's own thread, once per changed name
// in each batch of events the kernel hands over (an append of many writes is
// usually one call). The destructor stops and joins the thread; no call runs after.
class FileWatch {
 public:
  using OnChange = std::function<void(const std::string& name)>;

  FileWatch(const std::filesystem::path& directory, std::vector<std::string> names, OnChange onChange);
  ~FileWatch();
  FileWatch(const FileWatch&) = delete;
  FileWatch& operator=(const FileWatch&) = delete;

  // False when the watch could not be set up (no inotify, no such directory).
  [[nodiscard]] bool active() const { return inotifyFd_ >= 0; }

 private:
  void run();

  std::vector<std::string> names_;
  OnChange onChange_;
  int inotifyFd_ = -1;
  int stopFd_ = -1;  // an eventfd; written once to stop the thread
  std::thread thread_;
};

// Tells once when the reading end of `fd` (a pipe or socket the process writes
// to, such as its standard output) has gone away, or the terminal hung up. Only
// POLLERR and POLLHUP are asked for, so a writable descriptor does not wake it.
//
// Thread-safety: `onClosed` runs on the watch's own thread; the destructor joins it.
class OutputClosedWatch {
 public:
  OutputClosedWatch(int fd, std::function<void()> onClosed);
  ~OutputClosedWatch();
  OutputClosedWatch(const OutputClosedWatch&) = delete;
  OutputClosedWatch& operator=(const OutputClosedWatch&) = delete;

 private:
  int fd_;
  int stopFd_ = -1;
  std::function<void()> onClosed_;
  std::thread thread_;
};

}  // namespace qd
