#pragma once
// Fakes of the desktop's bus peers (the tray host's watcher, the notification
// daemon), served on a test's private bus. Test support.
#include <QDBusConnection>
#include <QObject>
#include <QStringList>

namespace qd::testing {

// Stands in for the tray host's org.kde.StatusNotifierWatcher.
class FakeTrayWatcher : public QObject {
  Q_OBJECT
 public:
  QStringList registered;

  // Exports the watcher and takes its name on `bus`.
  bool serve(QDBusConnection& bus) {
    return bus.registerObject("/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher", this,
                              QDBusConnection::ExportAllSlots) &&
           bus.registerService("org.kde.StatusNotifierWatcher");
  }

 public slots:
  void RegisterStatusNotifierItem(const QString& service) { registered << service; }
};

// Stands in for the desktop's notification daemon; records every bubble.
class FakeNotificationServer : public QObject {
  Q_OBJECT
 public:
  struct Shown {
    uint replaces;
    QString summary, body;
  };
  QList<Shown> shown;
  uint nextId = 40;

  bool serve(QDBusConnection& bus) {
    return bus.registerObject("/org/freedesktop/Notifications", "org.freedesktop.Notifications", this,
                              QDBusConnection::ExportAllSlots) &&
           bus.registerService("org.freedesktop.Notifications");
  }

 public slots:
  uint Notify(const QString&, uint replaces, const QString&, const QString& summary, const QString& body,
              const QStringList&, const QVariantMap&, int) {
    shown.append({replaces, summary, body});
    return replaces ? replaces : ++nextId;
  }
  QString GetServerInformation(QString& vendor, QString& version, QString& specVersion) {
    vendor = "test";
    version = "1";
    specVersion = "1.2";
    return "fake";
  }
};

}  // namespace qd::testing
