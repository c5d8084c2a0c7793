#pragma once
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusVariant>
#include <QObject>
#include <QPointer>
#include <QVariantMap>

class QAction;
class QMenu;

namespace qd {

// The wire records of the menu protocol tray hosts read (com.canonical.dbusmenu).
struct DBusMenuLayout {  // (ia{sv}av): the children are variants holding layouts
  int id = 0;
  QVariantMap properties;
  QVariantList children;
};
struct DBusMenuItem {  // (ia{sv})
  int id = 0;
  QVariantMap properties;
};
struct DBusMenuItemKeys {  // (ias)
  int id = 0;
  QStringList properties;
};
struct DBusMenuEvent {  // (isvu)
  int id = 0;
  QString eventId;
  QDBusVariant data;
  uint timestamp = 0;
};
using DBusMenuItemList = QList<DBusMenuItem>;
using DBusMenuItemKeysList = QList<DBusMenuItemKeys>;
using DBusMenuEventList = QList<DBusMenuEvent>;

QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuLayout& v);
const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuLayout& v);
QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuItem& v);
const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuItem& v);
QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuItemKeys& v);
const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuItemKeys& v);
QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuEvent& v);
const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuEvent& v);

}  // namespace qd

Q_DECLARE_METATYPE(qd::DBusMenuLayout)
Q_DECLARE_METATYPE(qd::DBusMenuItem)
Q_DECLARE_METATYPE(qd::DBusMenuItemKeys)
Q_DECLARE_METATYPE(qd::DBusMenuEvent)

namespace qd {

// Publishes the actions of a flat QMenu on the bus so that tray hosts which
// draw the item's menu themselves (rather than asking the program to pop one
// up) show Open, Refresh, Settings and Quit. Item ids are the action's
// position + 1; 0 is the root. A click runs the action on the next turn of the
// event loop, after the host's call has been answered.
//
// Thread-safety: main thread only.
class DBusMenuExporter : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
  Q_PROPERTY(uint Version READ version)
  Q_PROPERTY(QString TextDirection READ textDirection)
  Q_PROPERTY(QString Status READ status)
  Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

 public:
  static constexpr const char* kPath = "/MenuBar";

  DBusMenuExporter(QMenu* menu, QDBusConnection bus, QObject* parent = nullptr);
  ~DBusMenuExporter() override;

  // Registers the object at kPath; false when the bus refused it.
  bool exportMenu();

  [[nodiscard]] uint version() const { return 3; }
  [[nodiscard]] QString textDirection() const;
  [[nodiscard]] QString status() const { return QStringLiteral("normal"); }
  [[nodiscard]] QStringList iconThemePath() const { return {}; }

 public slots:
  uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames, qd::DBusMenuLayout& layout);
  QList<qd::DBusMenuItem> GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames);
  QDBusVariant GetProperty(int id, const QString& name);
  void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp);
  QList<int> EventGroup(const QList<qd::DBusMenuEvent>& events);
  bool AboutToShow(int id);
  QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

 signals:
  void ItemsPropertiesUpdated(const QList<qd::DBusMenuItem>& updated, const QList<qd::DBusMenuItemKeys>& removed);
  void LayoutUpdated(uint revision, int parent);
  void ItemActivationRequested(int id, uint timestamp);

 private:
  [[nodiscard]] QAction* action(int id) const;
  [[nodiscard]] QVariantMap properties(int id, const QStringList& names) const;
  bool click(int id);
  void menuChanged();

  QPointer<QMenu> menu_;
  QDBusConnection bus_;
  bool exported_ = false;
  uint revision_ = 1;
  bool updatePending_ = false;
};

}  // namespace qd
