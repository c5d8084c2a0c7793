#include "providers/codex/line_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qd {
namespace {

std::vector<std::string> feedAll(LineAssembler& a, const std::vector<std::string>& pieces) {
  std::vector<std::string> lines;
  for (const auto& p : pieces) a.feed(p, [&](std::string_view l) { lines.emplace_back(l); });
  return lines;
}

TEST(LineAssembler, ReassemblesPiecesAndSplitsBatches) {
  struct Case {
    std::vector<std::string> pieces;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {{"{\"a\":1}\n"}, {"{\"a\":1}"}},
      {{"{\"a\"", ":1", "}\n"}, {"{\"a\":1}"}},
      {{"one\ntwo\nthr", "ee\n"}, {"one", "two", "three"}},
      {{"\n\n", "x\n\n"}, {"x"}},
      {{"no end yet"}, {}},
      {{"a\r\n"}, {"a\r"}},
      {{"caf\xC3", "\xA9\n"}, {"caf\xC3\xA9"}},  // a character split across reads
      {{"bad \xFF\xFE\n", "good\n"}, {"good"}},
      {{"\xC3\n", "ok\n"}, {"ok"}},
  };
  for (const auto& c : cases) {
    LineAssembler a(1024);
    EXPECT_EQ(feedAll(a, c.pieces), c.lines) << c.pieces.front();
  }
}

TEST(LineAssembler, DropsOverlongLinesWithoutGrowingPastTheCap) {
  constexpr size_t cap = 1 << 20;
  LineAssembler a(cap);
  std::vector<std::string> lines;
  const auto collect = [&](std::string_view l) { lines.emplace_back(l); };
  a.feed("first\n", collect);
  const std::string chunk(64 * 1024, 'x');
  size_t maxCapacity = 0;
  for (int i = 0; i < 40; ++i) {  // 2.5 MiB without a line feed
    a.feed(chunk, collect);
    maxCapacity = std::max(maxCapacity, a.bufferCapacity());
  }
  a.feed("tail of the long line\nafter\n", collect);
  EXPECT_LE(maxCapacity, cap);
  EXPECT_EQ(lines, (std::vector<std::string>{"first", "after"}));
  EXPECT_EQ(a.droppedLines(), 1u);
  EXPECT_EQ(a.bufferedBytes(), 0u);
}

TEST(LineAssembler, KeepsALineOfExactlyTheCap) {
  LineAssembler a(100);
  std::vector<std::string> lines;
  const auto collect = [&](std::string_view l) { lines.emplace_back(l); };
  a.feed(std::string(60, 'a'), collect);
  a.feed(std::string(40, 'a') + "\n" + std::string(101, 'b') + "\nc\n", collect);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(100, 'a'));
  EXPECT_EQ(lines[1], "c");
  EXPECT_LE(a.bufferCapacity(), 100u);
}

}  // namespace
}  // namespace qd
