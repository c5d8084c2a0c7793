#include "app/history_stages.h"

#include <iterator>

#include "app/app_state.h"
#include "forecasting/calibrated_projector.h"
#include "forecasting/claude_effort_calibration.h"
#include "forecasting/usage_history.h"
#include "providers/claude/claude_estimator.h"
#include "storage/local_file_store.h"
#include "utilities/app_logger.h"

namespace qd {

std::shared_ptr<UsageHistory> attachHistoryStages(AppStateOptions& options, ClaudeMetaReader readMeta) {
  UsageHistory::Options o = UsageHistory::Options::defaults();
  if (options.supportDirectory) o.cacheFile = (*options.supportDirectory / "usage-history-cache.json").string();
  o.mainLoop = options.mainLoop;
  o.clock = options.clock;
  // A run without timers is a one-shot report: it scans before its first
  // refresh and waits for its token counts, so that it prints them; it takes up
  // what the running program or an earlier report found within their freshness.
  const bool oneShot = !options.startTimers;
  o.oneShot = oneShot;
  o.reuseRecentFigures = oneShot;
  auto history = std::make_shared<UsageHistory>(std::move(o));
  if (oneShot) history->refreshSync();
  attachHistoryStages(options, history, std::move(readMeta));
  return history;
}

void attachHistoryStages(AppStateOptions& options, std::shared_ptr<UsageHistory> history, ClaudeMetaReader readMeta) {
  options.history = history;
  ClaudeStageContext context;
  context.supportDirectory = options.supportDirectory.value_or(LocalFileStore::baseDirectory());
  // The stages keep the history alive for as long as the state can run them.
  std::shared_ptr<UsageHistory> h = history;
  context.tokensSince = [h](Timestamp since) { return h->rollingClaudeTokensIfKnown(since); };
  context.logInfo = [](std::string_view line) { AppLogger::shared().info(line); };

  LiveStages& stages = options.stages;
  stages.augmentWorkingSet = [context](SnapshotList working, const AppSettings&, Timestamp now) -> SnapshotList {
    auto added = ClaudeEstimator::estimatesToAdd(*working, context, now);
    if (added.empty()) return working;
    auto augmented = std::make_shared<std::vector<UsageSnapshot>>();
    augmented->reserve(working->size() + added.size());
    *augmented = *working;
    std::move(added.begin(), added.end(), std::back_inserter(*augmented));
    return augmented;
  };
  stages.claudeCurrent = [context, h, readMeta](const AppSettings&, Timestamp) {
    std::optional<ClaudeCurrentSettings> meta;
    if (readMeta) meta = readMeta(context.supportDirectory / "claude-meta.json");
    std::optional<std::pair<std::string, Timestamp>> transcript;
    if (auto latest = h->latestClaudeModel()) transcript = std::make_pair(latest->id, latest->at);
    return ClaudeEstimator::mergingCurrentModel(std::move(meta), transcript);
  };
  stages.learn = [context](const std::vector<UsageSnapshot>& working, const AppSettings&) {
    ClaudeEffortCalibration::learn(working, context);
  };
  stages.calibrate = [context, h](Provider p, const UsageSnapshot& latest, const std::vector<UsageSnapshot>& working,
                                  const std::optional<ClaudeCurrentSettings>& current, Timestamp now) {
    const double scale = ClaudeEstimator::claudeEffortScale(p, working, current, context);
    return CalibratedProjector::project(p, latest, *h, scale, now);
  };
}

}  // namespace qd
