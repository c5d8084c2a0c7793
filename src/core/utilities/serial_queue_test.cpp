#include "utilities/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace qd {
namespace {

TEST(SerialQueueTest, RunsTasksInOrderOneAtATime) {
  SerialQueue q("quotadial.test");
  std::vector<int> order;
  std::atomic<int> running{0};
  bool overlapped = false;
  for (int i = 0; i < 200; ++i)
    q.async([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);
      running.fetch_sub(1);
    });
  int size = q.sync([&] { return static_cast<int>(order.size()); });
  EXPECT_EQ(size, 200);
  EXPECT_FALSE(overlapped);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
}

TEST(SerialQueueTest, NestedSyncRunsInline) {
  SerialQueue q("quotadial.test");
  int v = q.sync([&] { return q.sync([] { return 7; }) + 1; });
  EXPECT_EQ(v, 8);
}

TEST(SerialQueueTest, DestructorDrainsQueuedWork) {
  std::atomic<int> done{0};
  {
    SerialQueue q("quotadial.test");
    for (int i = 0; i < 50; ++i) q.async([&] { done++; });
  }
  EXPECT_EQ(done.load(), 50);
}

}  // namespace
}  // namespace qd
