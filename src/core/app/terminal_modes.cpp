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
#include "app/collector_role.h"
#include "app/command_line.h"
#include "app/headless_services.h"
#include "app/plain_main_loop.h"
#include "app/status_report.h"
#include "storage/local_file_store.h"
#include "app/terminal_modes.h"
#include "utilities/app_logger.h"
#include "utilities/termination_signals.h"

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
  // Beside a running collector, its health is the one to report.
  if (auto collector = CollectorLock::current(state->supportDirectory())) state->setViewerOf(std::move(collector));
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
  TerminationSignals terminationSignals([&loop](int) { loop.quit(); });
  // One collector per user: a second one would start another app-server and store every reading twice.
  const std::filesystem::path supportDirectory = LocalFileStore::baseDirectory();
  CollectorLock::Outcome collector = CollectorLock::acquire(supportDirectory, "headless");
  if (collector.other) {
    const std::string line = "Quotadial is already collecting in " + collector.other->description() +
                             "; not starting another collector.";
    AppLogger::shared().info(line);
    out << line << "\n";
    out.flush();
    return 0;
  }
  HeadlessNotificationSink notifications;
  HeadlessDesktopServices desktop;
  AppStateOptions o;
  o.mainLoop = &loop;
  o.arguments = options.arguments;
  o.notificationSink = &notifications;
  o.desktopServices = &desktop;
  attachLiveStages(o);
  auto state = AppState::create(std::move(o));
  CollectorRole role(state, supportDirectory, "headless", std::move(collector.lock));
  AppLogger::shared().info(std::string("Headless run started") + (state->settings().demoMode ? " (demo data)" : ""));
  out << "Quotadial is running without a display" << (state->settings().demoMode ? " on demo data" : "")
      << ". Stop it with Ctrl+C or SIGTERM.\n";
  out.flush();
  loop.run();
  // In order: the pending settings save, then the providers and their children
  // with the state, before the loop they post to goes.
  state->flushSettingsSave();
  role.release();
  state.reset();
  AppLogger::shared().info("Headless run stopped");
  AppLogger::shared().flush();
  return 0;
}

}  // namespace qd::CommandLine
