#pragma once
#include <memory>
#include <string>

#include "utilities/ports/desktop_services.h"
#include "utilities/ports/notification_sink.h"

namespace qd {

class SerialQueue;

// Alerts of a run without the desktop layer: each one is written to the log
// and, when a session bus and `notify-send` are there, also shown on the desktop.
//
// Thread-safety: `deliver` on the main thread; the desktop hand-off runs on a
// queue of its own so a slow bus never holds up the main thread.
class HeadlessNotificationSink final : public NotificationSink {
 public:
  HeadlessNotificationSink();
  ~HeadlessNotificationSink() override;

  void requestAuthorization(std::function<void(bool granted)> answer) override;
  void deliver(const std::string& title, const std::string& body, const std::string& identifier) override;

 private:
  std::string notifySend_;  // empty: log only
  std::unique_ptr<SerialQueue> queue_;
};

// Desktop services of a run without a desktop: nothing can be shown, copied or
// registered; each request reports failure.
class HeadlessDesktopServices final : public DesktopServices {
 public:
  bool revealFile(const std::filesystem::path&) override { return false; }
  bool copyToClipboard(const std::string&) override { return false; }
  [[nodiscard]] bool loginItemEnabled() const override { return false; }
  bool setLoginItemEnabled(bool) override { return false; }
};

}  // namespace qd
