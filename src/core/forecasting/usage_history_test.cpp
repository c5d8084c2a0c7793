#include "forecasting/usage_history.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include <nlohmann/json.hpp>

#include "app/manual_main_loop.h"
#include "forecasting/pricing.h"
#include "storage/atomic_file.h"
#include "testing/shipped_prices.h"

namespace qd {
namespace {

namespace fs = std::filesystem;

// Sets TZ for one test and restores it afterwards.
class ScopedTZ {
 public:
  explicit ScopedTZ(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTZ() {
    if (old_) ::setenv("TZ", old_->c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> old_;
};

Timestamp at(const char* iso) { return *parseISO8601(iso); }

// A home with both tools' transcript trees in a fresh temporary directory.
class TranscriptTree {
 public:
  TranscriptTree() {
    char tmpl[] = "/tmp/qd-history-XXXXXX";
    root_ = ::mkdtemp(tmpl);
    fs::create_directories(root_ / "claude" / "projects");
    fs::create_directories(root_ / "codex" / "sessions");
    fs::create_directories(root_ / "codex" / "archived_sessions");
    fs::create_directories(root_ / "support");
  }
  ~TranscriptTree() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  fs::path claude(const std::string& rel) const { return root_ / "claude" / "projects" / rel; }
  fs::path codex(const std::string& rel) const { return root_ / "codex" / "sessions" / rel; }
  fs::path archived(const std::string& rel) const { return root_ / "codex" / "archived_sessions" / rel; }
  fs::path cacheFile() const { return root_ / "support" / "usage-history-cache.json"; }

  // Writes `bytes` and sets the modification time.
  static void write(const fs::path& path, const std::string& bytes, Timestamp mtime) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    setMtime(path, mtime);
  }
  static void append(const fs::path& path, const std::string& bytes, Timestamp mtime) {
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
    setMtime(path, mtime);
  }
  static void setMtime(const fs::path& path, Timestamp mtime) {
    const int64_t us = mtime.time_since_epoch().count();
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = us / 1'000'000;
    times[0].tv_nsec = times[1].tv_nsec = (us % 1'000'000) * 1000;
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  }

  UsageHistory::Options options(const Clock& clock, unsigned threads = 0) const {
    UsageHistory::Options o;
    o.claudeProjects = (root_ / "claude" / "projects").string();
    o.codexDirectories = {(root_ / "codex" / "sessions").string(), (root_ / "codex" / "archived_sessions").string()};
    o.cacheFile = cacheFile().string();
    o.clock = &clock;
    o.scanThreads = threads;
    o.prices = qd::testing::shippedPrices();
    return o;
  }

 private:
  fs::path root_;
};

std::string claudeLine(const std::string& ts, int64_t input, int64_t output = 0, const std::string& ids = "",
                       const std::string& model = "claude-sonnet-4-5") {
  return R"({"type":"assistant","timestamp":")" + ts + R"(",)" + ids + R"("message":{"model":")" + model +
         R"(","usage":{"input_tokens":)" + std::to_string(input) + R"(,"output_tokens":)" + std::to_string(output) +
         R"(,"cache_read_input_tokens":0,"cache_creation_input_tokens":0}}})" + "\n";
}

// Claude Code's shape: the message id inside `message`, the request id at the top.
std::string pairedLine(const std::string& ts, int64_t input, const std::string& msg, const std::string& req) {
  return R"({"type":"assistant","timestamp":")" + ts + R"(","requestId":")" + req + R"(","message":{"id":")" + msg +
         R"(","model":"claude-sonnet-4-5","usage":{"input_tokens":)" + std::to_string(input) +
         R"(,"output_tokens":0}}})" + "\n";
}

std::string codexLine(const std::string& ts, int64_t total) {
  return R"({"timestamp":")" + ts + R"(","type":"event_msg","payload":{"type":"token_count","info":{"last_token_usage":{"input_tokens":)" +
         std::to_string(total) + R"(,"cached_input_tokens":0,"output_tokens":0,"reasoning_output_tokens":0,"total_tokens":)" +
         std::to_string(total) + "}}}}\n";
}

int64_t day(const UsageHistory& h, Provider p, const std::string& key) {
  const auto t = h.tables();
  const auto& m = t->dailyTokens[p == Provider::codex ? 0 : 1];
  auto it = m.find(key);
  return it == m.end() ? 0 : it->second;
}

int64_t hour(const UsageHistory& h, Provider p, int key) {
  const auto t = h.tables();
  const auto& m = t->hourlyTokens[p == Provider::codex ? 0 : 1];
  auto it = m.find(key);
  return it == m.end() ? 0 : it->second;
}

class UsageHistoryTest : public ::testing::Test {
 protected:
  ManualClock clock{at("2025-03-10T12:00:00Z")};
  TranscriptTree tree;
  Timestamp recent = at("2025-03-10T11:00:00Z");
};

// ---- day and hour keys ---------------------------------------------------------

struct KeyCase {
  const char* tz;
  const char* timestamp;
  const char* dayKey;
  int hour;
};

class LocalKeys : public UsageHistoryTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(LocalKeys, LinesAreKeyedByLocalDayAndHour) {
  const KeyCase& c = GetParam();
  ScopedTZ tz(c.tz);
  TranscriptTree::write(tree.claude("p/a.jsonl"), claudeLine(c.timestamp, 100, 50), recent);
  UsageHistory history(tree.options(clock));
  history.refreshSync();
  EXPECT_EQ(day(history, Provider::claude, c.dayKey), 150);
  EXPECT_EQ(hour(history, Provider::claude, c.hour), 150);
}

INSTANTIATE_TEST_SUITE_P(
    Zones, LocalKeys,
    ::testing::Values(KeyCase{"UTC0", "2025-03-04T10:11:12.000Z", "2025-03-04", 10},
                      // Evening work west of UTC stays on its local day.
                      KeyCase{"America/New_York", "2025-03-05T02:30:00Z", "2025-03-04", 21},
                      // Across the spring-forward change: 01:30 EST, then 03:30 EDT.
                      KeyCase{"America/New_York", "2025-03-09T06:30:00Z", "2025-03-09", 1},
                      KeyCase{"America/New_York", "2025-03-09T07:30:00Z", "2025-03-09", 3},
                      KeyCase{"Asia/Kolkata", "2025-03-04T18:45:00Z", "2025-03-05", 0},
                      KeyCase{"Pacific/Auckland", "2025-03-04T11:00:00+00:00", "2025-03-05", 0}));

TEST_F(UsageHistoryTest, UnparseableTimestampsFallBackToTheirText) {
  ScopedTZ tz("EST5");
  TranscriptTree::write(tree.claude("p/a.jsonl"),
                        claudeLine("2025-03-04T03:xx:00Z", 10) + claudeLine("2025-03-04T1", 5) + claudeLine("2025-03-0", 1),
                        recent);
  UsageHistory history(tree.options(clock));
  EXPECT_EQ(history.tzOffsetHours(), -5);
  history.refreshSync();
  EXPECT_EQ(day(history, Provider::claude, "2025-03-04"), 15);
  EXPECT_EQ(hour(history, Provider::claude, 22), 10);  // 03 − 5, wrapped
  int64_t hours = 0;
  for (const auto& [h, n] : history.tables()->hourlyTokens[1]) hours += n;
  EXPECT_EQ(hours, 10);  // the 12-character timestamp has no hour
}

// ---- sources, spend, cache -----------------------------------------------------

TEST_F(UsageHistoryTest, ReadsBothToolsAndPricesTheirSpend) {
  ScopedTZ tz("UTC0");
  TranscriptTree::write(tree.codex("2025/03/10/rollout-1.jsonl"),
                        codexLine("2025-03-10T09:00:00Z", 1000) + R"({"payload":{"type":"token_count"}})" "\n",
                        recent);
  TranscriptTree::write(tree.archived("rollout-0.jsonl"), codexLine("2025-03-09T09:00:00Z", 500), recent);
  TranscriptTree::write(tree.claude("-home-u-proj/s1.jsonl"),
                        claudeLine("2025-03-10T08:00:00Z", 1'000'000, 0, "", "claude-opus-4-8") + "garbage\n",
                        recent);
  TranscriptTree::write(tree.claude("-home-u-proj/s1/subagents/agent-1.jsonl"),
                        claudeLine("2025-03-10T08:30:00Z", 200), recent);
  TranscriptTree::write(tree.claude("-home-u-proj/notes.json"), claudeLine("2025-03-10T08:30:00Z", 999), recent);
  TranscriptTree::write(tree.claude("-home-u-proj/.hidden/x.jsonl"), claudeLine("2025-03-10T08:40:00Z", 1), recent);
  UsageHistory history(tree.options(clock));
  history.refreshSync();
  EXPECT_EQ(history.tokens(Provider::codex, at("2025-03-09T00:00:00Z")), 1500);
  EXPECT_EQ(history.tokens(Provider::claude, at("2025-03-10T00:00:00Z")), 1'000'201);
  EXPECT_DOUBLE_EQ(history.costUSD(Provider::codex, at("2025-03-10T00:00:00Z")), 1000 * 1.25 / 1e6);
  // An Opus newer than the price list: today's Opus rates, named as a fallback.
  EXPECT_DOUBLE_EQ(history.costUSD(Provider::claude, at("2025-03-10T00:00:00Z")), 5.0 + 201 * 3.0 / 1e6);
  const auto notes = history.pricingNotes();
  const auto has = [&notes](const std::string& line) { return std::find(notes.begin(), notes.end(), line) != notes.end(); };
  EXPECT_TRUE(has("Claude Code models priced by family fallback: claude-opus-4-8")) << ::testing::PrintToString(notes);
  EXPECT_TRUE(has("Codex models priced by family fallback: (no model named)")) << ::testing::PrintToString(notes);
}

// Transcripts and rollouts written by the real programs, with the reference
// counters' figures for them (tests/fixtures/real, made by the real-program tests).
TEST(UsageHistoryOfTheRealPrograms, TokensEqualAndSpendAgreesWithTheReferenceCounters) {
  const fs::path real = fs::path(QUOTADIAL_TEST_FIXTURES_DIR) / "real";
  const auto expectedText = readWholeFile(real / "expected.json");
  if (!expectedText) GTEST_SKIP() << "no files of the real programs under " << real;
  const auto want = nlohmann::json::parse(*expectedText, nullptr, false);
  ASSERT_TRUE(want.is_object());
  const std::string recordedDay = want.value("recordedDay", "");
  ScopedTZ tz("UTC0");
  TranscriptTree tree;
  ManualClock clock{at((recordedDay + "T23:00:00Z").c_str())};
  const Timestamp written = at((recordedDay + "T22:00:00Z").c_str());
  auto copyTree = [&](const fs::path& from, const std::function<fs::path(const std::string&)>& to) {
    for (const auto& entry : fs::recursive_directory_iterator(from))
      if (entry.is_regular_file())
        TranscriptTree::write(to(fs::relative(entry.path(), from).string()), *readWholeFile(entry.path()), written);
  };
  copyTree(real / "codex" / "sessions", [&](const std::string& rel) { return tree.codex(rel); });
  copyTree(real / "claude" / "projects", [&](const std::string& rel) { return tree.claude(rel); });
  UsageHistory history(tree.options(clock));
  history.refreshSync();
  const Timestamp dayStart = at((recordedDay + "T00:00:00Z").c_str());
  for (const auto& [provider, key] : {std::pair{Provider::codex, "codex"}, std::pair{Provider::claude, "claude"}}) {
    const auto& figures = want[key];
    EXPECT_EQ(day(history, provider, recordedDay), figures.value("totalTokens", int64_t{-1})) << key;
    const double reference = figures.value("costUSD", 0.0);
    EXPECT_NEAR(history.costUSD(provider, dayStart), reference, reference * 0.01) << key;
  }
}

TEST_F(UsageHistoryTest, FiguresKeyedInAnotherTimeZoneAreMadeAgain) {
  const auto file = tree.claude("p/a.jsonl");
  // 02:30 UTC on the 10th is the evening of the 9th in Los Angeles.
  TranscriptTree::write(file, claudeLine("2025-03-10T02:30:00Z", 100), recent);
  {
    ScopedTZ tz("UTC0");
    UsageHistory history(tree.options(clock));
    history.refreshSync();
    EXPECT_EQ(day(history, Provider::claude, "2025-03-10"), 100);
  }
  ScopedTZ tz("America/Los_Angeles");
  UsageHistory history(tree.options(clock));
  history.refreshSync();  // the file is unchanged; its cached figures are not
  EXPECT_EQ(day(history, Provider::claude, "2025-03-10"), 0);
  EXPECT_EQ(day(history, Provider::claude, "2025-03-09"), 100);
  EXPECT_EQ(hour(history, Provider::claude, 19), 100);
  // A change of zone while running is picked up by the next refresh.
  ::setenv("TZ", "Asia/Tokyo", 1);
  ::tzset();
  history.refreshSync();
  EXPECT_EQ(day(history, Provider::claude, "2025-03-10"), 100);
  EXPECT_EQ(day(history, Provider::claude, "2025-03-09"), 0);
  EXPECT_EQ(hour(history, Provider::claude, 11), 100);
}

TEST_F(UsageHistoryTest, SpendIsMadeAgainWhenThePricesChange) {
  ScopedTZ tz("UTC0");
  TranscriptTree::write(tree.claude("p/a.jsonl"), claudeLine("2025-03-10T08:00:00Z", 1'000'000, 0, "", "claude-opus-4-5"),
                        recent);
  {
    UsageHistory history(tree.options(clock));
    history.refreshSync();
    EXPECT_DOUBLE_EQ(history.costUSD(Provider::claude, at("2025-03-10T00:00:00Z")), 5.0);
  }
  auto options = tree.options(clock);
  auto cheaper = PriceList::parse(R"({"models":[{"provider":"claude","ids":["claude-opus-4-5"],"input":4,"output":20}]})");
  ASSERT_TRUE(cheaper);
  options.prices = std::make_shared<const PriceList>(PriceList::merged(cheaper->list, *options.prices));
  UsageHistory history(options);
  history.refreshSync();
  EXPECT_DOUBLE_EQ(history.costUSD(Provider::claude, at("2025-03-10T00:00:00Z")), 4.0);
}

TEST_F(UsageHistoryTest, FilesOlderThanSixteenDaysAreLeftOut) {
  ScopedTZ tz("UTC0");
  TranscriptTree::write(tree.claude("p/old.jsonl"), claudeLine("2025-02-01T08:00:00Z", 10), at("2025-02-21T11:00:00Z"));
  TranscriptTree::write(tree.claude("p/live.jsonl"), claudeLine("2025-02-01T08:00:00Z", 5), at("2025-02-23T13:00:00Z"));
  UsageHistory history(tree.options(clock));
  history.refreshSync();
  // A file still being written keeps its older days.
  EXPECT_EQ(day(history, Provider::claude, "2025-02-01"), 5);
}

TEST_F(UsageHistoryTest, UnchangedFilesComeFromTheCacheAndChangedOnesAreReparsed) {
  ScopedTZ tz("UTC0");
  const auto file = tree.claude("p/a.jsonl");
  TranscriptTree::write(file, claudeLine("2025-03-10T08:00:00Z", 100), recent);
  {
    UsageHistory history(tree.options(clock));
    history.refreshSync();
    EXPECT_EQ(day(history, Provider::claude, "2025-03-10"), 100);
  }
  ASSERT_TRUE(fs::exists(tree.cacheFile()));
  // Same size and time, other content: a fresh start still takes the cached figures.
  TranscriptTree::write(file, claudeLine("2025-03-10T08:00:00Z", 900), recent);
  UsageHistory history(tree.options(clock));
  EXPECT_EQ(day(history, Provider::claude, "2025-03-10"), 100);  // from the cache, before any scan
  history.refreshSync();
  EXPECT_EQ(day(history, Provider::claude, "2025-03-10"), 100);
  // Touching it makes the next scan read it again.
  TranscriptTree::setMtime(file, at("2025-03-10T11:30:00Z"));
  history.refreshSync();
  EXPECT_EQ(day(history, Provider::claude, "2025-03-10"), 900);
  // Deleting it drops it from the tables.
  fs::remove(file);
  history.refreshSync();
  EXPECT_EQ(day(history, Provider::claude, "2025-03-10"), 0);
}

TEST_F(UsageHistoryTest, ALineThatIsNotUTF8CountsNothingAndTheRestOfItsFileCounts) {
  ScopedTZ tz("UTC0");
  // A stray byte on its own line, and a line torn inside a character.
  TranscriptTree::write(tree.claude("p/bad.jsonl"),
                        claudeLine("2025-03-10T08:00:00Z", 100) + "\xFF\xFE\n" +
                            R"({"timestamp":"2025-03-10T08:00:00Z","t":")" "\xE2\x82" R"(","usage":{"input_tokens":50}})" "\n" +
                            claudeLine("2025-03-10T09:00:00Z", 20),
                        recent);
  TranscriptTree::write(tree.claude("p/good.jsonl"), claudeLine("2025-03-10T08:00:00Z", 7), recent);
  UsageHistory history(tree.options(clock));
  history.refreshSync();
  EXPECT_EQ(day(history, Provider::claude, "2025-03-10"), 127);
}

struct CacheShape {
  const char* name;
  std::string json;
};

class CacheOfAnyShape : public UsageHistoryTest, public ::testing::WithParamInterface<CacheShape> {};

TEST_P(CacheOfAnyShape, IsDiscardedWholeAndRebuilt) {
  ScopedTZ tz("UTC0");
  const auto file = tree.claude("p/a.jsonl");
  TranscriptTree::write(file, claudeLine("2025-03-10T08:00:00Z", 42), recent);
  ASSERT_TRUE(writeFileAtomically(tree.cacheFile(), GetParam().json));
  UsageHistory history(tree.options(clock));
  EXPECT_EQ(day(history, Provider::claude, "2025-03-10"), 0);
  history.refreshSync();
  EXPECT_EQ(day(history, Provider::claude, "2025-03-10"), 42);
  // The rebuilt cache decodes.
  UsageHistory again(tree.options(clock));
  EXPECT_EQ(day(again, Provider::claude, "2025-03-10"), 42);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CacheOfAnyShape,
    ::testing::Values(
        CacheShape{"empty", ""}, CacheShape{"not json", "\x01\x02garbage"}, CacheShape{"array", "[1,2,3]"},
        CacheShape{"entry lacking mtime",
                   R"({"/x.jsonl":{"size":1,"mtime":5,"provider":"claude","byDay":{"2025-03-10":1000}},"/y.jsonl":{"size":1,"provider":"claude","byDay":{}}})"},
        CacheShape{"size not an integer", R"({"/x.jsonl":{"size":"1","mtime":5,"provider":"claude","byDay":{}}})"},
        CacheShape{"byDay value not an integer", R"({"/x.jsonl":{"size":1,"mtime":5,"provider":"claude","byDay":{"d":1.5}}})"},
        CacheShape{"truncated", R"({"/x.jsonl":{"size":1,"mtime":5,"provider":"claude","byDay":{)"},
        CacheShape{"bad keyed entry", R"({"/x.jsonl":{"size":1,"mtime":5,"provider":"claude","byDay":{},"keyed":[["zz",1,2,3,"2025-03-10",4]]}})"},
        CacheShape{"trailing bytes", R"({} {})"}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (char& ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

TEST_F(UsageHistoryTest, CacheWithoutOptionalMembersAndWithUnknownProvidersIsRead) {
  ScopedTZ tz("UTC0");
  const std::string json =
      R"({"/gone/a.jsonl":{"size":1,"mtime":5,"provider":"claude","byDay":{"2025-03-10":70}},)"
      R"("/gone/b.jsonl":{"size":1,"mtime":5,"provider":"gemini","byDay":{"2025-03-10":9}},)"
      R"("/gone/c.jsonl":{"size":1,"mtime":5.5,"provider":"codex","byDay":{"2025-03-09":3},"byHour":{"+7":3,"x":1},"byDayCost":{"2025-03-09":0.25}}})";
  ASSERT_TRUE(writeFileAtomically(tree.cacheFile(), json));
  UsageHistory history(tree.options(clock));
  EXPECT_EQ(day(history, Provider::claude, "2025-03-10"), 70);
  EXPECT_EQ(day(history, Provider::codex, "2025-03-09"), 3);
  EXPECT_EQ(hour(history, Provider::codex, 7), 3);
  EXPECT_DOUBLE_EQ(history.costUSD(Provider::codex, at("2025-03-01T00:00:00Z")), 0.25);
}

// ---- counting each (message.id, requestId) pair once -----------------------------------

TEST_F(UsageHistoryTest, RepeatedPairsCountOnceAcrossFilesByTheirLargestLine) {
  ScopedTZ tz("UTC0");
  const auto a = tree.claude("p/a.jsonl");
  const auto b = tree.claude("p/b.jsonl");
  // One message written as three content-block lines, then resumed in another file.
  TranscriptTree::write(a,
                        pairedLine("2025-03-10T08:00:00Z", 100, "msg_1", "req_1") +
                            pairedLine("2025-03-10T08:00:01Z", 120, "msg_1", "req_1") +
                            pairedLine("2025-03-10T08:00:02Z", 120, "msg_1", "req_1") +
                            pairedLine("2025-03-10T08:05:00Z", 10, "msg_2", "req_2") + claudeLine("2025-03-10T08:06:00Z", 1) +
                            claudeLine("2025-03-10T08:06:00Z", 1),
                        recent);
  TranscriptTree::write(b,
                        pairedLine("2025-03-10T08:00:01Z", 120, "msg_1", "req_1") +
                            pairedLine("2025-03-10T09:00:00Z", 30, "msg_3", "req_3") +
                            pairedLine("2025-03-10T09:00:00Z", 40, "msg_3", "req_other"),
                        recent);
  UsageHistory history(tree.options(clock));
  history.refreshSync();
  // 120 (msg_1) + 10 + 1 + 1 (lines without a pair count as they are) + 30 + 40.
  EXPECT_EQ(day(history, Provider::claude, "2025-03-10"), 202);
  EXPECT_EQ(hour(history, Provider::claude, 8), 132);
  EXPECT_NEAR(history.costUSD(Provider::claude, at("2025-03-10T00:00:00Z")), 202 * 3.0 / 1e6, 1e-15);

  // The copy in b grows: only b is parsed again, and the pair now counts b's line.
  TranscriptTree::write(b,
                        pairedLine("2025-03-10T10:00:01Z", 500, "msg_1", "req_1") +
                            pairedLine("2025-03-10T09:00:00Z", 30, "msg_3", "req_3") +
                            pairedLine("2025-03-10T09:00:00Z", 40, "msg_3", "req_other"),
                        at("2025-03-10T11:10:00Z"));
  history.refreshSync();
  EXPECT_EQ(day(history, Provider::claude, "2025-03-10"), 582);
  EXPECT_EQ(hour(history, Provider::claude, 8), 12);
  EXPECT_EQ(hour(history, Provider::claude, 10), 500);

  // The winning file goes away: a's line counts again.
  fs::remove(b);
  history.refreshSync();
  EXPECT_EQ(day(history, Provider::claude, "2025-03-10"), 132);

  // The rule survives a restart from the cache file.
  UsageHistory restarted(tree.options(clock));
  EXPECT_EQ(day(restarted, Provider::claude, "2025-03-10"), 132);
}

TEST_F(UsageHistoryTest, ParallelScanEqualsSequentialScan) {
  ScopedTZ tz("Europe/Berlin");
  std::mt19937 rng(7);
  for (int f = 0; f < 40; ++f) {
    std::string body;
    for (int i = 0; i < 50; ++i) {
      const int minute = static_cast<int>(rng() % 60), hourOfDay = static_cast<int>(rng() % 24), d = 1 + static_cast<int>(rng() % 9);
      char ts[40];
      std::snprintf(ts, sizeof ts, "2025-03-%02dT%02d:%02d:00.123Z", d, hourOfDay, minute);
      const std::string id = std::to_string(rng() % 300);
      body += (rng() % 3) ? pairedLine(ts, static_cast<int64_t>(rng() % 5000), "msg_" + id, "req_" + id)
                          : claudeLine(ts, static_cast<int64_t>(rng() % 5000));
    }
    TranscriptTree::write(tree.claude("p" + std::to_string(f % 5) + "/s" + std::to_string(f) + ".jsonl"), body, recent);
    TranscriptTree::write(tree.codex("r" + std::to_string(f) + ".jsonl"), codexLine("2025-03-05T10:00:00Z", f + 1), recent);
  }
  auto sequentialOptions = tree.options(clock, 1);
  sequentialOptions.cacheFile += ".seq";
  UsageHistory sequential(sequentialOptions);
  sequential.refreshSync();
  auto parallelOptions = tree.options(clock, 4);
  parallelOptions.cacheFile += ".par";
  UsageHistory parallel(parallelOptions);
  parallel.refreshSync();
  EXPECT_EQ(*sequential.tables(), *parallel.tables());
  EXPECT_GT(day(parallel, Provider::codex, "2025-03-05"), 0);
}

// ---- queries -----------------------------------------------------------------------

class QueriesTest : public UsageHistoryTest {
 protected:
  void SetUp() override {
    // Daily Claude tokens: 03-07: 100, 03-08: 0, 03-09: 300, 03-10 (today): 0.
    TranscriptTree::write(tree.claude("p/q.jsonl"),
                          claudeLine("2025-03-07T22:00:00Z", 100) + claudeLine("2025-03-09T23:00:00Z", 200) +
                              claudeLine("2025-03-09T23:30:00Z", 100),
                          recent);
  }
  ScopedTZ tz{"UTC0"};
};

TEST_F(QueriesTest, SeriesAveragesAndWeeks) {
  UsageHistory history(tree.options(clock));
  history.refreshSync();
  const Timestamp now = at("2025-03-10T12:00:00Z");
  EXPECT_EQ(history.lastDayKeys(3, now), (std::vector<std::string>{"2025-03-08", "2025-03-09", "2025-03-10"}));
  EXPECT_TRUE(history.lastDayKeys(0, now).empty());
  const auto series = history.recentSeries(Provider::claude, 4, now);
  ASSERT_EQ(series.size(), 4u);
  EXPECT_EQ(series[0], (std::pair<std::string, int64_t>{"2025-03-07", 100}));
  EXPECT_EQ(series[2].second, 300);
  EXPECT_DOUBLE_EQ(history.averageDailyTokens(Provider::claude, 4, now), 200);
  EXPECT_DOUBLE_EQ(history.recencyWeightedDailyTokens(Provider::claude, 7, 0.6, now), 225);
  EXPECT_DOUBLE_EQ(history.averageDailyTokens(Provider::codex, 7, now), 0);
  EXPECT_EQ(history.weeklyTotals(Provider::claude, 2, now), (std::vector<int64_t>{0, 400}));
  // Since 23:30 on a day counts that whole day.
  EXPECT_EQ(history.tokens(Provider::claude, at("2025-03-09T23:30:00Z")), 300);
}

TEST_F(QueriesTest, PeakWindowAndHourlyShares) {
  UsageHistory history(tree.options(clock));
  history.refreshSync();
  const auto peak = history.peakWindow(4);
  ASSERT_TRUE(peak);
  EXPECT_EQ(*peak, std::make_pair(20, 24));
  EXPECT_FALSE(history.peakWindow(25));
  const auto shares = history.normalizedHourly(Provider::claude);
  ASSERT_TRUE(shares);
  EXPECT_DOUBLE_EQ((*shares)[23], 0.75);
  EXPECT_FALSE(history.normalizedHourly(Provider::codex));
  // A full local day of typical use is one effective day; without shares, the span in days.
  EXPECT_NEAR(history.effectiveDays(Provider::claude, at("2025-03-10T00:00:00Z"), at("2025-03-11T00:00:00Z")), 1, 1e-12);
  EXPECT_NEAR(history.effectiveDays(Provider::claude, at("2025-03-10T21:30:00Z"), at("2025-03-10T23:30:00Z")), 0.25 + 0.75 * 0.5, 1e-12);
  EXPECT_DOUBLE_EQ(history.effectiveDays(Provider::codex, at("2025-03-10T00:00:00Z"), at("2025-03-11T12:00:00Z")), 1.5);
  EXPECT_EQ(history.effectiveDays(Provider::claude, at("2025-03-11T00:00:00Z"), at("2025-03-10T00:00:00Z")), 0);
}

TEST_F(UsageHistoryTest, PeakWindowIsNoneWithoutUseAndTakesTheEarlierOfEqualBlocks) {
  ScopedTZ tz("UTC0");
  UsageHistory empty(tree.options(clock));
  EXPECT_FALSE(empty.peakWindow(4));
  TranscriptTree::write(tree.claude("p/a.jsonl"), claudeLine("2025-03-10T02:00:00Z", 10) + claudeLine("2025-03-10T12:00:00Z", 10),
                        recent);
  UsageHistory history(tree.options(clock));
  history.refreshSync();
  EXPECT_EQ(*history.peakWindow(4), std::make_pair(0, 4));
}

// ---- the rolling Claude count and the latest model ---------------------------------------

TEST_F(UsageHistoryTest, RollingCountAnswersFromCacheAndRefreshesInTheBackground) {
  ScopedTZ tz("UTC0");
  const auto file = tree.claude("p/r.jsonl");
  TranscriptTree::write(file,
                        claudeLine("2025-03-10T09:00:00Z", 1000) + pairedLine("2025-03-10T10:00:00Z", 50, "m", "r") +
                            pairedLine("2025-03-10T10:00:00Z", 50, "m", "r") + claudeLine("garbage-time", 7),
                        recent);
  UsageHistory history(tree.options(clock));
  int updates = 0;
  history.setOnCacheUpdated([&updates] { ++updates; });
  const Timestamp since = at("2025-03-10T09:30:00Z");
  EXPECT_EQ(history.rollingClaudeTokens(since), 0);  // cold: the scan is queued
  history.refreshSync();                              // runs after the queued scan
  EXPECT_EQ(updates, 1);
  EXPECT_EQ(history.rollingClaudeTokens(since), 50);
  EXPECT_EQ(history.rollingClaudeTokens(at("2025-03-10T09:30:59Z")), 50);  // same minute, same entry
  EXPECT_EQ(updates, 1);

  // Appended lines show up after the 120-second freshness has passed.
  TranscriptTree::append(file, claudeLine("2025-03-10T11:59:00Z", 5) + claudeLine("2025-03-10T11:59:30Z", 6), at("2025-03-10T12:00:00Z"));
  clock.advance(119);
  EXPECT_EQ(history.rollingClaudeTokens(since), 50);
  history.refreshSync();
  EXPECT_EQ(updates, 1);
  clock.advance(2);
  EXPECT_EQ(history.rollingClaudeTokens(since), 50);  // stale value while the rescan runs
  history.refreshSync();
  EXPECT_EQ(history.rollingClaudeTokens(since), 61);

  // A line still without its line break counts; once replaced by a shorter file, the file is read again.
  TranscriptTree::append(file, R"({"timestamp":"2025-03-10T11:59:40Z","usage":{"input_tokens":4}})", at("2025-03-10T12:00:01Z"));
  clock.advance(121);
  (void)history.rollingClaudeTokens(since);
  history.refreshSync();
  EXPECT_EQ(history.rollingClaudeTokens(since), 65);
  TranscriptTree::write(file, claudeLine("2025-03-10T10:00:00Z", 3), at("2025-03-10T12:00:02Z"));
  clock.advance(121);
  (void)history.rollingClaudeTokens(since);
  history.refreshSync();
  EXPECT_EQ(history.rollingClaudeTokens(since), 3);
}

TEST_F(UsageHistoryTest, RollingCountLeavesOutFilesUntouchedForAnHourBeforeSince) {
  ScopedTZ tz("UTC0");
  // The line's time is after `since`, but the file was last written long before.
  TranscriptTree::write(tree.claude("p/skewed.jsonl"), claudeLine("2025-03-10T11:00:00Z", 10), at("2025-03-10T07:59:00Z"));
  TranscriptTree::write(tree.claude("p/ok.jsonl"), claudeLine("2025-03-10T11:00:00Z", 1), at("2025-03-10T08:00:00Z"));
  UsageHistory history(tree.options(clock));
  const Timestamp since = at("2025-03-10T09:00:00Z");
  (void)history.rollingClaudeTokens(since);
  history.refreshSync();
  EXPECT_EQ(history.rollingClaudeTokens(since), 1);
}

TEST_F(UsageHistoryTest, LatestModelReadsTheNewestTranscriptsFromTheEnd) {
  ScopedTZ tz("UTC0");
  TranscriptTree::write(tree.claude("p/old.jsonl"), claudeLine("2025-03-10T11:00:00Z", 1, 0, "", "claude-opus-4-8"),
                        at("2025-03-10T09:00:00Z"));
  const std::string filler = R"({"type":"user","content":")" + std::string(300'000, 'x') + "\"}\n";
  TranscriptTree::write(tree.claude("p/new.jsonl"),
                        claudeLine("2025-03-10T10:00:00Z", 1, 0, "", "claude-haiku-4-5") + filler +
                            R"({"timestamp":"2025-03-10T10:30:00Z","message":{"model":""}})" "\n" +
                            R"({"timestamp":"nope","message":{"model":"claude-x"}})" "\n",
                        at("2025-03-10T11:00:00Z"));
  UsageHistory history(tree.options(clock));
  auto latest = history.latestClaudeModel();
  ASSERT_TRUE(latest);
  // The older file has the later line.
  EXPECT_EQ(latest->id, "claude-opus-4-8");
  EXPECT_EQ(latest->at, at("2025-03-10T11:00:00Z"));
  auto tail = UsageHistory::tailModel(tree.claude("p/new.jsonl").string());
  ASSERT_TRUE(tail);
  EXPECT_EQ(tail->id, "claude-haiku-4-5");

  // Within 60 seconds the answer is remembered, even when the files change.
  fs::remove(tree.claude("p/old.jsonl"));
  EXPECT_EQ(history.latestClaudeModel()->id, "claude-opus-4-8");
  clock.advance(61);
  EXPECT_EQ(history.latestClaudeModel()->id, "claude-haiku-4-5");
  EXPECT_FALSE(UsageHistory::tailModel(tree.claude("p/missing.jsonl").string()));
}

// ---- one-shot reports and the recent figures file ------------------------------------

// Reports made one after another, each a fresh one-shot history as `quotadial --status` makes it.
class RecentFiguresTest : public UsageHistoryTest {
 protected:
  void SetUp() override {
    // One Claude transcript: 100 tokens today, by Opus.
    TranscriptTree::write(tree.claude("p/a.jsonl"), claudeLine("2025-03-10T11:00:00Z", 100, 0, "", "claude-opus-4-8"),
                          recent);
  }
  UsageHistory::Options report() const {
    auto o = tree.options(clock);
    o.oneShot = true;
    o.reuseRecentFigures = true;
    return o;
  }
  int64_t claudeToday(UsageHistory& h) {
    h.refreshSync();
    return day(h, Provider::claude, "2025-03-10");
  }
  static std::string modelId(UsageHistory& h) {
    const auto m = h.latestClaudeModel();
    return m ? m->id : "none";
  }
  fs::path figuresFile() const { return tree.cacheFile().parent_path() / "usage-figures.json"; }
  static ino_t inode(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
  }
  // Nothing a report could find in the transcripts any more.
  void removeTranscripts() const { fs::remove_all(tree.claude("")); }
};

TEST_F(RecentFiguresTest, AReportTakesUpARecentScanAndWalksAgainOnlyAfterAMinute) {
  ScopedTZ tz("UTC0");
  UsageHistory first(report());
  EXPECT_EQ(claudeToday(first), 100);
  ASSERT_TRUE(fs::exists(figuresFile()));
  const ino_t written = inode(figuresFile());

  // A transcript added now is not seen by a report within the minute, which takes
  // the same tables as they were and leaves the file as it is.
  TranscriptTree::write(tree.claude("p/b.jsonl"), claudeLine("2025-03-10T11:30:00Z", 50), recent);
  clock.advance(UsageHistory::recentScanReuse);
  UsageHistory second(report());
  EXPECT_EQ(claudeToday(second), 100);
  EXPECT_EQ(*second.tables(), *first.tables());
  EXPECT_EQ(inode(figuresFile()), written);
  // The running program always scans (here without a figures file of its own).
  auto running = tree.options(clock);
  running.figuresFile = "";
  UsageHistory collector(std::move(running));
  EXPECT_EQ(claudeToday(collector), 150);

  clock.advance(1);
  UsageHistory third(report());
  EXPECT_EQ(claudeToday(third), 150);
}

TEST_F(RecentFiguresTest, AFiguresFileThatIsWrongInAnyWayIsNotThere) {
  ScopedTZ tz("UTC0");
  struct Case {
    const char* name;
    std::function<void(nlohmann::json&)> tamper;  // or, when empty, `bytes` replace the file
    std::string bytes;
  };
  const int64_t inTenMinutes = (at("2025-03-10T12:10:00Z")).time_since_epoch().count();
  const Case cases[] = {
      {"not JSON", {}, "{\"version\":1,\"key\""},
      {"a document nested too deep", {}, std::string(100'000, '[') + std::string(100'000, ']')},
      {"another version", [](nlohmann::json& j) { j["version"] = 2; }, ""},
      {"made from other folders", [](nlohmann::json& j) { j["key"] = j["key"].get<std::string>() + "x"; }, ""},
      {"a scan in the future", [&](nlohmann::json& j) { j["scannedAt"] = inTenMinutes; }, ""},
      {"a count made in the future", [&](nlohmann::json& j) { j["rolling"] = {{1, inTenMinutes, 5}}; }, ""},
      {"a negative count", [](nlohmann::json& j) { j["rolling"] = {{1, 0, -5}}; }, ""},
      {"an hour out of range", [](nlohmann::json& j) { j["tables"]["claude"]["hourlyTokens"]["24"] = 1; }, ""},
      {"tokens as text", [](nlohmann::json& j) { j["tables"]["claude"]["dailyTokens"]["2025-03-10"] = "100"; }, ""},
      {"tokens beyond 64 bits", [](nlohmann::json& j) { j["tables"]["codex"]["dailyTokens"]["2025-03-10"] = 18446744073709551615ull; }, ""},
      {"a spend that is not finite", [](nlohmann::json& j) { j["tables"]["claude"]["dailyCostUSD"]["2025-03-10"] = 1e308 * 10; }, ""},
      {"no tables", [](nlohmann::json& j) { j.erase("tables"); }, ""},
      {"a model lookup without its time", [](nlohmann::json& j) { j["model"].erase("at"); }, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(figuresFile());
    fs::remove(tree.claude("p/b.jsonl"));
    {
      UsageHistory first(report());
      EXPECT_EQ(claudeToday(first), 100);
      EXPECT_TRUE(first.latestClaudeModel());
    }
    std::string bytes = c.bytes;
    if (c.tamper) {
      auto j = nlohmann::json::parse(std::ifstream(figuresFile()));
      c.tamper(j);
      bytes = j.dump();
    }
    ASSERT_TRUE(writeFileAtomically(figuresFile(), bytes));
    // The report scans as if there were no figures, and writes them anew.
    TranscriptTree::write(tree.claude("p/b.jsonl"), claudeLine("2025-03-10T11:30:00Z", 50), recent);
    UsageHistory second(report());
    EXPECT_EQ(claudeToday(second), 150);
    UsageHistory third(report());
    EXPECT_EQ(claudeToday(third), 150);
  }
}

TEST_F(RecentFiguresTest, CountsAndTheModelAreReusedForAsLongAsTheRunningProgramWould) {
  ScopedTZ tz("UTC0");
  const Timestamp since = at("2025-03-10T10:30:00Z");
  {
    UsageHistory first(report());
    EXPECT_EQ(first.rollingClaudeTokensIfKnown(since), 100);
    EXPECT_EQ(modelId(first), "claude-opus-4-8");
  }
  TranscriptTree::append(tree.claude("p/a.jsonl"), claudeLine("2025-03-10T11:59:00Z", 5, 0, "", "claude-haiku-4-5"),
                         at("2025-03-10T11:59:00Z"));
  struct Step {
    double after;  // seconds since the first report
    int64_t tokens;
    const char* model;
  };
  const Step steps[] = {{UsageHistory::modelTTL - 1, 100, "claude-opus-4-8"},
                        {UsageHistory::modelTTL + 1, 100, "claude-haiku-4-5"},
                        {UsageHistory::rollTTL + 1, 105, "claude-haiku-4-5"}};
  const Timestamp start = clock.now();
  for (const auto& s : steps) {
    SCOPED_TRACE(s.after);
    clock.set(addSeconds(start, s.after));
    UsageHistory next(report());
    EXPECT_EQ(next.rollingClaudeTokensIfKnown(since), s.tokens);
    EXPECT_EQ(modelId(next), s.model);
  }
}

TEST_F(RecentFiguresTest, BesideTheRunningProgramAReportTakesWhatItFound) {
  ScopedTZ tz("UTC0");
  const Timestamp since = at("2025-03-10T10:30:00Z");
  const Timestamp start = clock.now();
  UsageHistory collector(tree.options(clock));
  collector.refreshSync();
  EXPECT_EQ(collector.rollingClaudeTokens(since), 0);  // counted in the background
  collector.refreshSync();
  ASSERT_TRUE(collector.latestClaudeModel());
  removeTranscripts();

  clock.advance(30);
  UsageHistory report1(report());
  EXPECT_EQ(claudeToday(report1), 100);
  EXPECT_EQ(report1.rollingClaudeTokensIfKnown(since), 100);
  EXPECT_EQ(modelId(report1), "claude-opus-4-8");

  // A report's newer scan outlives the running program's later writes of its older one.
  TranscriptTree::write(tree.claude("p/b.jsonl"), claudeLine("2025-03-10T11:30:00Z", 50), recent);
  clock.advance(UsageHistory::recentScanReuse);
  UsageHistory report2(report());
  EXPECT_EQ(claudeToday(report2), 50);
  clock.advance(10);
  ASSERT_GE(secondsBetween(start, clock.now()), UsageHistory::modelTTL);
  (void)collector.latestClaudeModel();  // looked up again, and written with its own older scan
  removeTranscripts();
  clock.advance(1);
  UsageHistory report3(report());
  EXPECT_EQ(claudeToday(report3), 50);
}

TEST_F(RecentFiguresTest, AReportWatchesNoFolder) {
  ScopedTZ tz("UTC0");
  auto inotifyDescriptors = [] {
    int n = 0;
    for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      if (fs::read_symlink(e.path(), ec).string() == "anon_inode:inotify") ++n;
    }
    return n;
  };
  const int before = inotifyDescriptors();
  UsageHistory one(report());
  EXPECT_EQ(claudeToday(one), 100);
  EXPECT_EQ(one.rollingClaudeTokensIfKnown(at("2025-03-10T10:30:00Z")), 100);
  EXPECT_EQ(inotifyDescriptors(), before);
  UsageHistory collector(tree.options(clock));
  EXPECT_EQ(claudeToday(collector), 100);
  EXPECT_GT(inotifyDescriptors(), before);
}

}  // namespace
}  // namespace qd
