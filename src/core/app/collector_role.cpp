#include "app/collector_role.h"

#include "utilities/app_logger.h"

namespace qd {

CollectorRole::CollectorRole(const std::shared_ptr<AppState>& state, std::filesystem::path supportDirectory,
                             std::string mode, std::unique_ptr<CollectorLock> lock)
    : state_(state),
      loop_(&state->mainLoop()),
      supportDirectory_(std::move(supportDirectory)),
      mode_(std::move(mode)),
      lock_(std::move(lock)) {
  if (state->viewerOf()) {
    timer_ = loop_->addRepeatingTimer(kCheckSeconds, [this] { check(); });
  } else {
    watch();
  }
}

CollectorRole::~CollectorRole() { release(); }

void CollectorRole::release() {
  if (timer_) loop_->cancelTimer(*timer_);
  timer_.reset();
  subscription_.reset();
}

void CollectorRole::watch() {
  auto state = state_.lock();
  if (!state || !lock_) return;
  lock_->publish(state->providerHealth());
  subscription_ = state->subscribe([this](unsigned changes) {
    auto s = state_.lock();
    if (s && lock_ && (changes & StateChange::providerHealth)) lock_->publish(s->providerHealth());
  });
}

void CollectorRole::check() {
  auto state = state_.lock();
  if (!state) return;
  CollectorLock::Outcome outcome = CollectorLock::acquire(supportDirectory_, mode_);
  if (outcome.other) {
    state->setViewerOf(std::move(outcome.other));
    return;
  }
  // The collector has gone: this copy takes over.
  if (timer_) loop_->cancelTimer(*timer_);
  timer_.reset();
  lock_ = std::move(outcome.lock);
  AppLogger::shared().info("No other copy collects now; collecting here");
  state->setViewerOf(std::nullopt);
  watch();
}

}  // namespace qd
