#include "app/status_bar_mode.h"

#include <unistd.h>

#include <ostream>

#include "app/app_state.h"
#include "app/plain_main_loop.h"
#include "app/status_bar_format.h"
#include "app/status_report.h"
#include "app/terminal_modes.h"
#include "utilities/file_watch.h"

namespace qd::StatusBarMode {

namespace {

// Countdowns and "as of 5m ago" move by the minute.
constexpr double kMinute = 60;
constexpr double kHistoryRescan = 300;

// Refreshes one at a time: a change that arrives while one runs asks for one
// more afterwards, so a burst of appends costs two refreshes, not one each.
class Refresher {
 public:
  Refresher(AppState& state, std::function<void()> afterEach) : state_(state), afterEach_(std::move(afterEach)) {}

  void request() {
    if (running_) {
      again_ = true;
      return;
    }
    running_ = true;
    state_.refresh();
    state_.whenRefreshed([this] {
      running_ = false;
      afterEach_();
      if (std::exchange(again_, false)) request();
    });
  }

 private:
  AppState& state_;
  std::function<void()> afterEach_;
  bool running_ = false;
  bool again_ = false;
};

}  // namespace

int run(const CommandLineOptions& options, std::ostream& out, std::ostream& err) {
  const std::string name = options.format.value_or("plain");
  const auto kind = StatusBarFormat::kindNamed(name);
  if (!kind) {
    err << "quotadial: unknown format '" << name << "'; use waybar, i3blocks or plain\n";
    return 2;
  }

  PlainMainLoop loop;
  auto state = CommandLine::reportState(options, loop, options.follow);
  auto render = [&] { return StatusBarFormat::render(*kind, StatusReport::json(*state)); };

  std::string last;
  auto print = [&] {
    std::string next = render();
    if (next == last) return;
    last = std::move(next);
    out << last << '\n' << std::flush;
    // The reader went away between two lines.
    if (!out) loop.quit();
  };
  if (!options.follow) {
    print();
    return out ? 0 : 1;
  }

  Refresher refresher(*state, print);
  // A settings change on disk announces the new settings, then refreshes; print
  // once the refresh is in, not the half-changed state in between.
  auto subscription = state->subscribe([&](unsigned) {
    loop.post([&] { state->whenRefreshed(print); });
  });
  const MainLoop::TimerId minute = loop.addRepeatingTimer(kMinute, [&] { refresher.request(); });
  // The transcript figures, as often as the running program rescans them (a line
  // kept for days would otherwise project long windows from its first day's figures).
  const MainLoop::TimerId history = loop.addRepeatingTimer(kHistoryRescan, [&] { state->scanUsageHistory(); });
  // The bridge and a running copy append to the store; a prune renames over it.
  FileWatch storeWatch(state->supportDirectory(), {"snapshots.ndjson"},
                       [&](const std::string&) { loop.post([&] { refresher.request(); }); });
  OutputClosedWatch outputWatch(STDOUT_FILENO, [&] { loop.quit(); });

  print();
  if (!out) return 0;
  // Whatever was appended before the watch was in place.
  refresher.request();
  loop.run();
  loop.cancelTimer(minute);
  loop.cancelTimer(history);
  return 0;
}

}  // namespace qd::StatusBarMode
