// `--status` and `--headless`: the application core in a terminal.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <ostream>
#include <thread>

#include "app/app_state.h"
#include "app/command_line.h"
#include "app/headless_services.h"
#include "app/plain_main_loop.h"
#include "app/status_report.h"
#include "app/terminal_modes.h"
#include "utilities/app_logger.h"

namespace qd::CommandLine {

namespace {

// Runs the loop until the state has applied every refresh asked for so far, or
// `timeoutSeconds` pass. True when it settled.
bool settle(PlainMainLoop& loop, AppState& state, double timeoutSeconds) {
  if (state.pendingRefreshes() == 0) return true;
  auto sub = state.subscribe([&](unsigned) {
    if (state.pendingRefreshes() == 0) loop.quit();
  });
  // An apply that changes nothing announces nothing; look as well.
  const MainLoop::TimerId poll = loop.addRepeatingTimer(0.01, [&] {
    if (state.pendingRefreshes() == 0) loop.quit();
  });
  (void)loop.runFor(timeoutSeconds);
  loop.cancelTimer(poll);
  return state.pendingRefreshes() == 0;
}

// The write end of the self-pipe the signal handler writes to.
std::atomic<int> gSignalPipe{-1};

extern "C" void onTerminationSignal(int) {
  const int fd = gSignalPipe.load();
  if (fd >= 0) {
    const char byte = 1;
    ssize_t ignored = ::write(fd, &byte, 1);
    (void)ignored;
  }
}

// SIGINT and SIGTERM end the loop: the handler writes to a pipe, a watcher
// thread reads it and asks the loop to quit.
class TerminationWatch {
 public:
  explicit TerminationWatch(PlainMainLoop& loop) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    readFd_ = fds[0];
    writeFd_ = fds[1];
    gSignalPipe.store(writeFd_);
    struct sigaction sa {};
    sa.sa_handler = onTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, &oldInt_);
    ::sigaction(SIGTERM, &sa, &oldTerm_);
    // Only the watcher takes the signals: every thread started from here on
    // inherits the blocked mask, so no worker is interrupted mid-call.
    sigset_t both;
    sigemptyset(&both);
    sigaddset(&both, SIGINT);
    sigaddset(&both, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &both, &oldMask_);
    watcher_ = std::thread([this, &loop, both] {
      ::pthread_sigmask(SIG_UNBLOCK, &both, nullptr);
      for (;;) {
        pollfd p{readFd_, POLLIN, 0};
        if (::poll(&p, 1, -1) < 0) continue;
        char buf[16];
        const ssize_t n = ::read(readFd_, buf, sizeof buf);
        if (n <= 0) continue;
        if (stopping_.load()) return;
        signalled_ = true;
        loop.quit();
      }
    });
  }
  ~TerminationWatch() {
    if (readFd_ < 0) return;
    stopping_ = true;
    const char byte = 0;
    ssize_t ignored = ::write(writeFd_, &byte, 1);
    (void)ignored;
    if (watcher_.joinable()) watcher_.join();
    ::sigaction(SIGINT, &oldInt_, nullptr);
    ::sigaction(SIGTERM, &oldTerm_, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    gSignalPipe.store(-1);
    ::close(readFd_);
    ::close(writeFd_);
  }
  [[nodiscard]] bool signalled() const { return signalled_.load(); }

 private:
  int readFd_ = -1;
  int writeFd_ = -1;
  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
  sigset_t oldMask_{};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> signalled_{false};
  std::thread watcher_;
};

bool colourWanted() {
  const char* noColor = std::getenv("NO_COLOR");
  if (noColor && *noColor) return false;
  const char* term = std::getenv("TERM");
  if (term && std::string_view(term) == "dumb") return false;
  return ::isatty(STDOUT_FILENO) == 1;
}

// Columns of the terminal on standard output, else $COLUMNS; 0 when neither says.
size_t terminalWidth() {
  winsize ws{};
  if (::isatty(STDOUT_FILENO) == 1 && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  const char* columns = std::getenv("COLUMNS");
  if (columns && *columns) {
    char* end = nullptr;
    const long n = std::strtol(columns, &end, 10);
    if (*end == '\0' && n > 0 && n < 10'000) return static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

std::shared_ptr<AppState> reportState(const CommandLineOptions& options, PlainMainLoop& loop, bool follow) {
  AppStateOptions o;
  o.mainLoop = &loop;
  o.arguments = options.arguments;
  o.startTimers = false;
  // A one-shot report reads the record; it starts no live source and saves nothing.
  o.makeProvider = [](Provider, LiveSourceContext&) { return std::unique_ptr<UsageProvider>(); };
  o.writeSettings = [](const AppSettings&) {};
  attachLiveStages(o);
  o.startTimers = false;
  o.watchSettingsFile = follow;
  auto state = AppState::create(std::move(o));
  (void)settle(loop, *state, 10);
  return state;
}

int runStatus(const CommandLineOptions& options, std::ostream& out) {
  PlainMainLoop loop;
  auto state = reportState(options, loop, false);
  if (options.json)
    out << StatusReport::json(*state).dump(2) << "\n";
  else
    out << StatusReport::text(*state, colourWanted(), terminalWidth());
  out.flush();
  return 0;
}

int runHeadless(const CommandLineOptions& options, std::ostream& out) {
  PlainMainLoop loop;
  TerminationWatch watch(loop);
  HeadlessNotificationSink notifications;
  HeadlessDesktopServices desktop;
  AppStateOptions o;
  o.mainLoop = &loop;
  o.arguments = options.arguments;
  o.notificationSink = &notifications;
  o.desktopServices = &desktop;
  attachLiveStages(o);
  auto state = AppState::create(std::move(o));
  AppLogger::shared().info(std::string("Headless run started") + (state->settings().demoMode ? " (demo data)" : ""));
  out << "Quotadial is running without a display" << (state->settings().demoMode ? " on demo data" : "")
      << ". Stop it with Ctrl+C or SIGTERM.\n";
  out.flush();
  loop.run();
  state->flushSettingsSave();
  AppLogger::shared().info("Headless run stopped");
  state.reset();
  AppLogger::shared().flush();
  return 0;
}

}  // namespace qd::CommandLine
