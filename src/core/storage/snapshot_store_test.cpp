#include "storage/snapshot_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "storage/atomic_file.h"
#include "storage/json_lines.h"
#include "utilities/app_logger.h"
#include "testing/temp_dir.h"

extern char** environ;

namespace qd {
namespace {

Timestamp at(const char* iso) { return *parseISO8601(iso); }

UsageSnapshot snap(Timestamp t, Provider p = Provider::codex, WindowKind w = WindowKind::fiveHour,
                   double used = 10) {
  UsageSnapshot s;
  s.provider = p;
  s.timestamp = t;
  s.windowKind = w;
  s.usedPercent = used;
  s.remainingPercent = 100 - used;
  s.source = SnapshotSource::demo;
  return s;
}

std::string fileText(const std::filesystem::path& p) { return readWholeFile(p).value_or("<missing>"); }

void appendRaw(const std::filesystem::path& p, std::string_view bytes) {
  int fd = ::open(p.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

std::string lineOf(const UsageSnapshot& s) { return *JSONLines::encodeLine(s) + "\n"; }

class SnapshotStoreTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  std::filesystem::path file = dir / "snapshots.ndjson";
  Timestamp t0 = at("2026-12-01T00:00:00Z");
};

TEST_F(SnapshotStoreTest, ReadingSkipsBlankAndBrokenLines) {
  const std::string good = *JSONLines::encodeLine(snap(t0));
  appendRaw(file, good + "\n\n    \n" + good.substr(0, good.size() - 3) + "\n");
  SnapshotStore store(file);
  EXPECT_EQ(store.all()->size(), 1u);
}

TEST_F(SnapshotStoreTest, AppendToMissingFileCreatesExactlyThatLine) {
  SnapshotStore store(dir / "nested" / "snapshots.ndjson");
  const auto s = snap(t0);
  store.append(s);
  EXPECT_EQ(fileText(dir / "nested" / "snapshots.ndjson"), lineOf(s));
  struct stat st {};
  ASSERT_EQ(::stat((dir / "nested" / "snapshots.ndjson").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_TRUE(std::filesystem::exists(dir / "nested" / "snapshots.ndjson.lock"));
}

TEST_F(SnapshotStoreTest, AppendAfterTornLineStartsANewLine) {
  appendRaw(file, R"({"id":"E621E1F8-C36C)");
  SnapshotStore store(file);
  store.append(snap(t0));
  ASSERT_EQ(store.all()->size(), 1u);
  EXPECT_EQ(store.all()->front().timestamp, t0);
}

TEST_F(SnapshotStoreTest, CacheDecodesOnceUntilTheFileChanges) {
  SnapshotStore store(file);
  store.append(snap(t0));
  const auto first = store.all();
  const auto second = store.all();
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(store.readStats().fullDecodes + store.readStats().incrementalDecodes, 1u);
  store.append(snap(addSeconds(t0, 60)));
  const auto third = store.all();
  ASSERT_EQ(third->size(), 2u);
  EXPECT_EQ(third->back().timestamp, addSeconds(t0, 60));
  EXPECT_EQ(first->size(), 1u);  // what a caller holds never changes
  EXPECT_EQ(store.readStats().fullDecodes + store.readStats().incrementalDecodes, 2u);
}

// Each step changes the file behind the store's back; after each, the cached
// view must equal a full decode of the file, and growth must be read incrementally.
TEST_F(SnapshotStoreTest, IncrementalReadEqualsFullDecode) {
  for (int i = 0; i < 50; ++i) appendRaw(file, lineOf(snap(addSeconds(t0, i))));
  SnapshotStore store(file);
  ASSERT_EQ(store.all()->size(), 50u);
  const std::string next = lineOf(snap(addSeconds(t0, 1000), Provider::claude));

  struct Step {
    const char* name;
    std::function<void()> change;
    bool incremental;
  };
  const Step steps[] = {
      {"one line appended", [&] { store.append(snap(addSeconds(t0, 100))); }, true},
      {"two lines appended raw", [&] { appendRaw(file, next + next); }, true},
      {"half a line", [&] { appendRaw(file, next.substr(0, 40)); }, true},
      {"rest of that line", [&] { appendRaw(file, next.substr(40)); }, true},
      {"a line without its line feed", [&] { appendRaw(file, next.substr(0, next.size() - 1)); }, true},
      {"its line feed, then CR LF lines", [&] { appendRaw(file, "\r\n" + next.substr(0, next.size() - 1) + "\r\n"); }, true},
      {"garbage then a line", [&] { appendRaw(file, "not json\n" + next); }, true},
      {"tail rewritten in place and grown",
       [&] {
         int fd = ::open(file.c_str(), O_WRONLY);
         const off_t size = ::lseek(fd, 0, SEEK_END);
         ASSERT_EQ(::pwrite(fd, "xx", 2, size - 10), 2);
         ::close(fd);
         appendRaw(file, next);
       },
       false},
      {"rewritten in place from the start and grown (cp over it)",
       [&] {
         // Same length and the same last bytes as before, so only the start tells:
         // the first reading's 10% becomes 20%.
         std::string text = fileText(file);
         const size_t at = text.find("\"usedPercent\":1");
         ASSERT_LT(at, text.find('\n'));
         text[at + 15] = '2';
         int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC);
         ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
         ::close(fd);
         appendRaw(file, next);
       },
       false},
      {"replaced by rename", [&] { ASSERT_TRUE(writeFileAtomically(file, next + next + next)); }, false},
      {"grown after the rename", [&] { appendRaw(file, next); }, true},
      {"truncated", [&] { ::truncate(file.c_str(), 10); }, false},
  };
  for (const auto& step : steps) {
    const auto before = store.readStats();
    step.change();
    const auto view = store.all();
    EXPECT_EQ(*view, JSONLines::decodeLines(fileText(file))) << step.name;
    const auto after = store.readStats();
    EXPECT_EQ(after.incrementalDecodes - before.incrementalDecodes, step.incremental ? 1u : 0u) << step.name;
  }
}

TEST_F(SnapshotStoreTest, AFifoInPlaceOfTheFileNeitherHangsNorCounts) {
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  SnapshotStore store(file);
  EXPECT_TRUE(store.all()->empty());
  store.append(snap(t0));
  EXPECT_TRUE(store.all()->empty());
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// Readers on other threads keep their lists while appends grow the cache; a list
// once returned never changes under its holder.
TEST_F(SnapshotStoreTest, HeldListsStayStableWhileOthersAppend) {
  SnapshotStore store(file);
  store.append(snap(t0));
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  std::atomic<int> failures{0};
  for (int r = 0; r < 2; ++r)
    readers.emplace_back([&] {
      size_t last = 0;
      while (!done.load()) {
        const auto view = store.all();
        const size_t size = view->size();
        double sum = 0;
        for (const auto& s : *view) sum += s.usedPercent;
        if (size < last || view->size() != size || sum != 10.0 * static_cast<double>(size)) ++failures;
        last = size;
      }
    });
  for (int i = 1; i <= 150; ++i) store.append(snap(addSeconds(t0, i)));
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(store.all()->size(), 151u);
}

TEST_F(SnapshotStoreTest, SnapshotsOfOneSeriesOldestFirst) {
  SnapshotStore store(file);
  store.append({snap(addSeconds(t0, 30)), snap(t0, Provider::claude), snap(addSeconds(t0, 10)),
                snap(t0, Provider::codex, WindowKind::weekly), snap(addSeconds(t0, 10), Provider::codex,
                                                                    WindowKind::fiveHour, 55)});
  const auto series = store.snapshots(Provider::codex, WindowKind::fiveHour);
  ASSERT_EQ(series.size(), 3u);
  EXPECT_EQ(series[0].timestamp, addSeconds(t0, 10));
  EXPECT_EQ(series[0].usedPercent, 10);  // stable among equal times
  EXPECT_EQ(series[1].usedPercent, 55);
  EXPECT_EQ(series[2].timestamp, addSeconds(t0, 30));
}

TEST_F(SnapshotStoreTest, PruneKeepsTheBoundaryAndFileOrder) {
  const Timestamp now = at("2026-12-31T12:00:00Z");
  const Timestamp cutoff = addSeconds(now, -30.0 * 86400);
  SnapshotStore store(file);
  store.append({snap(addSeconds(cutoff, 5)), snap(addSeconds(cutoff, -1)), snap(cutoff), snap(addSeconds(cutoff, -86400))});
  store.prune(30, now);
  const auto kept = store.all();
  ASSERT_EQ(kept->size(), 2u);
  EXPECT_EQ((*kept)[0].timestamp, addSeconds(cutoff, 5));
  EXPECT_EQ((*kept)[1].timestamp, cutoff);
  EXPECT_EQ(fileText(file), lineOf((*kept)[0]) + lineOf((*kept)[1]));
}

TEST_F(SnapshotStoreTest, PruneSeesLinesAppendedByAnotherWriter) {
  SnapshotStore store(file);
  store.append(snap(t0));
  ASSERT_EQ(store.all()->size(), 1u);
  appendRaw(file, lineOf(snap(addSeconds(t0, 5))));
  store.prune(3650, addSeconds(t0, 10));
  EXPECT_EQ(store.all()->size(), 2u);
}

TEST_F(SnapshotStoreTest, PruneLeavesAnUnreadableFileAlone) {
  std::filesystem::create_directories(file);  // a directory where the file should be
  SnapshotStore store(file);
  store.prune(30, t0);
  EXPECT_TRUE(std::filesystem::is_directory(file));
  EXPECT_TRUE(store.all()->empty());
}

TEST_F(SnapshotStoreTest, PruneAndClearWriteThroughALinkAndRefuseAReadOnlyFile) {
  // The history kept in a synced folder behind a link stays there.
  const auto real = dir / "synced" / "history.ndjson";
  std::filesystem::create_directories(real.parent_path());
  std::filesystem::create_symlink("synced/history.ndjson", file);
  SnapshotStore store(file);
  store.append({snap(t0), snap(addSeconds(t0, -40 * 86400.0))});
  store.prune(30, addSeconds(t0, 60));
  EXPECT_TRUE(std::filesystem::is_symlink(file));
  EXPECT_EQ(fileText(real), lineOf((*store.all())[0]));
  store.clear();
  EXPECT_TRUE(std::filesystem::is_symlink(file));
  EXPECT_EQ(fileText(real), "");

  // A file the user made read-only is refused, for root too, and says why.
  testing::TempDir logDir;
  AppLogger::shared().setFileURL(logDir / "app.log");
  store.append(snap(t0));
  ::chmod(real.c_str(), 0444);
  const std::string before = fileText(real);
  store.clear();
  EXPECT_EQ(fileText(real), before);
  EXPECT_EQ(store.all()->size(), 1u);
  AppLogger::shared().flush();
  EXPECT_NE(fileText(logDir / "app.log").find("ERROR Snapshot rewrite failed: snapshots.ndjson is read-only"),
            std::string::npos);
  ::chmod(real.c_str(), 0644);
}

TEST_F(SnapshotStoreTest, ClearLeavesAnEmptyFile) {
  SnapshotStore store(file);
  store.append({snap(t0), snap(addSeconds(t0, 1))});
  ASSERT_EQ(store.all()->size(), 2u);
  store.clear();
  EXPECT_EQ(std::filesystem::file_size(file), 0u);
  EXPECT_TRUE(store.all()->empty());
}

TEST_F(SnapshotStoreTest, ExportQuotesOnlyTextColumnsThatNeedIt) {
  SnapshotStore store(file);
  UsageSnapshot quoted = snap(addSeconds(t0, 60), Provider::claude, WindowKind::sevenDay, 42);
  quoted.remainingPercent = 3.25;
  quoted.resetAt = at("2026-12-08T00:00:00Z");
  quoted.modelId = "ignored-id";
  quoted.modelDisplayName = "Opus, \"4\"";
  quoted.effortLevel = "high";
  quoted.speedMode = "a,b";
  quoted.planType = "max";
  quoted.source = "claude.oauth";
  quoted.sourceConfidence = SourceConfidence::high;
  UsageSnapshot idOnly = snap(addSeconds(t0, 30));
  idOnly.modelId = "gpt-5";
  store.append({quoted, snap(t0), idOnly});

  const auto written = store.exportCSV(dir / "out.csv");
  ASSERT_EQ(written, dir / "out.csv");
  EXPECT_EQ(fileText(dir / "out.csv"),
            "timestamp,provider,window,usedPercent,remainingPercent,resetAt,model,effort,speed,plan,source,confidence\n"
            "2026-12-01T00:00:00Z,codex,fiveHour,10.0,90.0,,,,,,demo,medium\n"
            "2026-12-01T00:00:30Z,codex,fiveHour,10.0,90.0,,gpt-5,,,,demo,medium\n"
            "2026-12-01T00:01:00Z,claude,sevenDay,42.0,3.25,2026-12-08T00:00:00Z,\"Opus, \"\"4\"\"\",high,\"a,b\",max,"
            "claude.oauth,high\n");
}

TEST_F(SnapshotStoreTest, ExportDefaultsToTheSupportDirectoryAndReportsFailure) {
  SnapshotStore store(file);
  store.append(snap(t0));
  const auto written = store.exportCSV();
  ASSERT_TRUE(written);
  EXPECT_EQ(written->filename(), "quotadial-export.csv");
  EXPECT_TRUE(std::filesystem::exists(*written));
  EXPECT_FALSE(store.exportCSV(dir / "no-such-dir" / "out.csv"));
}

// Runs this test binary again as a second process doing `job` (see
// SnapshotStoreChild.Run). A fresh process, not a fork: the store starts a thread,
// which a forked copy of a threaded process may not do under ThreadSanitizer.
pid_t spawnChild(const std::string& job) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::string_view(*e).rfind("QD_STORE_CHILD=", 0) != 0) env.emplace_back(*e);
  env.push_back("QD_STORE_CHILD=" + job);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string self = "/proc/self/exe", filter = "--gtest_filter=SnapshotStoreChild.Run";
  char* argv[] = {self.data(), filter.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (::posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int waitChild(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The second process: "append FILE COUNT" appends COUNT snapshots one by one;
// "limited FILE BYTES" appends one snapshot with the file size limited to BYTES;
// "hold FILE 0" takes the file's lock and stops itself.
TEST(SnapshotStoreChild, Run) {
  const char* job = std::getenv("QD_STORE_CHILD");
  if (!job) GTEST_SKIP() << "only run as a child of the tests below";
  std::istringstream in(job);
  std::string mode, path;
  long long n = 0;
  in >> mode >> path >> n;
  const Timestamp t0 = at("2026-12-01T00:00:00Z");
  if (mode == "limited") {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{static_cast<rlim_t>(n), static_cast<rlim_t>(n)};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (mode == "hold") {  // takes the lock and stops, as a suspended bridge would
    int fd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) std::_Exit(3);
    ::raise(SIGSTOP);
    std::_Exit(0);
  }
  SnapshotStore store(path);
  if (mode == "limited") store.append(snap(addSeconds(t0, 1)));
  for (int i = 1; mode == "append" && i <= n; ++i) store.append(snap(addSeconds(t0, i)));
}

// Writes with the file-size limit just above the current size, so the line is cut
// short; the store must undo the partial write and keep the file as it was.
TEST_F(SnapshotStoreTest, FailedAppendLeavesTheFileAsItWas) {
  {
    SnapshotStore store(file);
    store.append(snap(t0));
  }
  const std::string before = fileText(file);
  const pid_t pid = spawnChild("limited " + file.string() + " " + std::to_string(before.size() + 20));
  ASSERT_GT(pid, 0);
  ASSERT_EQ(waitChild(pid), 0);
  EXPECT_EQ(fileText(file), before);
}

// Another process appends (as the status-line bridge does) while this one prunes
// over and over; the lock must keep every appended line.
TEST_F(SnapshotStoreTest, ConcurrentAppendAndPruneLoseNoLine) {
  constexpr int kLines = 400;
  SnapshotStore store(file);
  store.append(snap(t0));
  const pid_t pid = spawnChild("append " + file.string() + " " + std::to_string(kLines));
  ASSERT_GT(pid, 0);
  int prunes = 0;
  int status = 0;
  for (;;) {
    store.prune(3650, addSeconds(t0, 1));
    ++prunes;
    if (::waitpid(pid, &status, WNOHANG) == pid) break;
  }
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_GT(prunes, 1);
  EXPECT_EQ(store.all()->size(), static_cast<size_t>(kLines + 1));
}

// A lock held by a stopped process: appends go ahead after a bounded wait (the
// next ones hardly wait at all), a prune gives up, and reads never wait.
TEST_F(SnapshotStoreTest, StoppedLockHolderDelaysWritesBoundedly) {
  SnapshotStore store(file);
  store.append(snap(t0));
  const pid_t pid = spawnChild("hold " + file.string() + " 0");
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, WUNTRACED), pid);
  ASSERT_TRUE(WIFSTOPPED(status));

  const auto started = std::chrono::steady_clock::now();
  store.append(snap(addSeconds(t0, 1)));
  store.append(snap(addSeconds(t0, 2)));
  store.prune(0, addSeconds(t0, 10));  // would drop everything
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(store.all()->size(), 3u);
  EXPECT_EQ(JSONLines::decodeLines(fileText(file)).size(), 3u);
  // Generous against a busy machine: one full wait, then short ones.
  EXPECT_LT(waited, 3 * SnapshotStore::kLockWait);

  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  store.prune(0, addSeconds(t0, 10));
  EXPECT_TRUE(store.all()->empty());
}

class SnapshotStoreSpanTest : public SnapshotStoreTest {
 protected:
  // 40,000 lines, one every 5 minutes (about 139 days), two series alternating.
  void SetUp() override {
    std::string text;
    for (int i = 0; i < kLines; ++i)
      text += lineOf(snap(addSeconds(t0, i * 300.0), i % 2 ? Provider::claude : Provider::codex,
                          i % 2 ? WindowKind::sevenDay : WindowKind::fiveHour, i % 100));
    appendRaw(file, text);
    end = addSeconds(t0, (kLines - 1) * 300.0);
  }
  std::vector<UsageSnapshot> fileSince(Timestamp since) {
    std::vector<UsageSnapshot> out;
    for (auto& s : JSONLines::decodeLines(fileText(file)))
      if (s.timestamp >= since) out.push_back(std::move(s));
    return out;
  }
  static constexpr int kLines = 40'000;
  Timestamp end;
};

// The recent read decodes only the end of the file, and then follows the file
// as a full decode from that time on would.
TEST_F(SnapshotStoreSpanTest, RecentReadsBackOnlyAsFarAsAsked) {
  SnapshotStore store(file);
  const Timestamp since = addSeconds(end, -8 * 86400.0);
  const auto fileSize = static_cast<int64_t>(std::filesystem::file_size(file));
  EXPECT_EQ(*store.recent(since), fileSince(since));
  EXPECT_LT(store.readStats().bytesDecoded, fileSize / 3);

  const std::string next = lineOf(snap(addSeconds(end, 60), Provider::claude, WindowKind::sevenDay, 7));
  struct Step {
    const char* name;
    std::function<void()> change;
  };
  const Step steps[] = {
      {"appended by the store", [&] { store.append(snap(addSeconds(end, 30))); }},
      {"appended by another writer", [&] { appendRaw(file, next); }},
      {"an old line appended", [&] { appendRaw(file, lineOf(snap(addSeconds(since, -60)))); }},
      {"half a line", [&] { appendRaw(file, next.substr(0, 30)); }},
      {"the rest", [&] { appendRaw(file, next.substr(30)); }},
      {"replaced by rename", [&] { ASSERT_TRUE(writeFileAtomically(file, next + next)); }},
  };
  for (const auto& step : steps) {
    step.change();
    EXPECT_EQ(*store.recent(since), fileSince(since)) << step.name;
  }
}

TEST_F(SnapshotStoreSpanTest, LaterStartTrimsEarlierStartReadsBack) {
  SnapshotStore store(file);
  const Timestamp week = addSeconds(end, -7 * 86400.0);
  EXPECT_EQ(*store.recent(week), fileSince(week));
  const Timestamp twoDays = addSeconds(end, -2 * 86400.0);
  EXPECT_EQ(*store.recent(twoDays), fileSince(twoDays));  // trimmed: more than a day later
  const Timestamp month = addSeconds(end, -30 * 86400.0);
  EXPECT_EQ(*store.recent(month), fileSince(month));
  EXPECT_EQ(store.readStats().fullDecodes, 2u);
  EXPECT_EQ(store.all()->size(), static_cast<size_t>(kLines));
}

TEST_F(SnapshotStoreSpanTest, NewestPerSeriesFollowsAppends) {
  SnapshotStore store(file);
  auto codex = store.newest(Provider::codex, WindowKind::fiveHour);
  ASSERT_TRUE(codex);
  EXPECT_EQ(codex->timestamp, addSeconds(end, -300));
  EXPECT_EQ(store.newest(Provider::claude, WindowKind::sevenDay)->timestamp, end);
  EXPECT_FALSE(store.newest(Provider::claude, WindowKind::fiveHour));
  // The default span reaches back a few days, not to the start of the file.
  EXPECT_LT(store.readStats().bytesDecoded, static_cast<int64_t>(std::filesystem::file_size(file)) / 3);

  store.append({snap(addSeconds(end, 10), Provider::claude, WindowKind::fiveHour, 1),
                snap(addSeconds(end, 10), Provider::claude, WindowKind::fiveHour, 2),
                snap(addSeconds(end, -3600), Provider::claude, WindowKind::sevenDay, 3)});
  EXPECT_EQ(store.newest(Provider::claude, WindowKind::fiveHour)->usedPercent, 2);  // the later line on equal times
  EXPECT_EQ(store.newest(Provider::claude, WindowKind::sevenDay)->timestamp, end);   // an older line changes nothing
  EXPECT_EQ(store.readStats().incrementalDecodes, 1u);
}

// A month back is more than a mebibyte of lines: the reader state is saved, and
// a later store (another process) starts from it, decoding only what was added.
TEST_F(SnapshotStoreSpanTest, ALaterStoreStartsFromTheSavedReaderState) {
  const Timestamp month = addSeconds(end, -30 * 86400.0);
  const std::string next = lineOf(snap(addSeconds(end, 60), Provider::claude, WindowKind::sevenDay, 7));
  {
    SnapshotStore first(file);
    EXPECT_EQ(*first.recent(month), fileSince(month));
    EXPECT_EQ(first.readStats().checkpointsSaved, 1u);
  }  // the save has landed once the store is gone
  ASSERT_TRUE(std::filesystem::exists(dir / "snapshots.ndjson.checkpoint"));

  struct Step {
    const char* name;
    std::function<void()> change;
    Timestamp since;
  };
  const Step steps[] = {
      {"unchanged", [] {}, month},
      {"appended by another writer", [&] { appendRaw(file, next); }, month},
      {"half a line more", [&] { appendRaw(file, next.substr(0, 30)); }, month},
      {"asked for a shorter span", [] {}, addSeconds(end, -7 * 86400.0)},
  };
  for (const auto& step : steps) {
    step.change();
    SnapshotStore later(file);
    EXPECT_EQ(*later.recent(step.since), fileSince(step.since)) << step.name;
    EXPECT_EQ(later.readStats().checkpointsLoaded, 1u) << step.name;
    EXPECT_EQ(later.readStats().fullDecodes, 0u) << step.name;
    EXPECT_LT(later.readStats().bytesDecoded, 4096) << step.name;
  }
}

// Whatever happened to the file or the saved state, a later store reads what the
// file holds: the saved state is taken only when it still describes the file.
TEST_F(SnapshotStoreSpanTest, TheSavedStateIsIgnoredWhenItNoLongerFits) {
  const Timestamp month = addSeconds(end, -30 * 86400.0);
  const auto checkpoint = dir / "snapshots.ndjson.checkpoint";
  const auto rewriteByte = [](const std::filesystem::path& p, std::function<size_t(const std::string&)> where) {
    std::string text = readWholeFile(p, int64_t{1} << 30).value_or("");
    ASSERT_FALSE(text.empty());
    const size_t at = where(text);
    text[at] = text[at] == '1' ? '2' : '1';
    // In place, keeping the inode; the modification time is put back as it was.
    struct stat st {};
    ASSERT_EQ(::stat(p.c_str(), &st), 0);
    int fd = ::open(p.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, text.data() + at, 1, static_cast<off_t>(at)), 1);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::futimens(fd, times), 0);
    ::close(fd);
  };
  struct Case {
    const char* name;
    std::function<void()> change;
    Timestamp since;
  };
  const Case cases[] = {
      {"a first reading changed in place, same size and time",
       [&] { rewriteByte(file, [](const std::string& t) { return t.find("\"usedPercent\":") + 14; }); }, month},
      {"a byte before the saved end changed, same size and time",
       [&] { rewriteByte(file, [](const std::string& t) { return t.size() - 40; }); }, month},
      {"the file replaced", [&] { ASSERT_TRUE(writeFileAtomically(file, fileText(file))); }, month},
      {"the file cut", [&] { ::truncate(file.c_str(), 4096 * 10); }, month},
      {"asked for more than was saved", [] {}, addSeconds(end, -60 * 86400.0)},
      {"everything asked for", [] {}, Timestamp::min()},
      {"the saved state damaged",
       [&] { rewriteByte(checkpoint, [](const std::string& t) { return t.size() / 2; }); }, month},
      {"the saved state cut short", [&] { std::filesystem::resize_file(checkpoint, 100); }, month},
      {"the saved state is a directory",
       [&] {
         std::filesystem::remove(checkpoint);
         std::filesystem::create_directory(checkpoint);
       },
       month},
      {"the saved state is a FIFO",
       [&] {
         std::filesystem::remove(checkpoint);
         ASSERT_EQ(::mkfifo(checkpoint.c_str(), 0600), 0);
       },
       month},
  };
  const std::string original = fileText(file);
  for (const auto& c : cases) {
    std::filesystem::remove_all(checkpoint);
    ASSERT_TRUE(writeFileAtomically(file, original));
    {
      SnapshotStore first(file);
      (void)first.recent(month);
    }
    ASSERT_TRUE(std::filesystem::is_regular_file(checkpoint)) << c.name;
    c.change();
    SnapshotStore later(file);
    EXPECT_EQ(*later.recent(c.since), fileSince(c.since)) << c.name;
    EXPECT_EQ(later.readStats().checkpointsLoaded, 0u) << c.name;
  }
}

TEST_F(SnapshotStoreSpanTest, PruneAndClearRemoveTheSavedState) {
  const auto checkpoint = dir / "snapshots.ndjson.checkpoint";
  for (const bool prune : {true, false}) {
    {
      SnapshotStore first(file);
      (void)first.recent(addSeconds(end, -30 * 86400.0));
    }
    ASSERT_TRUE(std::filesystem::exists(checkpoint));
    {
      SnapshotStore store(file);
      if (prune) store.prune(100, end);
      else store.clear();
    }
    EXPECT_FALSE(std::filesystem::exists(checkpoint)) << (prune ? "prune" : "clear");
    if (!prune) break;
  }
}

// Export and the dump list every stored line, oldest first, whether or not the
// file is in time order.
TEST_F(SnapshotStoreTest, StreamedListingHoldsEveryLineInTimeOrder) {
  for (bool ordered : {true, false}) {
    std::filesystem::remove(file);
    std::string text;
    std::vector<UsageSnapshot> expected;
    for (int i = 0; i < 9000; ++i) {  // a few blocks
      const double offset = ordered ? i : (i * 7919) % 9000;
      auto s = snap(addSeconds(t0, offset), Provider::codex, WindowKind::fiveHour, i % 100);
      expected.push_back(s);
      text += lineOf(s);
      if (i == 4000) text += "not json\n";
    }
    appendRaw(file, text);
    std::stable_sort(expected.begin(), expected.end(),
                     [](const UsageSnapshot& a, const UsageSnapshot& b) { return a.timestamp < b.timestamp; });
    SnapshotStore store(file);
    size_t announced = 0;
    std::vector<UsageSnapshot> listed;
    ASSERT_TRUE(store.forEachByTime([&](size_t n) { announced = n; },
                                    [&](const UsageSnapshot& s) { listed.push_back(s); }));
    EXPECT_EQ(announced, expected.size()) << ordered;
    EXPECT_EQ(listed, expected) << ordered;
    const auto csv = store.exportCSV(dir / "out.csv");
    ASSERT_TRUE(csv);
    EXPECT_EQ(fileText(*csv), snapshotsCSV(expected)) << ordered;
  }
}

}  // namespace
}  // namespace qd
