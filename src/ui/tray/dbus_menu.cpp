#include "tray/dbus_menu.h"

#include <QAction>
#include <QDBusMetaType>
#include <QEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QTimer>
#include <functional>

namespace qd {

QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuLayout& v) {
  out.beginStructure();
  out << v.id << v.properties;
  out.beginArray(qMetaTypeId<QDBusVariant>());
  for (const QVariant& child : v.children) out << QDBusVariant(child);
  out.endArray();
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuLayout& v) {
  in.beginStructure();
  in >> v.id >> v.properties;
  in.beginArray();
  v.children.clear();
  while (!in.atEnd()) {
    QDBusVariant child;
    in >> child;
    v.children << child.variant();
  }
  in.endArray();
  in.endStructure();
  return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuItem& v) {
  out.beginStructure();
  out << v.id << v.properties;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuItem& v) {
  in.beginStructure();
  in >> v.id >> v.properties;
  in.endStructure();
  return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuItemKeys& v) {
  out.beginStructure();
  out << v.id << v.properties;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuItemKeys& v) {
  in.beginStructure();
  in >> v.id >> v.properties;
  in.endStructure();
  return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuEvent& v) {
  out.beginStructure();
  out << v.id << v.eventId << v.data << v.timestamp;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuEvent& v) {
  in.beginStructure();
  in >> v.id >> v.eventId >> v.data >> v.timestamp;
  in.endStructure();
  return in;
}

namespace {
void registerTypes() {
  static const bool once = [] {
    qDBusRegisterMetaType<DBusMenuLayout>();
    qDBusRegisterMetaType<DBusMenuItem>();
    qDBusRegisterMetaType<DBusMenuItemKeys>();
    qDBusRegisterMetaType<DBusMenuEvent>();
    qDBusRegisterMetaType<DBusMenuItemList>();
    qDBusRegisterMetaType<DBusMenuItemKeysList>();
    qDBusRegisterMetaType<DBusMenuEventList>();
    return true;
  }();
  (void)once;
}

// Qt marks mnemonics with '&', the menu protocol with '_'.
QString protocolLabel(const QString& text) {
  QString out;
  out.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c == QLatin1Char('_')) {
      out += QStringLiteral("__");
    } else if (c == QLatin1Char('&') && i + 1 < text.size()) {
      out += text[i + 1] == QLatin1Char('&') ? QStringLiteral("&") : QStringLiteral("_") + text[i + 1];
      ++i;
    } else {
      out += c;
    }
  }
  return out;
}

// Watches the menu for added, removed or changed actions.
class MenuWatcher : public QObject {
 public:
  MenuWatcher(QObject* parent, std::function<void()> changed) : QObject(parent), changed_(std::move(changed)) {}
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() == QEvent::ActionAdded || e->type() == QEvent::ActionRemoved || e->type() == QEvent::ActionChanged)
      changed_();
    return QObject::eventFilter(watched, e);
  }

 private:
  std::function<void()> changed_;
};
}  // namespace

DBusMenuExporter::DBusMenuExporter(QMenu* menu, QDBusConnection bus, QObject* parent)
    : QObject(parent), menu_(menu), bus_(std::move(bus)) {
  registerTypes();
  if (menu_) menu_->installEventFilter(new MenuWatcher(this, [this] { menuChanged(); }));
}

DBusMenuExporter::~DBusMenuExporter() {
  if (exported_ && bus_.isConnected()) bus_.unregisterObject(QString::fromLatin1(kPath));
}

bool DBusMenuExporter::exportMenu() {
  if (exported_) return true;
  exported_ = bus_.registerObject(QString::fromLatin1(kPath), this,
                                  QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                      QDBusConnection::ExportAllProperties);
  return exported_;
}

QString DBusMenuExporter::textDirection() const {
  return QGuiApplication::layoutDirection() == Qt::RightToLeft ? QStringLiteral("rtl") : QStringLiteral("ltr");
}

QAction* DBusMenuExporter::action(int id) const {
  if (!menu_ || id < 1) return nullptr;
  const auto actions = menu_->actions();
  return id <= actions.size() ? actions[id - 1] : nullptr;
}

QVariantMap DBusMenuExporter::properties(int id, const QStringList& names) const {
  QVariantMap all;
  if (id == 0) {
    all.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
  } else if (QAction* a = action(id)) {
    if (a->isSeparator()) {
      all.insert(QStringLiteral("type"), QStringLiteral("separator"));
    } else {
      all.insert(QStringLiteral("label"), protocolLabel(a->text()));
      if (a->isCheckable()) {
        all.insert(QStringLiteral("toggle-type"), QStringLiteral("checkmark"));
        all.insert(QStringLiteral("toggle-state"), a->isChecked() ? 1 : 0);
      }
    }
    all.insert(QStringLiteral("enabled"), a->isEnabled());
    all.insert(QStringLiteral("visible"), a->isVisible());
  }
  if (names.isEmpty()) return all;
  QVariantMap wanted;
  for (const QString& n : names)
    if (all.contains(n)) wanted.insert(n, all.value(n));
  return wanted;
}

uint DBusMenuExporter::GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                 DBusMenuLayout& layout) {
  layout = {};
  // The menu is flat: only the root has children. An unknown parent gets an empty layout.
  if (parentId != 0 && !action(parentId)) return revision_;
  layout.id = parentId;
  layout.properties = properties(parentId, propertyNames);
  if (parentId == 0 && recursionDepth != 0 && menu_) {
    const int count = static_cast<int>(menu_->actions().size());
    for (int id = 1; id <= count; ++id)
      layout.children << QVariant::fromValue(DBusMenuLayout{id, properties(id, propertyNames), {}});
  }
  return revision_;
}

DBusMenuItemList DBusMenuExporter::GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames) {
  DBusMenuItemList out;
  for (int id : ids)
    if (id == 0 || action(id)) out << DBusMenuItem{id, properties(id, propertyNames)};
  return out;
}

QDBusVariant DBusMenuExporter::GetProperty(int id, const QString& name) {
  return QDBusVariant(properties(id, {}).value(name));
}

bool DBusMenuExporter::click(int id) {
  QAction* a = action(id);
  if (!a) return false;
  if (a->isSeparator() || !a->isEnabled()) return true;
  QPointer<QAction> target(a);
  QTimer::singleShot(0, this, [target] {
    if (target) target->trigger();
  });
  return true;
}

void DBusMenuExporter::Event(int id, const QString& eventId, const QDBusVariant&, uint) {
  if (eventId == QLatin1String("clicked")) click(id);
}

QList<int> DBusMenuExporter::EventGroup(const DBusMenuEventList& events) {
  QList<int> errors;
  for (const auto& e : events) {
    if (e.id != 0 && !action(e.id)) {
      errors << e.id;
      continue;
    }
    if (e.eventId == QLatin1String("clicked")) click(e.id);
  }
  return errors;
}

bool DBusMenuExporter::AboutToShow(int) { return false; }

QList<int> DBusMenuExporter::AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
  idErrors.clear();
  for (int id : ids)
    if (id != 0 && !action(id)) idErrors << id;
  return {};
}

void DBusMenuExporter::menuChanged() {
  if (updatePending_) return;
  updatePending_ = true;
  QTimer::singleShot(0, this, [this] {
    updatePending_ = false;
    ++revision_;
    emit LayoutUpdated(revision_, 0);
  });
}

}  // namespace qd
