#include "desktop/dbus_notification_sink.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>

namespace qd {

namespace {
constexpr int kCallTimeoutMs = 5000;
}

DBusNotificationSink::DBusNotificationSink(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {}

void DBusNotificationSink::requestAuthorization(std::function<void(bool granted)> answer) {
  if (!bus_.isConnected()) {
    if (answer) answer(false);
    return;
  }
  auto call = QDBusMessage::createMethodCall(QString::fromLatin1(service), QString::fromLatin1(path),
                                             QString::fromLatin1(service), QStringLiteral("GetServerInformation"));
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [answer = std::move(answer)](QDBusPendingCallWatcher* w) {
    w->deleteLater();
    if (answer) answer(!w->isError());
  });
}

void DBusNotificationSink::deliver(const std::string& title, const std::string& body, const std::string& identifier) {
  if (!bus_.isConnected()) return;
  const QString key = QString::fromStdString(identifier);
  auto call = QDBusMessage::createMethodCall(QString::fromLatin1(service), QString::fromLatin1(path),
                                             QString::fromLatin1(service), QStringLiteral("Notify"));
  QVariantMap hints;
  hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("quotadial"));
  hints.insert(QStringLiteral("urgency"), QVariant::fromValue(static_cast<uchar>(1)));
  call << QStringLiteral("Quotadial") << shownIds_.value(key, 0u) << QStringLiteral("quotadial")
       << QString::fromStdString(title) << QString::fromStdString(body) << QStringList() << hints
       << static_cast<int>(-1);
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, key](QDBusPendingCallWatcher* w) {
    w->deleteLater();
    QDBusPendingReply<uint> reply = *w;
    if (!reply.isError() && !key.isEmpty()) shownIds_.insert(key, reply.value());
  });
}

}  // namespace qd
