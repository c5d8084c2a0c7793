#include "desktop/portal_global_shortcuts.h"

#include <gtest/gtest.h>

#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QTimer>
#include <map>
#include <memory>

#include "desktop/global_hotkey.h"
#include "testing/private_bus.h"

namespace qd {
namespace {

using testing::PrivateBus;
using testing::waitUntil;

// What the fake portal answers; each field may be made hostile.
struct PortalScript {
  uint createCode = 0;
  std::optional<QVariant> sessionHandle{};  // default: the path built from the token; invalid: none
  uint bindCode = 0;
  bool listShortcuts = true;
  QString boundId = PortalGlobalShortcuts::kShortcutId;
  bool answerBeforeReply = false;  // the Response signal leaves before the method reply
};

class FakeSession : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Session")
 public:
  bool closed = false;
 public slots:
  void Close() { closed = true; }
};

// Stands in for the desktop portal's global shortcuts on a private bus.
class FakePortal : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.GlobalShortcuts")
  Q_PROPERTY(uint version READ version)
 public:
  FakePortal(QDBusConnection bus, PortalScript script) : bus_(std::move(bus)), script_(std::move(script)) {
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<PortalShortcutList>();
  }
  bool serve() {
    return bus_.registerObject(PortalGlobalShortcuts::kPath, this,
                               QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties) &&
           bus_.registerService(PortalGlobalShortcuts::kService);
  }
  uint version() const { return 1; }
  void release() { bus_.unregisterService(PortalGlobalShortcuts::kService); }

  void activate(const QString& session, const QString& id) {
    auto signal = QDBusMessage::createSignal(PortalGlobalShortcuts::kPath, PortalGlobalShortcuts::kInterface,
                                             "Activated");
    signal << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(1234) << QVariantMap();
    bus_.send(signal);
  }

  QString session;
  PortalShortcutList requested;
  std::map<QString, std::unique_ptr<FakeSession>> sessions;

 public slots:
  QDBusObjectPath CreateSession(const QVariantMap& options) {
    const QString token = options.value("session_handle_token").toString();
    session = QString("%1/session/%2/%3").arg(PortalGlobalShortcuts::kPath, senderPart(), token);
    auto fake = std::make_unique<FakeSession>();
    bus_.registerObject(session, fake.get(), QDBusConnection::ExportAllSlots);
    sessions[session] = std::move(fake);
    const QVariant handle = script_.sessionHandle.value_or(QVariant(session));
    QVariantMap results;
    if (handle.isValid()) results["session_handle"] = handle;  // an invalid one stands for "left out"
    return respond(options, script_.createCode, results);
  }

  QDBusObjectPath BindShortcuts(const QDBusObjectPath&, const qd::PortalShortcutList& shortcuts, const QString&,
                                const QVariantMap& options) {
    requested = shortcuts;
    QVariantMap results;
    if (script_.listShortcuts) {
      PortalShortcutList bound{{script_.boundId, {{"description", "Show or hide Quotadial"},
                                                  {"trigger_description", "Ctrl+Alt+G"}}}};
      results["shortcuts"] = QVariant::fromValue(bound);
    }
    return respond(options, script_.bindCode, results);
  }

 private:
  QString senderPart() {
    QString s = message().service().mid(1);
    return s.replace('.', '_');
  }

  QDBusObjectPath respond(const QVariantMap& options, uint code, const QVariantMap& results) {
    const QString path =
        QString("%1/request/%2/%3").arg(PortalGlobalShortcuts::kPath, senderPart(), options.value("handle_token").toString());
    auto send = [bus = bus_, path, code, results]() mutable {
      auto signal = QDBusMessage::createSignal(path, "org.freedesktop.portal.Request", "Response");
      signal << code << results;
      bus.send(signal);
    };
    if (script_.answerBeforeReply)
      send();
    else
      QTimer::singleShot(20, this, send);
    return QDBusObjectPath(path);
  }

  QDBusConnection bus_;
  PortalScript script_;
};

// A service at the portal's name without the global-shortcuts interface, as on
// desktops whose portal lacks it.
class PortalWithoutShortcuts : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")
 public slots:
  void ReadAll() {}
};

class PortalShortcutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!bus.available()) GTEST_SKIP() << "dbus-daemon is not installed";
  }
  // The portal exits: its name has no owner any more.
  bool endPortal(FakePortal& portal) {
    portal.release();
    QDBusConnection observer = bus.connect();
    return waitUntil([&] { return !observer.interface()->isServiceRegistered(PortalGlobalShortcuts::kService); });
  }
  PrivateBus bus;
};

struct BindCase {
  const char* name;
  PortalScript script;
  GlobalHotkey::Backend expected;
};

TEST_F(PortalShortcutTest, TheShortcutIsHeldOnlyWhenThePortalBindsIt) {
  const BindCase cases[] = {
      {"bound", {}, GlobalHotkey::Backend::portal},
      {"answer before the method reply", {.answerBeforeReply = true}, GlobalHotkey::Backend::portal},
      {"answer without the list", {.listShortcuts = false}, GlobalHotkey::Backend::portal},
      {"session declined", {.createCode = 1}, GlobalHotkey::Backend::none},
      {"binding declined by the user", {.bindCode = 1}, GlobalHotkey::Backend::none},
      {"binding failed", {.bindCode = 2}, GlobalHotkey::Backend::none},
      {"no session handle", {.sessionHandle = QVariant()}, GlobalHotkey::Backend::none},
      {"session handle not a path", {.sessionHandle = QVariant("not a path//")}, GlobalHotkey::Backend::none},
      {"session handle of the wrong type", {.sessionHandle = QVariant(42)}, GlobalHotkey::Backend::none},
      {"another shortcut bound", {.boundId = "something-else"}, GlobalHotkey::Backend::none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QDBusConnection desktop = bus.connect();
    FakePortal portal(desktop, c.script);
    ASSERT_TRUE(portal.serve());

    GlobalHotkey hotkey(bus.connect());
    int changed = 0;
    QObject::connect(&hotkey, &GlobalHotkey::backendChanged, [&] { ++changed; });
    EXPECT_EQ(hotkey.registerShortcut(true), GlobalHotkey::Backend::none) << "the portal answers later";
    using State = PortalGlobalShortcuts::State;
    ASSERT_TRUE(waitUntil([&] {
      return hotkey.portal().state() == State::bound || hotkey.portal().state() == State::failed;
    }, 3000)) << int(hotkey.portal().state());
    waitUntil([] { return false; }, 100);  // nothing more arrives
    EXPECT_EQ(hotkey.backend(), c.expected);
    EXPECT_EQ(changed, c.expected == GlobalHotkey::Backend::portal ? 1 : 0);
    desktop.unregisterService(PortalGlobalShortcuts::kService);
  }
}

TEST_F(PortalShortcutTest, AsksForCtrlAltGAndTogglesOnlyOnItsOwnActivation) {
  QDBusConnection desktop = bus.connect();
  FakePortal portal(desktop, {});
  ASSERT_TRUE(portal.serve());

  PortalGlobalShortcuts shortcuts(bus.connect());
  QStringList bound;
  int activated = 0;
  QObject::connect(&shortcuts, &PortalGlobalShortcuts::bound, [&](const QString& trigger) { bound << trigger; });
  QObject::connect(&shortcuts, &PortalGlobalShortcuts::activated, [&] { ++activated; });
  shortcuts.start();
  ASSERT_TRUE(waitUntil([&] { return shortcuts.state() == PortalGlobalShortcuts::State::bound; }));
  EXPECT_EQ(bound, QStringList{"Ctrl+Alt+G"});
  EXPECT_EQ(shortcuts.sessionHandle(), portal.session);
  ASSERT_EQ(portal.requested.size(), 1);
  EXPECT_EQ(portal.requested[0].id, "toggle");
  EXPECT_EQ(portal.requested[0].options.value("preferred_trigger").toString(), "CTRL+ALT+g");
  EXPECT_FALSE(portal.requested[0].options.value("description").toString().isEmpty());

  // Another program posing as the portal, another session, another shortcut.
  auto forged = QDBusMessage::createSignal(PortalGlobalShortcuts::kPath, PortalGlobalShortcuts::kInterface, "Activated");
  forged << QVariant::fromValue(QDBusObjectPath(portal.session)) << QString("toggle") << qulonglong(1) << QVariantMap();
  bus.connect().send(forged);
  portal.activate(portal.session + "_other", "toggle");
  portal.activate(portal.session, "something-else");
  portal.activate(portal.session, "toggle");
  ASSERT_TRUE(waitUntil([&] { return activated >= 1; }));
  waitUntil([] { return false; }, 200);
  EXPECT_EQ(activated, 1);

  // Stopping closes the session; later activations are ignored.
  const QString session = portal.session;
  shortcuts.stop();
  EXPECT_TRUE(waitUntil([&] { return portal.sessions[session]->closed; }));
  portal.activate(session, "toggle");
  waitUntil([] { return false; }, 200);
  EXPECT_EQ(activated, 1);
}

TEST_F(PortalShortcutTest, APortalThatRestartsIsAskedAgain) {
  auto first = std::make_unique<FakePortal>(bus.connect(), PortalScript{});
  ASSERT_TRUE(first->serve());
  GlobalHotkey hotkey(bus.connect());
  std::vector<GlobalHotkey::Backend> changes;
  QObject::connect(&hotkey, &GlobalHotkey::backendChanged, [&](GlobalHotkey::Backend b) { changes.push_back(b); });
  hotkey.registerShortcut(true);
  ASSERT_TRUE(waitUntil([&] { return hotkey.backend() == GlobalHotkey::Backend::portal; }));

  // The portal exits: the shortcut is gone until a new portal binds it again.
  ASSERT_TRUE(endPortal(*first));
  first.reset();
  ASSERT_TRUE(waitUntil([&] { return hotkey.backend() == GlobalHotkey::Backend::none; }));
  FakePortal second(bus.connect(), {});
  ASSERT_TRUE(second.serve());
  ASSERT_TRUE(waitUntil([&] { return hotkey.backend() == GlobalHotkey::Backend::portal; }));
  EXPECT_EQ(second.requested.size(), 1);
  EXPECT_EQ(changes, (std::vector{GlobalHotkey::Backend::portal, GlobalHotkey::Backend::none,
                                  GlobalHotkey::Backend::portal}));
}

TEST_F(PortalShortcutTest, APortalThatStartsLaterIsAskedThen) {
  GlobalHotkey hotkey(bus.connect());
  hotkey.registerShortcut(true);
  ASSERT_TRUE(waitUntil([&] { return hotkey.portal().state() == PortalGlobalShortcuts::State::failed; }, 3000));
  FakePortal portal(bus.connect(), {});
  ASSERT_TRUE(portal.serve());
  EXPECT_TRUE(waitUntil([&] { return hotkey.backend() == GlobalHotkey::Backend::portal; }));
  // Unregistering stops listening: a later portal is not asked.
  hotkey.unregisterShortcut();
  ASSERT_TRUE(endPortal(portal));
  FakePortal later(bus.connect(), {});
  ASSERT_TRUE(later.serve());
  waitUntil([] { return false; }, 300);
  EXPECT_TRUE(later.requested.isEmpty());
  EXPECT_EQ(hotkey.backend(), GlobalHotkey::Backend::none);
}

TEST_F(PortalShortcutTest, WithoutThePortalNothingIsHeldAndNothingWaits) {
  // No portal at all, then a portal service that lacks the interface.
  {
    GlobalHotkey hotkey(bus.connect());
    hotkey.registerShortcut(true);
    ASSERT_TRUE(waitUntil([&] { return hotkey.portal().state() == PortalGlobalShortcuts::State::failed; }, 3000));
    EXPECT_EQ(hotkey.backend(), GlobalHotkey::Backend::none);
  }
  QDBusConnection desktop = bus.connect();
  PortalWithoutShortcuts other;
  ASSERT_TRUE(desktop.registerObject(PortalGlobalShortcuts::kPath, &other, QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(desktop.registerService(PortalGlobalShortcuts::kService));
  PortalGlobalShortcuts shortcuts(bus.connect());
  QStringList failed;
  QObject::connect(&shortcuts, &PortalGlobalShortcuts::failed, [&](const QString& reason) { failed << reason; });
  shortcuts.start();
  ASSERT_TRUE(waitUntil([&] { return failed.size() == 1; }, 3000));
  EXPECT_TRUE(failed[0].contains("does not offer global shortcuts")) << failed[0].toStdString();
}

}  // namespace
}  // namespace qd

#include "portal_global_shortcuts_test.moc"
