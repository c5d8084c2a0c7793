// The cost of the refresh cycle with 100,000 (or the given number of) stored
// snapshots, with the live stages attached (usage history, Claude estimator,
// effort calibration, calibrated projection) and a live Claude provider reading
// the store: a refresh in which nothing changed (it must wake no observer), the
// provider's 15-second tick, and a refresh after one new reading per series.
//
//   build/default/bench/refresh_cycle_bench [snapshots] [iterations]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/history_stages.h"
#include "app/manual_main_loop.h"
#include "providers/claude/claude_provider.h"
#include "storage/snapshot_store.h"
#include "storage/json_lines.h"
#include "utilities/app_logger.h"

using namespace qd;

namespace {

// Four series (two providers, the 5-hour and the 7-day window) sampled once a
// minute each, with their windows resetting on schedule.
std::vector<UsageSnapshot> readingsAt(Timestamp at) {
  std::vector<UsageSnapshot> out;
  const Provider providers[] = {Provider::codex, Provider::claude};
  for (Provider p : providers) {
    for (WindowKind w : {WindowKind::fiveHour, WindowKind::sevenDay}) {
      {
        const double span = w == WindowKind::fiveHour ? 18'000 : 604'800;
        const double sinceOpen = std::fmod(toUnixSeconds(at), span);
        UsageSnapshot s;
        s.provider = p;
        s.windowKind = w;
        s.timestamp = at;
        s.usedPercent = std::floor(sinceOpen / span * 900) / 10;
        s.remainingPercent = 100 - s.usedPercent;
        s.resetAt = addSeconds(at, span - sinceOpen);
        s.windowDurationMins = span / 60;
        s.modelId = p == Provider::codex ? "gpt-5.5" : "claude-opus-4-8";
        s.effortLevel = "medium";
        s.source = p == Provider::codex ? SnapshotSource::codexAppServer : SnapshotSource::claudeOAuth;
        s.sourceConfidence = SourceConfidence::high;
        out.push_back(std::move(s));
      }
    }
  }
  return out;
}

void writeStore(const std::filesystem::path& file, int count, Timestamp now) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  const int perSeries = count / 4;
  for (int i = 0; i < perSeries; ++i)
    for (const auto& s : readingsAt(addSeconds(now, -(perSeries - 1 - i) * 60.0)))
      if (auto line = JSONLines::encodeLine(s)) out << *line << '\n';
}

double millis(std::chrono::steady_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 100'000;
  const int iterations = argc > 2 ? std::atoi(argv[2]) : 200;

  std::string tmpl = (std::filesystem::temp_directory_path() / "qd-refresh-bench-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) return 1;
  const std::filesystem::path dir = tmpl;
  AppLogger::shared().setFileURL(dir / "logs" / "app.log");

  ManualClock clock(fromUnixSeconds(1'800'000'000));
  ManualMainLoop loop(clock);
  writeStore(dir / "snapshots.ndjson", count, clock.now());

  AppStateOptions options;
  options.mainLoop = &loop;
  options.clock = &clock;
  options.supportDirectory = dir;
  options.startTimers = false;
  // The live Claude provider without its network client; no Codex child.
  ClaudeProvider* claude = nullptr;
  options.makeProvider = [&claude](Provider p, LiveSourceContext& c) -> std::unique_ptr<UsageProvider> {
    if (p != Provider::claude) return nullptr;
    auto made = std::make_unique<ClaudeProvider>(c.store, nullptr, c.mainLoop, c.clock,
                                                 [] { return ClaudeBridgeStatus{ClaudeBridgeStatus::State::installed, {}, std::nullopt}; });
    claude = made.get();
    return made;
  };
  options.writeSettings = [](const AppSettings&) {};
  // The history stages over an empty transcript tree in the temporary folder.
  ::setenv("HOME", dir.c_str(), 1);
  ::setenv("CLAUDE_CONFIG_DIR", (dir / "claude").c_str(), 1);
  ::setenv("CODEX_HOME", (dir / "codex").c_str(), 1);
  (void)attachHistoryStages(options, {});

  const auto loadStart = std::chrono::steady_clock::now();
  auto state = AppState::create(std::move(options));
  loop.runUntil([&] { return state->pendingRefreshes() == 0; }, 120);
  const double firstMs = millis(std::chrono::steady_clock::now() - loadStart);

  int wakes = 0;
  auto subscription = state->subscribe([&](unsigned) { ++wakes; });
  const std::vector<Provider> providers = state->sortedEnabledProviders();
  const AppSettings settings = state->settings();

  // The computation alone, as the compute queue runs it.
  std::vector<double> compute;
  for (int i = 0; i < iterations; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    ForecastBundle bundle = state->computeBundle(settings, providers, clock.now());
    compute.push_back(millis(std::chrono::steady_clock::now() - t0));
    if (bundle.snapshots->size() != state->workingSnapshots().size()) return 2;
  }
  // The whole cycle: capture, compute on the queue, apply on the main loop.
  std::vector<double> cycle;
  for (int i = 0; i < iterations; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    state->refresh();
    loop.runUntil([&] { return state->pendingRefreshes() == 0; }, 10);
    cycle.push_back(millis(std::chrono::steady_clock::now() - t0));
  }

  // The provider's tick (no network client: it only reads the store and signals).
  std::vector<double> ticks;
  for (int i = 0; claude && i < iterations; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    claude->tick();
    (void)claude->health();
    ticks.push_back(millis(std::chrono::steady_clock::now() - t0));
  }
  const int wakesUnchanged = wakes;
  // One new reading per series (as a minute of live data brings), then the cycle.
  std::vector<double> grown;
  for (int i = 0; i < std::min(iterations, 50); ++i) {
    clock.advance(60);
    state->snapshotStore().append(readingsAt(clock.now()));
    const auto t0 = std::chrono::steady_clock::now();
    state->refresh();
    loop.runUntil([&] { return state->pendingRefreshes() == 0; }, 10);
    grown.push_back(millis(std::chrono::steady_clock::now() - t0));
  }

  std::sort(compute.begin(), compute.end());
  std::sort(cycle.begin(), cycle.end());
  std::sort(ticks.begin(), ticks.end());
  std::sort(grown.begin(), grown.end());
  auto pct = [](const std::vector<double>& v, double q) { return v[static_cast<size_t>(q * (v.size() - 1))]; };
  std::printf("stored snapshots:          %d (working set %zu)\n", count, state->workingSnapshots().size());
  std::printf("first refresh (decode):    %.1f ms\n", firstMs);
  std::printf("unchanged compute:         median %.3f ms, p95 %.3f ms, max %.3f ms (budget 2 ms)\n",
              pct(compute, 0.5), pct(compute, 0.95), compute.back());
  std::printf("unchanged full cycle:      median %.3f ms, p95 %.3f ms\n", pct(cycle, 0.5), pct(cycle, 0.95));
  if (!ticks.empty())
    std::printf("Claude provider tick:      median %.3f ms, p95 %.3f ms\n", pct(ticks, 0.5), pct(ticks, 0.95));
  std::printf("cycle after new readings:  median %.3f ms, p95 %.3f ms\n", pct(grown, 0.5), pct(grown, 0.95));
  std::printf("observer wakes:            %d over %d unchanged refreshes (must be 0)\n", wakesUnchanged, iterations);

  subscription.reset();
  state.reset();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return wakesUnchanged == 0 && pct(compute, 0.5) <= 2.0 ? 0 : 1;
}
