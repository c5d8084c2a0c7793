#pragma once
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <unordered_map>

#include "utilities/ports/main_loop.h"

namespace qd {

// The main loop on the Qt event loop of the thread that constructs it (the GUI
// thread). Tasks posted from other threads are queued to that thread.
//
// Thread-safety: `post`, `postAfter` and `isMainThread` from any thread;
// `addRepeatingTimer` and `cancelTimer` on the main thread only.
class QtMainLoop final : public MainLoop {
 public:
  QtMainLoop();
  ~QtMainLoop() override;
  QtMainLoop(const QtMainLoop&) = delete;
  QtMainLoop& operator=(const QtMainLoop&) = delete;

  void post(Task task) override;
  void postAfter(double seconds, Task task) override;
  [[nodiscard]] TimerId addRepeatingTimer(double intervalSeconds, Task task) override;
  void cancelTimer(TimerId id) override;
  [[nodiscard]] bool isMainThread() const override;

 private:
  // Owns the timers and receives the queued tasks; deleted with the loop so
  // nothing queued runs against a destroyed loop.
  QObject* context_;
  std::unordered_map<TimerId, QTimer*> timers_;
  TimerId nextTimerId_ = 1;
};

}  // namespace qd
