#include "desktop/single_instance.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <thread>

#include "testing/private_bus.h"

namespace qd {
namespace {

using testing::waitUntil;

TEST(SingleInstance, ASecondLaunchHandsItsCommandToTheFirst) {
  QTemporaryDir dir;
  const QString socket = dir.filePath("q.sock");
  SingleInstance first(socket);
  ASSERT_EQ(first.start("show"), SingleInstance::Role::primary);
  QStringList received;
  QObject::connect(&first, &SingleInstance::commandReceived, [&](const QString& c) { received << c; });

  // The second copy blocks while it waits for the answer, as a real second process does.
  std::optional<SingleInstance::Role> secondRole;
  std::thread second([&] {
    SingleInstance other(socket);
    secondRole = other.start("toggle");
  });
  const bool done = waitUntil([&] { return received.size() == 1; });
  second.join();
  ASSERT_TRUE(done);
  EXPECT_EQ(received, QStringList{"toggle"});
  EXPECT_EQ(secondRole, SingleInstance::Role::forwarded);
}

TEST(SingleInstance, AStaleSocketFromACrashedCopyIsTakenOver) {
  QTemporaryDir dir;
  const QString socket = dir.filePath("q.sock");
  {
    QFile stale(socket);
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
  }
  SingleInstance instance(socket);
  EXPECT_EQ(instance.start("show"), SingleInstance::Role::primary);
}

}  // namespace
}  // namespace qd
