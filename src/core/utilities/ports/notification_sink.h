#pragma once
#include <functional>
#include <string>

namespace qd {

// Where user notifications go: the desktop's notification service, or the log
// when there is none. The core decides when to notify; the sink only shows.
//
// Thread-safety: called on the main thread; `requestAuthorization` may answer on
// any thread.
class NotificationSink {
 public:
  virtual ~NotificationSink() = default;

  // Asks for permission to show alerts; `answer` receives the outcome, on any thread.
  virtual void requestAuthorization(std::function<void(bool granted)> answer) = 0;
  // Shows one notification at once, without sound or badge. Never blocks on the outcome.
  virtual void deliver(const std::string& title, const std::string& body, const std::string& identifier) = 0;
};

}  // namespace qd
