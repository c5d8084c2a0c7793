#include "desktop/portal_global_shortcuts.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QPointer>

namespace qd {

namespace {
constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
constexpr const char* kSessionInterface = "org.freedesktop.portal.Session";
// Method calls only; the answers to requests come as signals and may wait on the user.
constexpr int kCallTimeoutMs = 10'000;

void registerTypes() {
  static const bool once = [] {
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<PortalShortcutList>();
    return true;
  }();
  (void)once;
}

// Handles come back as object paths from some portals and as strings from others.
QString handleText(const QVariant& v) {
  if (v.canConvert<QDBusObjectPath>() && v.userType() == qMetaTypeId<QDBusObjectPath>())
    return v.value<QDBusObjectPath>().path();
  return v.toString();
}

// An object path as D-Bus defines it; anything else cannot be sent back.
bool isObjectPath(const QString& p) {
  if (p == QLatin1String("/")) return true;
  if (!p.startsWith(QLatin1Char('/')) || p.endsWith(QLatin1Char('/'))) return false;
  QChar previous;
  for (const QChar c : p) {
    const bool ok = c == QLatin1Char('/') || c == QLatin1Char('_') || (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                    (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
    if (!ok || (c == QLatin1Char('/') && previous == QLatin1Char('/'))) return false;
    previous = c;
  }
  return true;
}
}  // namespace

QDBusArgument& operator<<(QDBusArgument& out, const PortalShortcut& shortcut) {
  out.beginStructure();
  out << shortcut.id << shortcut.options;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, PortalShortcut& shortcut) {
  in.beginStructure();
  in >> shortcut.id >> shortcut.options;
  in.endStructure();
  return in;
}

PortalGlobalShortcuts::PortalGlobalShortcuts(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {
  registerTypes();
  // A portal that exits (a desktop restart, an update) takes the session with
  // it; when one is there again, the shortcut is asked for again.
  auto* watcher = new QDBusServiceWatcher(QString::fromLatin1(kService), bus_,
                                          QDBusServiceWatcher::WatchForOwnerChange, this);
  connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
          [this](const QString&, const QString&, const QString& newOwner) {
            if (!wanted_ || newOwner == owner_) return;
            // While probing, the owner appearing is usually the portal being
            // started by the probe itself; the probe's answer settles it.
            if (state_ == State::probing) return;
            if (!owner_.isEmpty()) fail(QStringLiteral("the desktop portal went away"));
            if (!newOwner.isEmpty()) start();
          });
}

PortalGlobalShortcuts::~PortalGlobalShortcuts() { stop(); }

QString PortalGlobalShortcuts::nextToken() {
  return QStringLiteral("quotadial_%1_%2").arg(QCoreApplication::applicationPid()).arg(++tokens_);
}

void PortalGlobalShortcuts::start() {
  wanted_ = true;
  if (state_ != State::idle && state_ != State::failed) return;
  if (!bus_.isConnected()) {
    fail(QStringLiteral("no session bus"));
    return;
  }
  ++generation_;
  state_ = State::probing;
  owner_.clear();
  trigger_.clear();
  auto probe = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                              QStringLiteral("Get"));
  probe << QString::fromLatin1(kInterface) << QStringLiteral("version");
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(probe, kCallTimeoutMs), this);
  const unsigned generation = generation_;
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, generation](QDBusPendingCallWatcher* w) {
    w->deleteLater();
    if (generation != generation_ || state_ != State::probing) return;
    QDBusPendingReply<QDBusVariant> reply = *w;
    if (reply.isError()) {
      fail(QStringLiteral("the desktop portal does not offer global shortcuts (%1)").arg(reply.error().message()));
      return;
    }
    // From here on everything is addressed to, and only accepted from, the
    // connection that answered: no other program on the bus can pose as it, and
    // signals need no name lookup that a quick answer could overtake.
    owner_ = w->reply().service();
    if (owner_.isEmpty()) owner_ = QString::fromLatin1(kService);
    createSession();
  });
}

void PortalGlobalShortcuts::createSession() {
  state_ = State::creatingSession;
  const QString token = nextToken();
  auto call = QDBusMessage::createMethodCall(owner_, kPath, kInterface, QStringLiteral("CreateSession"));
  QVariantMap options{{QStringLiteral("handle_token"), token}, {QStringLiteral("session_handle_token"), token}};
  call << options;
  request(call, token);
}

void PortalGlobalShortcuts::bindShortcuts() {
  state_ = State::binding;
  const QString token = nextToken();
  auto call = QDBusMessage::createMethodCall(owner_, kPath, kInterface, QStringLiteral("BindShortcuts"));
  PortalShortcutList shortcuts{
      {QString::fromLatin1(kShortcutId),
       {{QStringLiteral("description"), QStringLiteral("Show or hide Quotadial")},
        {QStringLiteral("preferred_trigger"), QString::fromLatin1(kPreferredTrigger)}}}};
  call << QVariant::fromValue(QDBusObjectPath(session_)) << QVariant::fromValue(shortcuts) << QString()
       << QVariantMap{{QStringLiteral("handle_token"), token}};
  request(call, token);
}

void PortalGlobalShortcuts::request(QDBusMessage call, const QString& token) {
  // Subscribe before calling, at the path the portal will use, so an answer
  // that comes before the method reply is not missed.
  QString sender = bus_.baseService();
  if (sender.startsWith(QLatin1Char(':'))) sender.remove(0, 1);
  sender.replace(QLatin1Char('.'), QLatin1Char('_'));
  const QString expected = QStringLiteral("%1/request/%2/%3").arg(QLatin1String(kPath), sender, token);
  watchRequest(expected);

  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMs), this);
  const unsigned generation = generation_;
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, generation, expected](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            if (generation != generation_) return;
            QDBusPendingReply<QDBusObjectPath> reply = *w;
            if (reply.isError()) {
              fail(QStringLiteral("the desktop portal refused the request (%1)").arg(reply.error().message()));
              return;
            }
            // The answer may already have come, and the next request begun.
            if (requestPath_ != expected) return;
            // Older portals chose their own request path.
            if (reply.value().path() != expected) watchRequest(reply.value().path());
          });
}

void PortalGlobalShortcuts::watchRequest(const QString& path) {
  unwatchRequest();
  requestPath_ = path;
  bus_.connect(owner_, requestPath_, kRequestInterface, QStringLiteral("Response"), this,
               SLOT(onResponse(uint, QVariantMap)));
}

void PortalGlobalShortcuts::unwatchRequest() {
  if (requestPath_.isEmpty()) return;
  bus_.disconnect(owner_, requestPath_, kRequestInterface, QStringLiteral("Response"), this,
                  SLOT(onResponse(uint, QVariantMap)));
  requestPath_.clear();
}

void PortalGlobalShortcuts::onResponse(uint code, const QVariantMap& results) {
  unwatchRequest();
  if (code != 0) {
    fail(code == 1 ? QStringLiteral("the shortcut was declined") : QStringLiteral("the desktop portal failed"));
    return;
  }
  if (state_ == State::creatingSession) {
    session_ = handleText(results.value(QStringLiteral("session_handle")));
    if (!isObjectPath(session_)) {
      session_.clear();
      fail(QStringLiteral("the desktop portal gave no session"));
      return;
    }
    bus_.connect(owner_, kPath, kInterface, QStringLiteral("Activated"), this,
                 SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    bindShortcuts();
    return;
  }
  if (state_ != State::binding) return;
  PortalShortcutList shortcuts;
  const QVariant list = results.value(QStringLiteral("shortcuts"));
  if (list.canConvert<QDBusArgument>()) list.value<QDBusArgument>() >> shortcuts;
  bool present = shortcuts.isEmpty();  // some portals answer without the list
  for (const auto& s : shortcuts) {
    if (s.id != QLatin1String(kShortcutId)) continue;
    present = true;
    trigger_ = s.options.value(QStringLiteral("trigger_description")).toString();
  }
  if (!present) {
    fail(QStringLiteral("the desktop did not bind the shortcut"));
    return;
  }
  state_ = State::bound;
  emit bound(trigger_);
}

void PortalGlobalShortcuts::onActivated(const QDBusObjectPath& session, const QString& id, qulonglong,
                                        const QVariantMap&) {
  if (state_ == State::bound && session.path() == session_ && id == QLatin1String(kShortcutId)) emit activated();
}

void PortalGlobalShortcuts::fail(const QString& reason) {
  reset();
  owner_.clear();
  state_ = State::failed;
  emit failed(reason);
}

void PortalGlobalShortcuts::stop() {
  wanted_ = false;
  reset();
}

void PortalGlobalShortcuts::reset() {
  ++generation_;
  unwatchRequest();
  if (!session_.isEmpty()) {
    bus_.disconnect(owner_, kPath, kInterface, QStringLiteral("Activated"), this,
                    SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    if (bus_.isConnected())
      bus_.asyncCall(QDBusMessage::createMethodCall(owner_, session_, kSessionInterface, QStringLiteral("Close")));
    session_.clear();
  }
  state_ = State::idle;
}

}  // namespace qd
