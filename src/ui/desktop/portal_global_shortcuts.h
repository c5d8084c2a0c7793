#pragma once
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QObject>
#include <QVariantMap>

namespace qd {

// One entry of the portal's shortcut list: an id and its options
// ("description", "preferred_trigger"; in answers also "trigger_description").
struct PortalShortcut {
  QString id;
  QVariantMap options;
};
using PortalShortcutList = QList<PortalShortcut>;

QDBusArgument& operator<<(QDBusArgument& out, const PortalShortcut& shortcut);
const QDBusArgument& operator>>(const QDBusArgument& in, PortalShortcut& shortcut);

// The desktop portal's global shortcuts (org.freedesktop.portal.GlobalShortcuts),
// which Wayland desktops offer instead of key grabs. `start` asks, in turn,
// whether the portal offers the interface, for a session, and for the one
// shortcut "toggle" with Ctrl+Alt+G as the preferred trigger; the desktop may
// ask the user to confirm or choose another key. Every step is asynchronous, so
// a portal that is slow to start or shows a dialog never blocks the interface.
//
// Thread-safety: main thread only.
class PortalGlobalShortcuts : public QObject {
  Q_OBJECT
 public:
  enum class State { idle, probing, creatingSession, binding, bound, failed };

  static constexpr const char* kService = "org.freedesktop.portal.Desktop";
  static constexpr const char* kPath = "/org/freedesktop/portal/desktop";
  static constexpr const char* kInterface = "org.freedesktop.portal.GlobalShortcuts";
  static constexpr const char* kShortcutId = "toggle";
  static constexpr const char* kPreferredTrigger = "CTRL+ALT+g";

  explicit PortalGlobalShortcuts(QDBusConnection bus, QObject* parent = nullptr);
  ~PortalGlobalShortcuts() override;

  // Starts (or restarts after a failure); nothing happens while already under
  // way or bound. From then on, until `stop`, a portal that restarts is asked again.
  void start();
  // Closes the portal session; the shortcut stops working.
  void stop();

  [[nodiscard]] State state() const { return state_; }
  // The trigger as the desktop describes it once bound, e.g. "Ctrl+Alt+G"; may be empty.
  [[nodiscard]] const QString& triggerDescription() const { return trigger_; }
  [[nodiscard]] const QString& sessionHandle() const { return session_; }

 signals:
  void bound(const QString& triggerDescription);
  void failed(const QString& reason);
  void activated();

 private slots:
  void onResponse(uint code, const QVariantMap& results);
  void onActivated(const QDBusObjectPath& session, const QString& id, qulonglong timestamp,
                   const QVariantMap& options);

 private:
  void createSession();
  void bindShortcuts();
  // Sends `call` after subscribing to the Response of the request it will create.
  void request(QDBusMessage call, const QString& token);
  void watchRequest(const QString& path);
  void unwatchRequest();
  void fail(const QString& reason);
  void reset();  // drops the session and any request under way
  QString nextToken();

  QDBusConnection bus_;
  State state_ = State::idle;
  QString owner_;  // the unique bus name of the portal that answered the probe
  QString requestPath_;
  QString session_;
  QString trigger_;
  unsigned tokens_ = 0;
  unsigned generation_ = 0;
  bool wanted_ = false;  // drops answers that belong to an abandoned attempt
};

}  // namespace qd

Q_DECLARE_METATYPE(qd::PortalShortcut)
Q_DECLARE_METATYPE(qd::PortalShortcutList)
