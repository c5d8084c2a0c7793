#include "desktop/dbus_notification_sink.h"

#include <gtest/gtest.h>

#include "testing/desktop_peers.h"
#include "testing/private_bus.h"

namespace qd {
namespace {

using testing::FakeNotificationServer;
using testing::PrivateBus;
using testing::waitUntil;

class NotificationBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!bus.available()) GTEST_SKIP() << "dbus-daemon is not installed";
  }
  PrivateBus bus;
};

TEST_F(NotificationBusTest, AlertsReachTheServerAndReplaceTheirEarlierBubble) {
  QDBusConnection serverBus = bus.connect();
  FakeNotificationServer server;
  ASSERT_TRUE(server.serve(serverBus));

  DBusNotificationSink sink(bus.connect());
  std::optional<bool> granted;
  sink.requestAuthorization([&](bool g) { granted = g; });
  ASSERT_TRUE(waitUntil([&] { return granted.has_value(); }));
  EXPECT_TRUE(*granted);

  sink.deliver("Codex 5h usage at 91%", "Resets in 1h 10m.", "codex-fiveHour-usage");
  ASSERT_TRUE(waitUntil([&] { return server.shown.size() == 1; }));
  waitUntil([] { return false; }, 100);  // the reply carrying the id
  sink.deliver("Codex 5h usage at 95%", "Resets in 50m.", "codex-fiveHour-usage");
  sink.deliver("Claude Code weekly", "On pace.", "claude-weekly");
  ASSERT_TRUE(waitUntil([&] { return server.shown.size() == 3; }));
  EXPECT_EQ(server.shown[0].summary, "Codex 5h usage at 91%");
  EXPECT_EQ(server.shown[0].body, "Resets in 1h 10m.");
  EXPECT_EQ(server.shown[0].replaces, 0u);
  EXPECT_EQ(server.shown[1].replaces, 41u);
  EXPECT_EQ(server.shown[2].replaces, 0u);
}

TEST_F(NotificationBusTest, NoServerMeansNoAuthorisation) {
  DBusNotificationSink sink(bus.connect());
  std::optional<bool> granted;
  sink.requestAuthorization([&](bool g) { granted = g; });
  ASSERT_TRUE(waitUntil([&] { return granted.has_value(); }));
  EXPECT_FALSE(*granted);
}

}  // namespace
}  // namespace qd
