#include "providers/codex/codex_process_manager.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>

#include "providers/codex/line_assembler.h"
#include "utilities/app_logger.h"
#include "utilities/shell.h"

extern char** environ;

namespace qd {

struct CodexProcessManager::Shared {
  std::mutex mutex;  // guards the two handlers
  LineHandler onLine;
  TerminateHandler onTerminate;
  std::atomic<bool> running{false};
};

// One launched child. Its descriptors close when the last owner lets go: the
// manager, the reader thread, or a write still queued.
struct CodexProcessManager::Session {
  pid_t pid = -1;
  int stdinFd = -1;   // parent's write end, non-blocking
  int stdoutFd = -1;  // parent's read ends, non-blocking
  int stderrFd = -1;
  int pidFd = -1;     // readable once the child has exited; -1 where the kernel lacks pidfd
  int wakeFd = -1;    // eventfd that tells the reader to leave
  std::atomic<bool> stopping{false};
  std::mutex reapMutex;  // guards `reaped`; whoever reaps holds it
  bool reaped = false;
  std::optional<int> waitStatus;  // from waitpid; absent when another reaper took the child
  std::thread reader;

  ~Session() {
    for (int fd : {stdinFd, stdoutFd, stderrFd, pidFd, wakeFd})
      if (fd >= 0) ::close(fd);
  }

  // Collects the child if it has exited. Caller holds reapMutex.
  bool tryReapLocked() {
    if (reaped) return true;
    int status = 0;
    pid_t r;
    do r = ::waitpid(pid, &status, WNOHANG);
    while (r < 0 && errno == EINTR);
    // ECHILD: someone else collected it (SIGCHLD ignored); either way it is gone.
    if (r == pid) waitStatus = status;
    if (r == pid || (r < 0 && errno == ECHILD)) reaped = true;
    return reaped;
  }
};

namespace {

constexpr int kReadChunk = 64 * 1024;
// Reads per wake-up before polling again, so a chatty child cannot starve the wake fd.
constexpr int kReadsPerWake = 16;

void ignoreSigpipeOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      struct sigaction ignore {};
      ignore.sa_handler = SIG_IGN;
      sigemptyset(&ignore.sa_mask);
      ::sigaction(SIGPIPE, &ignore, nullptr);
    }
  });
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A pipe whose ends are both above the standard descriptors, so dup2 onto 0-2 in
// the child always clears close-on-exec.
bool makePipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    if (fds[i] > 2) continue;
    const int moved = ::fcntl(fds[i], F_DUPFD_CLOEXEC, 3);
    ::close(fds[i]);
    fds[i] = moved;
  }
  if (fds[0] < 0 || fds[1] < 0) {
    closeFd(fds[0]);
    closeFd(fds[1]);
    return false;
  }
  return true;
}

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(fd);
  }
#endif
  return -1;
}

// Reads what is there. False at end of file or on a hard error.
template <class Sink>
bool drain(int fd, char* buf, Sink&& sink) {
  for (int i = 0; i < kReadsPerWake; ++i) {
    const ssize_t n = ::read(fd, buf, kReadChunk);
    if (n > 0) {
      sink(std::string_view(buf, static_cast<size_t>(n)));
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
  return true;
}

}  // namespace

CodexProcessManager::CodexProcessManager(Locator locate)
    : locate_(std::move(locate)), shared_(std::make_shared<Shared>()) {}

CodexProcessManager::~CodexProcessManager() { stop(); }

bool CodexProcessManager::isRunning() const { return shared_->running.load(); }

std::optional<std::string> CodexProcessManager::locateExecutable() const {
  if (locate_) return locate_();
  auto found = Shell::which("codex");
  if (!found) return std::nullopt;
  return std::string(*found);
}

void CodexProcessManager::setOnLine(LineHandler handler) {
  std::lock_guard lock(shared_->mutex);
  shared_->onLine = std::move(handler);
}

std::string CodexProcessManager::describeExit(int waitStatus) {
  if (WIFEXITED(waitStatus)) return "exit status " + std::to_string(WEXITSTATUS(waitStatus));
  if (WIFSIGNALED(waitStatus)) {
    const int sig = WTERMSIG(waitStatus);
    const char* name = ::strsignal(sig);
    return "signal " + std::to_string(sig) + (name ? std::string(" (") + name + ")" : std::string());
  }
  return "status " + std::to_string(waitStatus);
}

void CodexProcessManager::setOnTerminate(TerminateHandler handler) {
  std::lock_guard lock(shared_->mutex);
  shared_->onTerminate = std::move(handler);
}

std::optional<pid_t> CodexProcessManager::processId() const {
  std::lock_guard lock(mutex_);
  if (!session_ || !shared_->running) return std::nullopt;
  return session_->pid;
}

bool CodexProcessManager::start() {
  std::lock_guard startLock(startMutex_);
  std::shared_ptr<Session> previous;
  {
    std::lock_guard lock(mutex_);
    if (session_ && shared_->running) return true;
    previous = std::move(session_);
  }
  if (previous) teardown(std::move(previous));  // a child that exited on its own

  const auto path = locateExecutable();
  if (!path) {
    AppLogger::shared().warn("Codex not found in PATH");
    return false;
  }
  ignoreSigpipeOnce();

  auto session = std::make_shared<Session>();
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  int rc = 0;
  if (!makePipe(in) || !makePipe(out) || !makePipe(err)) rc = errno ? errno : EMFILE;
  if (rc == 0) {
    session->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (session->wakeFd < 0) rc = errno;
  }
  if (rc == 0) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    // Ignored signals survive exec: give the child default SIGPIPE and friends and an
    // empty mask, whatever this process has set.
    sigset_t mask, defaults;
    sigemptyset(&mask);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2})
      sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &mask);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    std::string program = *path;
    std::string argument = "app-server";
    char* argv[] = {program.data(), argument.data(), nullptr};
    rc = ::posix_spawn(&session->pid, program.c_str(), &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  closeFd(in[0]);
  closeFd(out[1]);
  closeFd(err[1]);
  session->stdinFd = in[1];
  session->stdoutFd = out[0];
  session->stderrFd = err[0];
  if (rc != 0) {
    session->pid = -1;
    AppLogger::shared().error(std::string("Failed to start codex app-server: ") + std::strerror(rc));
    return false;  // the session's destructor closes what was opened
  }
  setNonBlocking(session->stdinFd);
  setNonBlocking(session->stdoutFd);
  setNonBlocking(session->stderrFd);
  session->pidFd = openPidFd(session->pid);

  shared_->running = true;
  session->reader = std::thread(readLoop, session, shared_);
  {
    std::lock_guard lock(mutex_);
    session_ = session;
  }
  AppLogger::shared().info("codex app-server started");
  return true;
}

void CodexProcessManager::readLoop(std::shared_ptr<Session> session, std::shared_ptr<Shared> shared) {
  LineAssembler assembler(kMaxLineBytes);
  const auto deliver = [&](std::string_view line) {
    if (session->stopping) return;
    LineHandler handler;
    {
      std::lock_guard lock(shared->mutex);
      handler = shared->onLine;
    }
    if (handler) handler(std::string(line));
  };
  const auto feed = [&](std::string_view bytes) { assembler.feed(bytes, deliver); };
  const auto discard = [](std::string_view) {};
  std::unique_ptr<char[]> buf(new char[kReadChunk]);
  bool outOpen = true, errOpen = true;

  while (!session->stopping) {
    pollfd fds[4] = {{session->wakeFd, POLLIN, 0},
                     {outOpen ? session->stdoutFd : -1, POLLIN, 0},
                     {errOpen ? session->stderrFd : -1, POLLIN, 0},
                     {session->pidFd, POLLIN, 0}};
    // Without a pidfd the exit is noticed by polling waitpid.
    const int timeoutMs = session->pidFd >= 0 ? -1 : 100;
    if (::poll(fds, 4, timeoutMs) < 0 && errno != EINTR) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    if (session->stopping) return;
    if (outOpen && fds[1].revents) outOpen = drain(session->stdoutFd, buf.get(), feed);
    if (errOpen && fds[2].revents) errOpen = drain(session->stderrFd, buf.get(), discard);
    if (session->pidFd >= 0 && !fds[3].revents) continue;

    bool exited;
    {
      std::lock_guard lock(session->reapMutex);
      exited = session->tryReapLocked();
    }
    if (!exited) continue;
    // Output written just before the exit is still in the pipe.
    while (outOpen && !session->stopping) {
      pollfd p{session->stdoutFd, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) break;
      outOpen = drain(session->stdoutFd, buf.get(), feed);
    }
    if (session->stopping) return;
    shared->running = false;
    TerminateHandler onTerminate;
    {
      std::lock_guard lock(shared->mutex);
      onTerminate = shared->onTerminate;
    }
    std::string how = "exit status unknown";
    {
      std::lock_guard lock(session->reapMutex);
      if (session->waitStatus) how = describeExit(*session->waitStatus);
    }
    if (onTerminate) onTerminate(how);
    return;
  }
}

void CodexProcessManager::teardown(std::shared_ptr<Session> session) {
  session->stopping = true;
  const uint64_t one = 1;
  [[maybe_unused]] auto ignored = ::write(session->wakeFd, &one, sizeof one);
  if (session->reader.joinable()) {
    if (session->reader.get_id() == std::this_thread::get_id())
      session->reader.detach();
    else
      session->reader.join();
  }

  std::lock_guard lock(session->reapMutex);
  if (session->pid <= 0 || session->tryReapLocked()) return;
  // The child leads its own process group: signal the group so helpers it started go too.
  ::kill(-session->pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration<double>(kTerminateGraceSeconds);
  while (!session->tryReapLocked()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (session->pidFd >= 0) {
      pollfd p{session->pidFd, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(left.count()));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long>(10, left.count())));
    }
  }
  if (session->reaped) return;
  ::kill(-session->pid, SIGKILL);
  int status = 0;
  while (::waitpid(session->pid, &status, 0) < 0 && errno == EINTR) {
  }
  session->reaped = true;
}

void CodexProcessManager::stop() {
  std::lock_guard startLock(startMutex_);
  std::shared_ptr<Session> session;
  {
    std::lock_guard lock(mutex_);
    session = std::move(session_);
  }
  shared_->running = false;
  if (session) teardown(std::move(session));
}

void CodexProcessManager::send(std::string line) {
  std::shared_ptr<Session> session;
  {
    std::lock_guard lock(mutex_);
    session = session_;
  }
  if (!session || session->stopping) return;
  line.push_back('\n');
  queue_.async([session = std::move(session), data = std::move(line)] {
    size_t offset = 0;
    while (offset < data.size() && !session->stopping) {
      const ssize_t n = ::write(session->stdinFd, data.data() + offset, data.size() - offset);
      if (n > 0) {
        offset += static_cast<size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // The child is not reading: wait, but keep noticing `stop`.
        pollfd p{session->stdinFd, POLLOUT, 0};
        ::poll(&p, 1, 100);
      } else {
        return;  // EPIPE: the child has gone; the message is dropped
      }
    }
  });
}

void CodexProcessManager::flushWrites() {
  queue_.sync([] {});
}

}  // namespace qd
