#pragma once
#include <QDBusConnection>
#include <QHash>
#include <QObject>

#include "utilities/ports/notification_sink.h"

namespace qd {

// User notifications through org.freedesktop.Notifications. A later alert with
// the same identifier replaces the earlier bubble instead of stacking.
//
// Thread-safety: main thread only (the authorisation answer arrives there too).
class DBusNotificationSink final : public QObject, public NotificationSink {
  Q_OBJECT
 public:
  explicit DBusNotificationSink(QDBusConnection bus, QObject* parent = nullptr);

  // Granted exactly when a notification server answers on the bus.
  void requestAuthorization(std::function<void(bool granted)> answer) override;
  void deliver(const std::string& title, const std::string& body, const std::string& identifier) override;

  static constexpr const char* service = "org.freedesktop.Notifications";
  static constexpr const char* path = "/org/freedesktop/Notifications";

 private:
  QDBusConnection bus_;
  QHash<QString, uint> shownIds_;
};

}  // namespace qd
