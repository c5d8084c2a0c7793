#include "utilities/shell.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "storage/local_file_store.h"
#include "utilities/app_logger.h"
#include "utilities/utf8.h"

extern char** environ;

namespace qd::Shell {

namespace {

using Clock = std::chrono::steady_clock;

// A child that ignores SIGTERM is killed this long after it.
constexpr auto kKillGrace = std::chrono::seconds(2);
// Once the child has exited, how long to wait for others holding its pipes (its own children).
constexpr auto kPipeGrace = std::chrono::seconds(2);
// How often to look for the child's exit while its pipes stay open.
constexpr int kTickMillis = 100;

struct Pipe {
  int fds[2] = {-1, -1};
  ~Pipe() {
    for (int fd : fds)
      if (fd >= 0) ::close(fd);
  }
  void closeEnd(int i) {
    if (fds[i] >= 0) ::close(fds[i]);
    fds[i] = -1;
  }
};

int statusOf(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return WTERMSIG(waitStatus);
  return -1;
}

int millisUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, kTickMillis));
}

bool isExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// "v20.11.1" → {20, 11, 1}; names that are no version sort first.
std::array<long, 3> nodeVersion(const std::string& name) {
  std::array<long, 3> v{-1, -1, -1};
  const char* p = name.c_str();
  if (*p == 'v') ++p;
  for (int i = 0; i < 3 && *p; ++i) {
    char* end = nullptr;
    v[i] = std::strtol(p, &end, 10);
    if (end == p) break;
    p = *end == '.' ? end + 1 : end;
  }
  return v;
}

std::optional<std::filesystem::path> newestNvmBin(const std::filesystem::path& home) {
  std::error_code ec;
  std::optional<std::filesystem::path> best;
  std::array<long, 3> bestVersion{};
  for (const auto& entry : std::filesystem::directory_iterator(home / ".nvm/versions/node", ec)) {
    const auto version = nodeVersion(entry.path().filename().string());
    if (!best || version > bestVersion) {
      best = entry.path() / "bin";
      bestVersion = version;
    }
  }
  return best;
}

std::string_view trim(std::string_view s) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

std::optional<Result> run(const std::string& executable, const std::vector<std::string>& args,
                          std::optional<double> timeoutSeconds) {
  Pipe out, err;
  if (::pipe2(out.fds, O_CLOEXEC) != 0 || ::pipe2(err.fds, O_CLOEXEC) != 0) {
    AppLogger::shared().error(std::string("Shell.run failed: ") + std::strerror(errno));
    return std::nullopt;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out.fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.fds[1], STDERR_FILENO);

  // The child starts with default dispositions and no blocked signals, whatever
  // this process ignores (SIGPIPE) or blocks on the calling thread.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGCHLD);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, executable.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    AppLogger::shared().error(std::string("Shell.run failed: ") + std::strerror(rc));
    return std::nullopt;
  }
  out.closeEnd(1);
  err.closeEnd(1);

  std::string outBytes, errBytes;
  const auto start = Clock::now();
  std::optional<Clock::time_point> termAt;
  if (timeoutSeconds && std::isfinite(*timeoutSeconds)) {
    const double t = std::clamp(*timeoutSeconds, 0.0, 1e9);
    termAt = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(t));
  }
  std::optional<Clock::time_point> killAt;
  std::optional<Clock::time_point> giveUpAt;  // set once the child has been reaped
  std::optional<int> waitStatus;
  auto lastReapCheck = start;

  char buf[65536];
  while (out.fds[0] >= 0 || err.fds[0] >= 0) {
    const auto now = Clock::now();
    if (termAt && !killAt && now >= *termAt && !waitStatus) {
      ::kill(pid, SIGTERM);
      killAt = now + kKillGrace;
    }
    if (killAt && now >= *killAt && !waitStatus) {
      ::kill(pid, SIGKILL);
      killAt = Clock::time_point::max();
    }
    if (giveUpAt && now >= *giveUpAt) break;

    pollfd pfds[2];
    nfds_t n = 0;
    for (int fd : {out.fds[0], err.fds[0]})
      if (fd >= 0) pfds[n++] = pollfd{fd, POLLIN, 0};
    int wait = kTickMillis;
    if (termAt && !killAt) wait = std::min(wait, millisUntil(*termAt));
    const int ready = ::poll(pfds, n, wait);
    if (ready < 0 && errno != EINTR) break;
    for (nfds_t i = 0; ready > 0 && i < n; ++i) {
      if (!(pfds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const bool isOut = pfds[i].fd == out.fds[0];
      ssize_t got = ::read(pfds[i].fd, buf, sizeof buf);
      if (got > 0) {
        (isOut ? outBytes : errBytes).append(buf, static_cast<size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        (isOut ? out : err).closeEnd(0);
      }
    }
    if (!waitStatus && (ready == 0 || Clock::now() - lastReapCheck >= std::chrono::milliseconds(kTickMillis))) {
      lastReapCheck = Clock::now();
      int st = 0;
      if (::waitpid(pid, &st, WNOHANG) == pid) {
        waitStatus = st;
        giveUpAt = Clock::now() + kPipeGrace;
      }
    }
  }

  if (!waitStatus) {
    int st = 0;
    pid_t r;
    do {
      r = ::waitpid(pid, &st, 0);
    } while (r < 0 && errno == EINTR);
    if (r == pid) waitStatus = st;
  }

  Result result;
  result.status = waitStatus ? statusOf(*waitStatus) : -1;
  result.stdoutText = repairUTF8(outBytes);
  result.stderrText = repairUTF8(errBytes);
  return result;
}

std::optional<std::string> which(std::string_view name) {
  if (name.empty() || name.find('/') != std::string_view::npos || name.find('\0') != std::string_view::npos)
    return std::nullopt;
  const std::string file(name);
  const auto found = [&](const std::filesystem::path& dir) -> std::optional<std::string> {
    if (dir.empty() || dir.is_relative()) return std::nullopt;
    std::string path = (dir / file).string();
    if (isExecutableFile(path)) return path;
    return std::nullopt;
  };

  for (const char* dir : {"/opt/homebrew/bin", "/usr/local/bin", "/usr/bin", "/bin"})
    if (auto p = found(dir)) return p;

  if (const char* path = std::getenv("PATH")) {
    std::string_view rest = path;
    while (!rest.empty()) {
      const size_t colon = rest.find(':');
      const std::string_view dir = rest.substr(0, colon);
      if (auto p = found(std::filesystem::path(dir))) return p;
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }

  const auto home = LocalFileStore::homeDirectory();
  for (const char* sub : {".local/bin", ".npm-global/bin", ".volta/bin", ".bun/bin"})
    if (auto p = found(home / sub)) return p;
  if (auto nvm = newestNvmBin(home))
    if (auto p = found(*nvm)) return p;

  if (!isExecutableFile("/usr/bin/which")) return std::nullopt;
  auto answer = run("/usr/bin/which", {file});
  if (!answer) return std::nullopt;
  const auto trimmed = trim(answer->stdoutText);
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

}  // namespace qd::Shell
