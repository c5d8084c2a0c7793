#include "tray/status_bar_controller.h"

#include <gtest/gtest.h>

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>

#include "desktop/dbus_notification_sink.h"
#include "storage/snapshot_store.h"
#include "tray/dbus_menu.h"
#include "popover/popover_view.h"
#include "testing/desktop_peers.h"
#include "testing/ui_test_support.h"

namespace qd {
namespace {

using namespace testing;

class TrayControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!bus.available()) GTEST_SKIP() << "dbus-daemon is not installed";
  }
  PrivateBus bus;
};

TEST_F(TrayControllerTest, WithoutATrayHostTheFloatingWindowIsUsed) {
  UiFixture f;
  StatusBarController controller(f.ctx, bus.connect(), false);
  waitUntil([] { return false; }, 200);
  ASSERT_FALSE(controller.item().hostAvailable());
  controller.toggleUI();
  EXPECT_TRUE(controller.floatingVisible());
  EXPECT_FALSE(controller.popoverVisible());
  controller.toggleUI();
  EXPECT_FALSE(controller.floatingVisible());
}

TEST_F(TrayControllerTest, ActivateFromTheHostOpensAndClosesThePopover) {
  QDBusConnection host = bus.connect();
  FakeTrayWatcher watcher;
  ASSERT_TRUE(watcher.serve(host));
  UiFixture f;
  StatusBarController controller(f.ctx, bus.connect(), false);
  ASSERT_TRUE(waitUntil([&] { return controller.item().hostAvailable(); }));

  auto activate = [&] {
    auto call = QDBusMessage::createMethodCall(controller.item().serviceName(), "/StatusNotifierItem",
                                               "org.kde.StatusNotifierItem", "Activate");
    call << 900 << 10;
    host.asyncCall(call);
  };
  activate();
  ASSERT_TRUE(waitUntil([&] { return controller.popoverVisible(); }));
  EXPECT_FALSE(controller.floatingVisible());
  activate();
  ASSERT_TRUE(waitUntil([&] { return !controller.popoverVisible(); }));
}

// A click on the icon while the popover is open: the press closes the popup
// (it lies outside it), then the host's Activate for the same click arrives.
// The popover stays closed; a later click opens it again.
TEST_F(TrayControllerTest, AClickOnTheIconClosesAnOpenPopover) {
  QDBusConnection host = bus.connect();
  FakeTrayWatcher watcher;
  ASSERT_TRUE(watcher.serve(host));
  UiFixture f;
  StatusBarController controller(f.ctx, bus.connect(), false);
  ASSERT_TRUE(waitUntil([&] { return controller.item().hostAvailable(); }));
  qint64 now = 10'000;
  controller.popoverWindow().monotonicMs = [&now] { return now; };

  emit controller.item().activated(QPoint(900, 10));
  ASSERT_TRUE(controller.popoverVisible());
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(-20, -20), QPointF(880, 2), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(&controller.popoverWindow(), &press);
  ASSERT_FALSE(controller.popoverVisible()) << "the press outside closes the popup";
  now += 120;
  emit controller.item().activated(QPoint(900, 10));
  EXPECT_FALSE(controller.popoverVisible()) << "the same click's activation opened it again";

  now += PopoverWindow::kSameClickMs;
  emit controller.item().activated(QPoint(900, 10));
  EXPECT_TRUE(controller.popoverVisible());
  // Closing by the toggle itself (the shortcut, --toggle) does not hold back the next open.
  controller.toggleUI();
  EXPECT_FALSE(controller.popoverVisible());
  controller.toggleUI();
  EXPECT_TRUE(controller.popoverVisible());
  // The shortcut pressed while the popup holds the keyboard closes it.
  QKeyEvent shortcut(QEvent::KeyPress, Qt::Key_G, Qt::ControlModifier | Qt::AltModifier);
  QApplication::sendEvent(&controller.popoverWindow(), &shortcut);
  EXPECT_FALSE(controller.popoverVisible());
}

// On a screen shorter than the popover (1280x720 with a panel, or 3x scale),
// the whole window stays inside the available area, footer included.
TEST_F(TrayControllerTest, ThePopoverFitsTheScreen) {
  const double height = Theme::popoverHeight();
  struct Restore {
    double height;
    ~Restore() { Theme::setPopoverHeight(height); }
  } restore{height};
  Theme::setPopoverHeight(QGuiApplication::primaryScreen()->availableGeometry().height() + 200);
  QDBusConnection host = bus.connect();
  FakeTrayWatcher watcher;
  ASSERT_TRUE(watcher.serve(host));
  UiFixture f;
  StatusBarController controller(f.ctx, bus.connect(), false);
  ASSERT_TRUE(waitUntil([&] { return controller.item().hostAvailable(); }));
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  ASSERT_LT(area.height(), Theme::popoverHeight()) << "the test screen is expected to be shorter than the popover";
  for (QPoint at : {QPoint(area.right() - 20, area.top()), QPoint(area.left() + 5, area.bottom())}) {
    controller.showUI(at);
    ASSERT_TRUE(controller.popoverVisible());
    QWidget& window = controller.popoverWindow();
    EXPECT_TRUE(area.contains(window.geometry())) << at.x() << "," << at.y();
    EXPECT_EQ(controller.view().size(), window.size());
    auto* quit = findButton<QPushButton>(&controller.view(), "Quit");
    ASSERT_NE(quit, nullptr);
    QCoreApplication::processEvents();
    const QRect quitBox(quit->mapTo(&window, QPoint(0, 0)), quit->size());
    EXPECT_TRUE(window.rect().contains(quitBox)) << "the footer is cut off";
    controller.toggleUI();
  }
}

// `quotadial --toggle` with no copy running: the screens open once the tray
// host has answered, in the popover with a host and the floating window without.
TEST_F(TrayControllerTest, ShowWhenReadyWaitsForTheHostsAnswer) {
  for (bool withHost : {false, true}) {
    QDBusConnection host = bus.connect();
    FakeTrayWatcher watcher;
    if (withHost) ASSERT_TRUE(watcher.serve(host));
    UiFixture f;
    StatusBarController controller(f.ctx, bus.connect(), false);
    controller.showWhenReady();
    ASSERT_TRUE(waitUntil([&] { return controller.popoverVisible() || controller.floatingVisible(); }))
        << "with host " << withHost;
    EXPECT_EQ(controller.popoverVisible(), withHost);
    EXPECT_EQ(controller.floatingVisible(), !withHost);
  }
}

// Hosts that draw the item's menu themselves find it through the item's Menu
// property, read its layout and send clicks back, as a tray host does.
TEST_F(TrayControllerTest, TheExportedMenuListsTheActionsAndRunsTheClickedOne) {
  QDBusConnection host = bus.connect();
  FakeTrayWatcher watcher;
  ASSERT_TRUE(watcher.serve(host));
  UiFixture f;
  StatusBarController controller(f.ctx, bus.connect(), false);
  ASSERT_TRUE(waitUntil([&] { return controller.item().hostAvailable(); }));
  const QString service = controller.item().serviceName();

  auto call = [&](const QString& path, const QString& interface, const QString& method, const QVariantList& args) {
    auto message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(args);
    QDBusPendingCall pending = host.asyncCall(message, 3000);
    waitUntil([&] { return pending.isFinished(); });
    return pending.reply();
  };
  const QDBusMessage menuPath = call("/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                                     {"org.kde.StatusNotifierItem", "Menu"});
  ASSERT_EQ(menuPath.type(), QDBusMessage::ReplyMessage) << menuPath.errorMessage().toStdString();
  const QString path = menuPath.arguments().at(0).value<QDBusVariant>().variant().value<QDBusObjectPath>().path();
  ASSERT_EQ(path, "/MenuBar");

  const QDBusMessage layoutReply = call(path, "com.canonical.dbusmenu", "GetLayout", {0, -1, QStringList()});
  ASSERT_EQ(layoutReply.type(), QDBusMessage::ReplyMessage) << layoutReply.errorMessage().toStdString();
  ASSERT_EQ(layoutReply.signature(), "u(ia{sv}av)");
  DBusMenuLayout root;
  layoutReply.arguments().at(1).value<QDBusArgument>() >> root;
  QStringList labels;
  int quitId = 0;
  for (const QVariant& v : root.children) {
    DBusMenuLayout child;
    v.value<QDBusArgument>() >> child;
    const QString label = child.properties.value("type").toString() == "separator"
                              ? QStringLiteral("—")
                              : child.properties.value("label").toString();
    labels << label;
    if (label == "Quit") quitId = child.id;
  }
  EXPECT_EQ(labels, QStringList({"Open Quotadial", "Refresh", "Settings…", "—", "Quit"}));

  // A click on an unknown item is reported and does nothing; a click on Quit quits.
  DBusMenuEventList events{{999, "clicked", QDBusVariant(0), 0}};
  const QDBusMessage errors = call(path, "com.canonical.dbusmenu", "EventGroup", {QVariant::fromValue(events)});
  ASSERT_EQ(errors.type(), QDBusMessage::ReplyMessage) << errors.errorMessage().toStdString();
  EXPECT_EQ(qdbus_cast<QList<int>>(errors.arguments().at(0)), QList<int>{999});
  call(path, "com.canonical.dbusmenu", "Event", {quitId, "clicked", QVariant::fromValue(QDBusVariant(0)), 0u});
  EXPECT_TRUE(waitUntil([&] { return f.quits == 1; }));
  EXPECT_FALSE(controller.popoverVisible());
}

TEST_F(TrayControllerTest, TooltipAndLabelFollowTheState) {
  UiFixture f;
  StatusBarController controller(f.ctx, bus.connect(), false);
  const QString status = QString::fromUtf8(label(f.state->globalStatus()).data());
  EXPECT_EQ(controller.item().toolTipTitle(), "Quotadial — " + status + "  (Ctrl+Alt+G)");
  // Icon only: no label at all (not a lone space).
  f.state->updateSettings([](AppSettings& s) { s.menuBarDisplayMode = MenuBarDisplayMode::iconOnly; });
  controller.updateButton();
  EXPECT_TRUE(controller.item().label().isEmpty());
  // The tooltip still carries the figures.
  EXPECT_TRUE(controller.item().toolTipDescription().contains('%'))
      << controller.item().toolTipDescription().toStdString();
  f.state->updateSettings([](AppSettings& s) { s.menuBarDisplayMode = MenuBarDisplayMode::compact; });
  controller.updateButton();
  EXPECT_FALSE(controller.item().label().isEmpty());
  EXPECT_FALSE(controller.item().label().startsWith(' '));
}

TEST_F(TrayControllerTest, AnAlertFromTheRulesReachesTheNotificationServer) {
  QDBusConnection serverBus = bus.connect();
  FakeNotificationServer server;
  ASSERT_TRUE(server.serve(serverBus));
  DBusNotificationSink sink(bus.connect());
  // The store holds one Codex 5-hour reading above the default 70 % threshold.
  UiFixture f(std::vector<std::string>{}, false, [&](AppStateOptions& o) {
    o.notificationSink = &sink;
    const auto now = SystemClock::instance().now();
    const auto reading = snapshot(Provider::codex, WindowKind::fiveHour, addSeconds(now, -60), 91, addSeconds(now, 3600), 300);
    std::filesystem::create_directories(*o.supportDirectory);
    SnapshotStore store(*o.supportDirectory / "snapshots.ndjson");
    store.append(reading);
  });
  f.state->updateSettings([](AppSettings& s) {
    s.hasOnboarded = true;
    s.notificationsEnabled = true;
  });
  f.state->refresh();
  ASSERT_TRUE(waitUntil([&] { return !server.shown.isEmpty(); }, 10000));
  EXPECT_TRUE(server.shown.first().summary.contains("Codex")) << server.shown.first().summary.toStdString();
  EXPECT_FALSE(server.shown.first().body.isEmpty());
}

}  // namespace
}  // namespace qd

