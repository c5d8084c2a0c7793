#include "tray/status_notifier_item.h"

#include <gtest/gtest.h>

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include "testing/desktop_peers.h"
#include "testing/private_bus.h"
#include "tray/tray_icon.h"

namespace qd {
namespace {

using testing::FakeTrayWatcher;
using testing::PrivateBus;
using testing::waitUntil;

// Reads one property of the item through the bus, as a host would.
QVariant readProperty(QDBusConnection& bus, const QString& service, const QString& name) {
  auto call = QDBusMessage::createMethodCall(service, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get");
  call << QStringLiteral("org.kde.StatusNotifierItem") << name;
  QDBusPendingCallWatcher watcher(bus.asyncCall(call, 3000));
  waitUntil([&] { return watcher.isFinished(); });
  QDBusPendingReply<QDBusVariant> reply = watcher;
  return reply.isError() ? QVariant() : reply.value().variant();
}

class TrayBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!bus.available()) GTEST_SKIP() << "dbus-daemon is not installed";
  }
  PrivateBus bus;
};

TEST_F(TrayBusTest, RegistersWithTheWatcherAndExposesLabelTooltipAndIcon) {
  QDBusConnection host = bus.connect();
  FakeTrayWatcher watcher;
  ASSERT_TRUE(watcher.serve(host));

  StatusNotifierItem item(bus.connect());
  item.setIcon(drawTrayIcon(ForecastStatus::watch, Theme::darkTheme()));
  item.setLabel("C 42% · 3h");
  item.setToolTip("Quotadial — Watch  (Ctrl+Alt+G)", "C 42% · 3h");
  item.start();
  ASSERT_TRUE(waitUntil([&] { return item.hostAvailable(); }));
  ASSERT_EQ(watcher.registered, QStringList{item.serviceName()});

  EXPECT_EQ(readProperty(host, item.serviceName(), "XAyatanaLabel").toString(), "C 42% · 3h");
  EXPECT_EQ(readProperty(host, item.serviceName(), "Id").toString(), "quotadial");
  EXPECT_FALSE(readProperty(host, item.serviceName(), "ItemIsMenu").toBool());

  const QVariant tipValue = readProperty(host, item.serviceName(), "ToolTip");
  ASSERT_TRUE(tipValue.canConvert<QDBusArgument>());
  SniToolTip tip;
  tipValue.value<QDBusArgument>() >> tip;
  EXPECT_EQ(tip.title, "Quotadial — Watch  (Ctrl+Alt+G)");

  const QVariant iconValue = readProperty(host, item.serviceName(), "IconPixmap");
  ASSERT_TRUE(iconValue.canConvert<QDBusArgument>());
  SniIconPixmapList icons;
  iconValue.value<QDBusArgument>() >> icons;
  ASSERT_FALSE(icons.isEmpty());
  for (const auto& icon : icons) EXPECT_EQ(icon.bytes.size(), icon.width * icon.height * 4);
}

TEST_F(TrayBusTest, ActivateAndContextMenuReachTheOwner) {
  QDBusConnection host = bus.connect();
  FakeTrayWatcher watcher;
  ASSERT_TRUE(watcher.serve(host));
  StatusNotifierItem item(bus.connect());
  item.start();
  ASSERT_TRUE(waitUntil([&] { return item.hostAvailable(); }));

  std::optional<QPoint> activatedAt, menuAt;
  QObject::connect(&item, &StatusNotifierItem::activated, [&](QPoint p) { activatedAt = p; });
  QObject::connect(&item, &StatusNotifierItem::contextMenuRequested, [&](QPoint p) { menuAt = p; });
  for (const char* method : {"Activate", "ContextMenu"}) {
    auto call = QDBusMessage::createMethodCall(item.serviceName(), "/StatusNotifierItem",
                                               "org.kde.StatusNotifierItem", method);
    call << 120 << 8;
    host.asyncCall(call);
  }
  ASSERT_TRUE(waitUntil([&] { return activatedAt && menuAt; }));
  EXPECT_EQ(*activatedAt, QPoint(120, 8));
  EXPECT_EQ(*menuAt, QPoint(120, 8));
}

TEST_F(TrayBusTest, WithoutWatcherThereIsNoHostUntilOneAppears) {
  StatusNotifierItem item(bus.connect());
  QList<bool> changes;
  QObject::connect(&item, &StatusNotifierItem::hostAvailabilityChanged, [&](bool a) { changes << a; });
  item.start();
  // The registration call fails quickly with ServiceUnknown.
  waitUntil([] { return false; }, 300);
  EXPECT_FALSE(item.hostAvailable());

  QDBusConnection host = bus.connect();
  FakeTrayWatcher watcher;
  ASSERT_TRUE(watcher.serve(host));
  ASSERT_TRUE(waitUntil([&] { return item.hostAvailable(); }));
  EXPECT_EQ(watcher.registered, QStringList{item.serviceName()});

  // The host goes away (panel restart): the owner falls back again.
  host.unregisterService("org.kde.StatusNotifierWatcher");
  ASSERT_TRUE(waitUntil([&] { return !item.hostAvailable(); }));
  EXPECT_EQ(changes, (QList<bool>{true, false}));
}

}  // namespace
}  // namespace qd
