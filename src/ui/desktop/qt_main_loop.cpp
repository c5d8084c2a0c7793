#include "desktop/qt_main_loop.h"

#include <QCoreApplication>
#include <QThread>
#include <cmath>

namespace qd {

namespace {
int toMilliseconds(double seconds) {
  if (!std::isfinite(seconds) || seconds <= 0) return 0;
  const double ms = seconds * 1000.0;
  return ms > 2'000'000'000.0 ? 2'000'000'000 : static_cast<int>(std::lround(ms));
}
}  // namespace

QtMainLoop::QtMainLoop() : context_(new QObject) {}

QtMainLoop::~QtMainLoop() {
  for (auto& [id, timer] : timers_) timer->stop();
  delete context_;
}

void QtMainLoop::post(Task task) {
  QMetaObject::invokeMethod(context_, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

void QtMainLoop::postAfter(double seconds, Task task) {
  const int ms = toMilliseconds(seconds);
  // The single-shot timer must be started on the context's thread.
  QMetaObject::invokeMethod(
      context_,
      [this, ms, task = std::move(task)]() mutable { QTimer::singleShot(ms, context_, std::move(task)); },
      Qt::QueuedConnection);
}

MainLoop::TimerId QtMainLoop::addRepeatingTimer(double intervalSeconds, Task task) {
  const TimerId id = nextTimerId_++;
  auto* timer = new QTimer(context_);
  timer->setInterval(std::max(1, toMilliseconds(intervalSeconds)));
  timer->setTimerType(Qt::CoarseTimer);
  QObject::connect(timer, &QTimer::timeout, context_, [task = std::move(task)] { task(); });
  timer->start();
  timers_.emplace(id, timer);
  return id;
}

void QtMainLoop::cancelTimer(TimerId id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second->stop();
  it->second->deleteLater();
  timers_.erase(it);
}

bool QtMainLoop::isMainThread() const { return QThread::currentThread() == context_->thread(); }

}  // namespace qd
