#include "app/headless_services.h"

#include <cstdlib>

#include "utilities/app_logger.h"
#include "utilities/serial_queue.h"
#include "utilities/shell.h"

namespace qd {

HeadlessNotificationSink::HeadlessNotificationSink() {
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (bus && *bus) {
    if (auto path = Shell::which("notify-send")) notifySend_ = *path;
  }
  if (!notifySend_.empty()) queue_ = std::make_unique<SerialQueue>("quotadial.notify");
}

HeadlessNotificationSink::~HeadlessNotificationSink() = default;

void HeadlessNotificationSink::requestAuthorization(std::function<void(bool)> answer) {
  if (answer) answer(true);
}

void HeadlessNotificationSink::deliver(const std::string& title, const std::string& body,
                                       const std::string& identifier) {
  AppLogger::shared().info("Alert: " + title + " \u2014 " + body);
  if (!queue_) return;
  queue_->async([exe = notifySend_, title, body] {
    (void)Shell::run(exe, {"--app-name=Quotadial", title, body}, 5.0);
  });
}

}  // namespace qd
