#include "utilities/app_logger.h"

#include <gtest/gtest.h>
#include <re2/re2.h>

#include <thread>

#include "storage/atomic_file.h"
#include "testing/temp_dir.h"

namespace qd {
namespace {

TEST(AppLoggerScrubTest, Rules) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"mail jane.doe+x@example.co.uk now", "mail <email> now"},
      {"a@b.c stays", "a@b.c stays"},  // one-letter top level
      {"key sk-abcdefgh1234", "key <token>"},
      {"BEARERABCDEFGH_ijkl-99 done", "<token> done"},
      {"Bearer ABCDEFGH_ijkl-99", "Bearer ABCDEFGH_ijkl-99"},
      {"mytokenabcdefgh", "my<token>"},        // inside a longer word
      {"desk12345678x", "de<token>"},           // prefix "sk" inside "desk"
      {"secret1234567", "secret1234567"},       // seven characters after the prefix
      {"pk 12345678", "pk 12345678"},           // a space ends the run
      {"go to https://example.com/page?q=1 now", "go to https://example.com/page?q=1 now"},
      {"open https://x.io/oauth/authorize?a=1 next", "open <auth-url> next"},
      {"open http://x.io/?code=abc", "open <auth-url>"},
      {"HTTPS://x.io/?code=abc", "HTTPS://x.io/?code=abc"},
      {"https://a.io/verify\tand", "<auth-url>\tand"},
      {"user a@b.com token https://h.io/?code=tokABCDEFGH12", "user <email> token <auth-url>"},
  };
  for (const auto& c : cases) EXPECT_EQ(AppLogger::scrub(c.in), c.out) << c.in;
  EXPECT_EQ(AppLogger::scrub(std::string("bad \xff byte")), "bad \xEF\xBF\xBD byte");
}

class AppLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AppLogger::shared().setFileURL(dir / "logs" / "app.log");
    AppLogger::shared().resetLastError();
  }
  std::string logText() {
    AppLogger::shared().flush();
    return readWholeFile(dir / "logs" / "app.log").value_or("<missing>");
  }
  testing::TempDir dir;
};

TEST_F(AppLoggerTest, FirstLineCreatesTheFileThenLinesAppend) {
  AppLogger::shared().warn("Codex not found in PATH");
  const std::string first = logText();
  EXPECT_TRUE(RE2::FullMatch(first, R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] WARN Codex not found in PATH\n)")) << first;
  AppLogger::shared().info("two\nlines");
  AppLogger::shared().error("third");
  const std::string all = logText();
  EXPECT_EQ(all.substr(0, first.size()), first);
  EXPECT_NE(all.find("] INFO two\\nlines\n["), std::string::npos) << all;
  EXPECT_NE(all.find("] ERROR third\n"), std::string::npos) << all;
}

TEST_F(AppLoggerTest, OnlyErrorSetsLastErrorScrubbed) {
  EXPECT_FALSE(AppLogger::shared().lastError());
  AppLogger::shared().info("info a@b.com");
  AppLogger::shared().warn("warn");
  EXPECT_FALSE(AppLogger::shared().lastError());
  AppLogger::shared().error("failed for a@b.com");
  EXPECT_EQ(AppLogger::shared().lastError(), "failed for <email>");
  AppLogger::shared().warn("later");
  EXPECT_EQ(AppLogger::shared().lastError(), "failed for <email>");
  EXPECT_NE(logText().find("ERROR failed for <email>\n"), std::string::npos);
}

TEST_F(AppLoggerTest, OutsideTextCannotForgeALineOrSteerATerminal) {
  struct Case {
    std::string message, logged;
  };
  const Case cases[] = {
      {"keys: a, b\n[2026-01-01 00:00:00] ERROR forged", "keys: a, b\\n[2026-01-01 00:00:00] ERROR forged"},
      {"cr\rtab\tnul" + std::string(1, '\0') + "end", "cr\\rtab\\tnul\\x00end"},
      {"esc \x1b[31mred\x7f", "esc \\x1b[31mred\\x7f"},
      {"next line \xC2\x85 and \xC2\x9B", "next line \\u0085 and \\u009b"},
      {"caf\xC3\xA9 \xE2\x80\x94 kept", "caf\xC3\xA9 \xE2\x80\x94 kept"},
  };
  for (const auto& c : cases) AppLogger::shared().error(c.message);
  const std::string text = logText();
  size_t lines = 0;
  for (char ch : text) lines += ch == '\n';
  EXPECT_EQ(lines, std::size(cases)) << text;
  for (const auto& c : cases) EXPECT_NE(text.find("] ERROR " + c.logged + "\n"), std::string::npos) << c.logged;
  EXPECT_EQ(AppLogger::shared().lastError(), std::size(cases) ? cases[std::size(cases) - 1].logged : "");
}

TEST_F(AppLoggerTest, LinesFromManyThreadsStayWhole) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) AppLogger::shared().error("thread " + std::to_string(t) + " line " + std::to_string(i));
    });
  for (auto& th : threads) th.join();
  const std::string text = logText();
  size_t lines = 0;
  for (size_t pos = 0; (pos = text.find('\n', pos)) != std::string::npos; ++pos) ++lines;
  EXPECT_EQ(lines, 800u);
  EXPECT_TRUE(RE2::FullMatch(text, R"((\[[^\]]+\] ERROR thread \d line \d+\n)+)"));
  EXPECT_TRUE(AppLogger::shared().lastError()->starts_with("thread "));
}

}  // namespace
}  // namespace qd
