#include "utilities/file_watch.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>

#include "app/testing/app_test_support.h"
#include "storage/atomic_file.h"

namespace qd {
namespace {

// Names reported by a watch, waited for with a generous deadline.
class Seen {
 public:
  void add(const std::string& name) {
    std::lock_guard lock(mutex_);
    names_.push_back(name);
    cv_.notify_all();
  }
  bool waitFor(const std::string& name) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] {
      return std::find(names_.begin(), names_.end(), name) != names_.end();
    });
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(names_, {});
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> names_;
};

TEST(FileWatch, SeesCreationAppendsAndAtomicReplacementOfTheNamedFilesOnly) {
  testing::TempDir dir;
  Seen seen;
  FileWatch watch(dir.path(), {"snapshots.ndjson", "settings.json"}, [&](const std::string& n) { seen.add(n); });
  ASSERT_TRUE(watch.active());

  // Each step ends with a write to a named file, so an event of an unnamed file
  // would be reported before the marker is.
  std::ofstream(dir.path() / "other.json") << "{}";
  std::ofstream(dir.path() / "snapshots.ndjson") << "{}\n";
  ASSERT_TRUE(seen.waitFor("snapshots.ndjson"));
  for (const auto& n : seen.take()) EXPECT_NE(n, "other.json");

  std::ofstream(dir.path() / "snapshots.ndjson", std::ios::app) << "{}\n";
  EXPECT_TRUE(seen.waitFor("snapshots.ndjson"));
  seen.take();

  ASSERT_TRUE(writeFileAtomically(dir.path() / "settings.json", "{\"demoMode\": true}\n"));
  EXPECT_TRUE(seen.waitFor("settings.json"));
  for (const auto& n : seen.take()) EXPECT_NE(n.find(".json"), std::string::npos) << n;
}

TEST(FileWatch, AMissingDirectoryIsInactiveAndStopsCleanly) {
  FileWatch watch("/nonexistent/quotadial-watch", {"x"}, [](const std::string&) { FAIL(); });
  EXPECT_FALSE(watch.active());
}

TEST(OutputClosedWatch, TellsWhenTheReaderGoesAwayAndNotBefore) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  Seen seen;
  {
    OutputClosedWatch watch(fds[1], [&] { seen.add("closed"); });
    // Writable and unread: no report.
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    ::close(fds[0]);
    EXPECT_TRUE(seen.waitFor("closed"));
  }
  EXPECT_EQ(seen.take().size(), 1u);
  ::close(fds[1]);
}

TEST(OutputClosedWatch, StopsWithoutReportingWhileTheReaderStays) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  bool closed = false;
  { OutputClosedWatch watch(fds[1], [&] { closed = true; }); }
  EXPECT_FALSE(closed);
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace qd
