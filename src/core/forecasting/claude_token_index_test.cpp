#include "forecasting/claude_token_index.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace qd {
namespace {

namespace fs = std::filesystem;

Timestamp at(const char* iso) { return *parseISO8601(iso); }

// With `id`, the line carries the pair (message id "m<id>", request id "r<id>").
std::string line(const char* ts, int tokens, const std::string& id = "") {
  const std::string ids = id.empty() ? "" : R"("id":"m)" + id + "\",";
  const std::string request = id.empty() ? "" : R"("requestId":"r)" + id + "\",";
  return std::string(R"({"timestamp":")") + ts + "\"," + request + R"("message":{)" + ids + R"("usage":{"input_tokens":)" +
         std::to_string(tokens) + "}}}\n";
}

// The index follows a changing tree: each step changes the files, then the
// count since the start must equal what the files hold now.
class ClaudeTokenIndexTest : public ::testing::Test {
 protected:
  ClaudeTokenIndexTest() {
    char tmpl[] = "/tmp/qd-index-XXXXXX";
    root_ = ::mkdtemp(tmpl);
    fs::create_directories(root_ / "projects");
  }
  ~ClaudeTokenIndexTest() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  fs::path p(const std::string& rel) const { return root_ / "projects" / rel; }
  void write(const std::string& rel, const std::string& text, std::ios::openmode mode = std::ios::trunc) {
    fs::create_directories(p(rel).parent_path());
    std::ofstream(p(rel), std::ios::binary | mode) << text;
  }
  int64_t count(ClaudeTokenIndex& index) {
    index.update();
    return index.tokensSince(at("2020-01-01T00:00:00Z"));
  }
  fs::path root_;
};

TEST_F(ClaudeTokenIndexTest, FollowsAppendsNewFoldersRenamesAndRemovals) {
  write("a/s1.jsonl", line("2025-03-10T10:00:00Z", 10));
  ClaudeTokenIndex index((root_ / "projects").string());
  EXPECT_EQ(count(index), 10);

  write("a/s1.jsonl", line("2025-03-10T10:01:00Z", 5), std::ios::app);
  EXPECT_EQ(count(index), 15);
  EXPECT_EQ(index.lastBytesRead(), static_cast<int64_t>(line("2025-03-10T10:01:00Z", 5).size()));

  // A new session folder with a subagent transcript.
  write("a/s2/subagents/agent-1.jsonl", line("2025-03-10T10:02:00Z", 100));
  EXPECT_EQ(count(index), 115);

  // A repeated pair in another file counts once.
  write("b/s3.jsonl", line("2025-03-10T10:03:00Z", 7, "1"));
  write("b/s4.jsonl", line("2025-03-10T10:03:00Z", 7, "1"));
  EXPECT_EQ(count(index), 122);
  fs::remove(p("b/s3.jsonl"));
  EXPECT_EQ(count(index), 122);  // the copy in s4 counts now

  // Replaced by rename, truncated in place, and a folder removed.
  write("a/tmp.jsonl.part", line("2025-03-10T10:04:00Z", 1));
  fs::rename(p("a/tmp.jsonl.part"), p("a/s1.jsonl"));
  EXPECT_EQ(count(index), 1 + 100 + 7);
  write("a/s2/subagents/agent-1.jsonl", line("2025-03-10T10:05:00Z", 3));
  EXPECT_EQ(count(index), 1 + 3 + 7);
  fs::remove_all(p("b"));
  EXPECT_EQ(count(index), 4);

  // A folder moved in from elsewhere brings its files.
  fs::create_directories(root_ / "outside" / "c");
  std::ofstream(root_ / "outside" / "c" / "s5.jsonl") << line("2025-03-10T10:06:00Z", 50);
  fs::rename(root_ / "outside" / "c", p("c"));
  EXPECT_EQ(count(index), 54);
  // Without a change nothing is read.
  EXPECT_EQ(count(index), 54);
  EXPECT_EQ(index.lastFilesRead(), 0u);
}

TEST_F(ClaudeTokenIndexTest, ARootThatAppearsLaterIsFound) {
  ClaudeTokenIndex index((root_ / "projects" / "later").string());
  EXPECT_EQ(count(index), 0);
  write("later/x/s.jsonl", line("2025-03-10T10:00:00Z", 9));
  EXPECT_EQ(count(index), 9);
}

TEST_F(ClaudeTokenIndexTest, LinesWithoutTheirBreakCountUntilTheyAreReplaced) {
  write("a/s.jsonl", line("2025-03-10T10:00:00Z", 10) + R"({"timestamp":"2025-03-10T10:00:01Z","usage":{"input_tokens":4}})");
  ClaudeTokenIndex index((root_ / "projects").string());
  EXPECT_EQ(count(index), 14);
  write("a/s.jsonl", "\n" + line("2025-03-10T10:00:02Z", 1), std::ios::app);
  EXPECT_EQ(count(index), 15);
  // A line that is not UTF-8 counts nothing; the lines around it still count.
  write("a/s.jsonl", R"({"timestamp":"2025-03-10T10:00:03Z","t":")" "\xC3" R"(","usage":{"input_tokens":50}})" "\n",
        std::ios::app);
  write("a/s.jsonl", line("2025-03-10T10:00:04Z", 3), std::ios::app);
  EXPECT_EQ(count(index), 18);
  write("a/s.jsonl", line("2025-03-10T10:00:03Z", 2));
  EXPECT_EQ(count(index), 2);
}

// Files last modified long before the asked-for moment are listed but not read;
// an update that reaches back to them reads them then, and the counts agree with
// an index that read everything.
TEST_F(ClaudeTokenIndexTest, FilesOlderThanTheWindowAreReadOnlyWhenReached) {
  write("old/s1.jsonl", line("2025-01-01T10:00:00Z", 40));
  write("new/s2.jsonl", line("2025-03-10T10:00:00Z", 2));
  fs::last_write_time(p("old/s1.jsonl"), fs::file_time_type::clock::now() - std::chrono::hours(24 * 40));
  const Timestamp recent = addSeconds(fromUnixSeconds(static_cast<double>(::time(nullptr))), -86400);
  const Timestamp longAgo = at("2020-01-01T00:00:00Z");
  ClaudeTokenIndex index((root_ / "projects").string());
  index.update(recent);
  EXPECT_EQ(index.lastFilesRead(), 1u);
  EXPECT_EQ(index.fileCount(), 2u);
  EXPECT_EQ(index.tokensSince(longAgo), 2);  // only what was read

  write("new/s2.jsonl", line("2025-03-10T10:01:00Z", 3), std::ios::app);
  index.update(recent);
  EXPECT_EQ(index.lastFilesRead(), 1u);

  index.update(longAgo);
  EXPECT_EQ(index.tokensSince(longAgo), 45);
  ClaudeTokenIndex everything((root_ / "projects").string());
  EXPECT_EQ(count(everything), 45);
}

}  // namespace
}  // namespace qd
