#include "forecasting/transcript_line_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "forecasting/pricing.h"
#include "forecasting/transcript_reader.h"
#include "testing/shipped_prices.h"

namespace qd {
namespace {

struct LineCase {
  const char* name;
  std::string line;
  std::optional<int64_t> tokens;  // nothing: the line contributes nothing
  int64_t costNano = 0;
  bool keyed = false;
};

class ClaudeLineRule : public ::testing::TestWithParam<LineCase> {};

TEST_P(ClaudeLineRule, ReadsTokensAndSpend) {
  const LineCase& c = GetParam();
  TranscriptLineParser parser;
  parser.setPrices(qd::testing::shippedPrices());
  const auto usage = parser.claude(c.line);
  ASSERT_EQ(usage.has_value(), c.tokens.has_value()) << c.line;
  if (!usage) return;
  EXPECT_EQ(usage->tokens, *c.tokens);
  EXPECT_EQ(usage->costNano, c.costNano);
  EXPECT_EQ(usage->dedupKey != 0, c.keyed);
}

const std::string kTs = R"("timestamp":"2025-03-04T10:11:12.345Z")";

INSTANTIATE_TEST_SUITE_P(
    Lines, ClaudeLineRule,
    ::testing::Values(
        LineCase{"message usage, default rates",
                 "{" + kTs + R"(,"message":{"usage":{"input_tokens":100,"output_tokens":50,"cache_read_input_tokens":0,"cache_creation_input_tokens":0}}})",
                 150, 100 * 3000 + 50 * 15000},
        LineCase{"top-level usage without message",
                 "{" + kTs + R"(,"usage":{"input_tokens":10,"output_tokens":5}})", 15, 10 * 3000 + 5 * 15000},
        LineCase{"message without usage falls back to top level",
                 "{" + kTs + R"(,"message":{"role":"assistant"},"usage":{"input_tokens":7}})", 7, 7 * 3000},
        LineCase{"message that is not an object falls back",
                 "{" + kTs + R"(,"message":"hi","usage":{"output_tokens":2}})", 2, 2 * 15000},
        LineCase{"opus rates from message.model, all four counts",
                 "{" + kTs + R"(,"message":{"model":"claude-opus-4-5-20251101","usage":{"input_tokens":1,"output_tokens":1,"cache_read_input_tokens":1,"cache_creation_input_tokens":1}}})",
                 4, 5000 + 25000 + 500 + 6250},
        LineCase{"older opus at its own rates",
                 "{" + kTs + R"(,"message":{"model":"claude-opus-4-1-20250805","usage":{"input_tokens":1,"output_tokens":1,"cache_read_input_tokens":1,"cache_creation_input_tokens":1}}})",
                 4, 15000 + 75000 + 1500 + 18750},
        LineCase{"haiku from the top-level model when message has none",
                 "{" + kTs + R"(,"model":"CLAUDE-HAIKU-4-5","message":{"usage":{"input_tokens":1000}}})", 1000, 1000 * 1000},
        LineCase{"fractions truncate, text and objects count zero",
                 "{" + kTs + R"(,"usage":{"input_tokens":10.9,"output_tokens":"5","cache_read_input_tokens":{"a":1},"cache_creation_input_tokens":-0.5}})",
                 10, 10 * 3000},
        LineCase{"sum of zero is skipped", "{" + kTs + R"(,"usage":{"input_tokens":0,"output_tokens":0}})", std::nullopt},
        LineCase{"missing timestamp", R"({"usage":{"input_tokens":5}})", std::nullopt},
        LineCase{"timestamp not text", R"({"timestamp":20250304,"usage":{"input_tokens":5}})", std::nullopt},
        LineCase{"timestamp shorter than ten characters", R"({"timestamp":"2025-03-0","usage":{"input_tokens":5}})", std::nullopt},
        LineCase{"no usage anywhere", "{" + kTs + R"(,"message":{"content":"x"}})", std::nullopt},
        LineCase{"usage that is not an object", "{" + kTs + R"(,"usage":[1,2]})", std::nullopt},
        LineCase{"not an object", R"([{"timestamp":"2025-03-04T10:00:00Z","usage":{"input_tokens":5}}])", std::nullopt},
        LineCase{"truncated mid-line", "{" + kTs + R"(,"usage":{"input_tokens":5},"requestId":"r)", std::nullopt},
        LineCase{"unclosed object", "{" + kTs + R"(,"usage":{"input_tokens":5})", std::nullopt},
        LineCase{"trailing garbage", "{" + kTs + R"(,"usage":{"input_tokens":5}} x)", std::nullopt},
        LineCase{"malformed value after the usage", "{" + kTs + R"(,"usage":{"input_tokens":5},"x":tru})", std::nullopt},
        LineCase{"huge count is clamped, not wrapped",
                 "{" + kTs + R"(,"usage":{"input_tokens":99999999999999999999}})", 1'000'000'000'000, 1'000'000'000'000LL * 3000},
        LineCase{"message id and request id make a pair",
                 "{" + kTs + R"(,"requestId":"req_1","message":{"id":"msg_1","usage":{"input_tokens":3}}})", 3, 3 * 3000, true},
        LineCase{"a request id alone is no pair",
                 "{" + kTs + R"(,"requestId":"req_1","message":{"usage":{"input_tokens":3}}})", 3, 3 * 3000, false}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (char& ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

struct CodexCase {
  const char* name;
  std::string line;
  std::optional<int64_t> tokens;
  int64_t costNano = 0;
};

class CodexLineRule : public ::testing::TestWithParam<CodexCase> {};

TEST_P(CodexLineRule, ReadsTokensAndSpend) {
  const CodexCase& c = GetParam();
  TranscriptLineParser parser;
  parser.setPrices(qd::testing::shippedPrices());
  const auto usage = parser.codex(c.line);
  ASSERT_EQ(usage.has_value(), c.tokens.has_value()) << c.line;
  if (!usage) return;
  EXPECT_EQ(usage->tokens, *c.tokens);
  EXPECT_EQ(usage->costNano, c.costNano);
  EXPECT_EQ(usage->dedupKey, 0u);
}

std::string codexLine(const std::string& type, const std::string& last) {
  return R"({"timestamp":"2025-03-04T10:11:12.345Z","type":"event_msg","payload":{"type":")" + type +
         R"(","info":{"total_token_usage":{"total_tokens":999},"last_token_usage":)" + last + "}}}";
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CodexLineRule,
    ::testing::Values(
        CodexCase{"documented cost of 2.025 dollars",
                  codexLine("token_count", R"({"input_tokens":1000000,"cached_input_tokens":200000,"output_tokens":100000,"reasoning_output_tokens":0,"total_tokens":1100000})"),
                  1'100'000, 2'025'000'000},
        CodexCase{"reasoning is part of output and cached input part of input",
                  codexLine("token_count", R"({"input_tokens":1000,"cached_input_tokens":400,"output_tokens":66,"reasoning_output_tokens":40,"total_tokens":1066})"),
                  1066, 600 * 1250 + 400 * 125 + 66 * 10000},
        CodexCase{"cached above input is input, all of it cached",
                  codexLine("token_count", R"({"input_tokens":10,"cached_input_tokens":30,"output_tokens":1,"reasoning_output_tokens":2,"total_tokens":11})"),
                  11, 10 * 125 + 1 * 10000},
        CodexCase{"a model named on the line itself",
                  R"({"timestamp":"2025-03-04T10:11:12Z","payload":{"type":"token_count","info":{"model":"gpt-5-mini","last_token_usage":{"input_tokens":100,"output_tokens":10,"total_tokens":110}}}})",
                  110, 100 * 250 + 10 * 2000},
        CodexCase{"other payload type", codexLine("agent_message", R"({"total_tokens":5})"), std::nullopt},
        CodexCase{"zero total", codexLine("token_count", R"({"input_tokens":5,"total_tokens":0})"), std::nullopt},
        CodexCase{"info null", R"({"timestamp":"2025-03-04T10:11:12Z","payload":{"type":"token_count","info":null}})", std::nullopt},
        CodexCase{"last usage missing", R"({"timestamp":"2025-03-04T10:11:12Z","payload":{"type":"token_count","info":{}}})", std::nullopt},
        CodexCase{"payload not an object", R"({"timestamp":"2025-03-04T10:11:12Z","payload":"token_count"})", std::nullopt},
        CodexCase{"short timestamp", R"({"timestamp":"2025","payload":{"type":"token_count","info":{"last_token_usage":{"total_tokens":5}}}})", std::nullopt}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (char& ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

TEST(TranscriptLineParser, KeepsTheTimestampForFallbackKeys) {
  TranscriptLineParser parser;
  auto parsed = parser.claude(R"({"timestamp":"2025-03-04T10:11:12Z","usage":{"input_tokens":1}})");
  ASSERT_TRUE(parsed && parsed->time);
  EXPECT_EQ(formatISO8601(*parsed->time), "2025-03-04T10:11:12Z");
  auto odd = parser.claude(R"({"timestamp":"2025-03-04T1","usage":{"input_tokens":1}})");
  ASSERT_TRUE(odd);
  EXPECT_FALSE(odd->time);
  EXPECT_EQ(odd->headText(), "2025-03-04T1");
  EXPECT_EQ(odd->timestampLength, 12u);
}

TEST(TranscriptLineParser, PairKeyDependsOnBothIdentifiers) {
  EXPECT_EQ(transcriptDedupKey("msg_1", "req_1"), transcriptDedupKey("msg_1", "req_1"));
  EXPECT_NE(transcriptDedupKey("msg_1", "req_1"), transcriptDedupKey("msg_1", "req_2"));
  EXPECT_NE(transcriptDedupKey("msg_1", "req_1"), transcriptDedupKey("msg_1req_1", ""));
}

// ---- the streaming reader ----------------------------------------------------

std::string claudeLine(int tokens, const std::string& extra = "") {
  return R"({"timestamp":"2025-03-04T10:00:00Z",)" + extra + R"("usage":{"input_tokens":)" + std::to_string(tokens) + "}}";
}

struct ReadResult {
  std::vector<int64_t> tokens;
  std::vector<bool> tails;
  TranscriptReader::Outcome outcome;
};

ReadResult readAll(const std::string& bytes, size_t block = 4096) {
  TranscriptReader reader(block);
  ReadResult r;
  r.outcome = reader.readBuffer(bytes, TranscriptRule::claude, [&](const TranscriptLineUsage& u, bool tail) {
    r.tokens.push_back(u.tokens);
    r.tails.push_back(tail);
  });
  return r;
}

TEST(TranscriptReader, SplitsAtEveryLineBreakAndSkipsEmptyLines) {
  const std::string bytes = claudeLine(1) + "\r\n\n" + claudeLine(2) + "\r" + claudeLine(3) + "\v" + claudeLine(4) +
                            "\f" + claudeLine(5) + "\n" + "not json\n" + claudeLine(6);
  const auto r = readAll(bytes);
  EXPECT_EQ(r.tokens, (std::vector<int64_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(r.tails.back(), true);
  EXPECT_EQ(r.outcome.committedOffset, static_cast<int64_t>(bytes.rfind('\n') + 1));
}

TEST(TranscriptReader, KeepsLinesWithUnicodeSeparatorsInTheirTexts) {
  // U+2028 inside a string is valid JSON; it must not split the line.
  const std::string bytes = claudeLine(7, "\"text\":\"a\xE2\x80\xA8" "b\",") + "\n";
  EXPECT_EQ(readAll(bytes).tokens, (std::vector<int64_t>{7}));
}

TEST(TranscriptReader, LinesLongerThanTheBlockAreCompactedNotLost) {
  const std::string longText(50'000, 'x');
  const std::string escaped = "a\\\"b\\\\" + std::string(20'000, 'y');  // escapes inside a dropped text
  const std::string bytes = claudeLine(1) + "\n" + claudeLine(11, "\"text\":\"" + longText + "\",") + "\n" +
                            claudeLine(12, "\"t2\":\"" + escaped + "\",\"n\":[1,2,3],") + "\n" +
                            R"({"type":"user","content":")" + longText + "\"}\n" + claudeLine(13);
  const auto r = readAll(bytes, 4096);
  EXPECT_EQ(r.tokens, (std::vector<int64_t>{1, 11, 12, 13}));
  // A long line that is not JSON still contributes nothing.
  const auto broken = readAll(claudeLine(5, "\"text\":\"" + longText + "\",\"x\":nul,") + "\n", 4096);
  EXPECT_TRUE(broken.tokens.empty());
}

TEST(TranscriptReader, BlockSizeDoesNotChangeTheResult) {
  std::string bytes;
  for (int i = 1; i <= 200; ++i) {
    bytes += claudeLine(i, "\"text\":\"" + std::string(static_cast<size_t>(i * 97 % 9000), 'z') + "\xC3\xA9\",");
    bytes += i % 3 ? "\n" : "\r\n";
  }
  const auto small = readAll(bytes, 4096);
  const auto large = readAll(bytes, 1 << 20);
  EXPECT_EQ(small.tokens.size(), 200u);
  EXPECT_EQ(small.tokens, large.tokens);
}

TEST(TranscriptReader, ALineThatIsNotUTF8IsSkippedOnItsOwn) {
  // Torn inside a character, a stray byte, an encoded surrogate: in a line that
  // counts, in one that does not, and as the torn last line of a file.
  for (const std::string& bad : {std::string("\xFF"), std::string("\xC3"), std::string("\xED\xA0\x80")}) {
    for (size_t block : {size_t{4096}, size_t{1} << 20}) {
      const std::string bytes = claudeLine(1) + "\n" + claudeLine(5, "\"t\":\"" + bad + "\",") + "\n" +
                                "{\"x\":\"" + bad + "\"}\n" + claudeLine(2) + "\n" + claudeLine(3) + bad;
      EXPECT_EQ(readAll(bytes, block).tokens, (std::vector<int64_t>{1, 2})) << block;
    }
  }
  // The same in a line longer than the block, which is compacted first.
  const std::string longBad = claudeLine(9, "\"t\":\"\xC3\",\"long\":\"" + std::string(20'000, 'x') + "\",");
  EXPECT_EQ(readAll(claudeLine(1) + "\n" + longBad + "\n" + claudeLine(2) + "\n", 4096).tokens,
            (std::vector<int64_t>{1, 2}));
  // A multi-byte character cut by a block boundary is fine.
  std::string bytes;
  for (int i = 0; i < 300; ++i) bytes += claudeLine(1, "\"t\":\"\xE2\x82\xAC\xF0\x9F\x98\x80\",") + "\n";
  EXPECT_EQ(readAll(bytes, 4096).tokens.size(), 300u);
}

TEST(TranscriptReader, ALineNestedTooDeeplyIsSkippedOnItsOwn) {
  // A million unclosed brackets once overflowed the stack of the line parser.
  const std::string million = "{\"usage\":" + std::string(1'000'000, '[') + "}}";
  const std::string deepUsage = claudeLine(4, "\"extra\":" + std::string(5000, '[') + std::string(5000, ']') + ",");
  std::string within = "0";
  for (int i = 0; i < 100; ++i) within = "[" + within + "]";
  for (size_t block : {size_t{4096}, size_t{2} << 20}) {
    const std::string bytes = claudeLine(1) + "\n" + million + "\n" + deepUsage + "\n" +
                              claudeLine(7, "\"extra\":" + within + ",") + "\n" + claudeLine(2) + "\n";
    EXPECT_EQ(readAll(bytes, block).tokens, (std::vector<int64_t>{1, 7, 2})) << block;
    const std::string codex = std::string(R"({"timestamp":"2026-01-01T00:00:00Z","payload":{"type":"token_count","x":)") +
                              std::string(1'000'000, '{') + "\n";
    TranscriptReader reader(block);
    int lines = 0;
    (void)reader.readBuffer(codex, TranscriptRule::codex, [&](const TranscriptLineUsage&, bool) { ++lines; });
    EXPECT_EQ(lines, 0);
  }
  TranscriptLineParser parser(4u << 20);
  EXPECT_FALSE(parser.claude(million));
  EXPECT_FALSE(parser.claudeModel("{\"message\":{\"model\":" + std::string(1'000'000, '[') + "}}"));
}

TEST(TranscriptReader, PricesEachCodexTurnByTheModelOfItsRollout) {
  auto turn = [](const std::string& model) {
    return R"({"timestamp":"2025-03-04T10:00:00Z","type":"turn_context","payload":{"cwd":"/w","model":")" + model +
           R"(","effort":"medium"}})" "\n";
  };
  const std::string tokens =
      R"({"timestamp":"2025-03-04T10:00:01Z","type":"event_msg","payload":{"type":"token_count","info":{"last_token_usage":{"input_tokens":1000,"cached_input_tokens":0,"output_tokens":100,"reasoning_output_tokens":50,"total_tokens":1100}}}})" "\n";
  const std::string rollout = tokens + turn("gpt-5-mini") + tokens + turn("gpt-5.1-codex") + tokens + turn("gpt-7") + tokens;
  struct Seen {
    int64_t cost;
    std::string model;
    bool fallback;
  };
  std::vector<Seen> seen;
  TranscriptReader reader(4096);
  reader.setPrices(qd::testing::shippedPrices());
  for (int pass = 0; pass < 2; ++pass) {  // the model of one file does not carry into the next
    seen.clear();
    (void)reader.readBuffer(rollout, TranscriptRule::codex, [&](const TranscriptLineUsage& u, bool) {
      seen.push_back({u.costNano, std::string(u.model), u.pricedByFallback});
    });
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].cost, 1000 * 1250 + 100 * 10000);  // before any turn context: the default rates
    EXPECT_TRUE(seen[0].fallback);
    EXPECT_EQ(seen[1].cost, 1000 * 250 + 100 * 2000);
    EXPECT_EQ(seen[1].model, "gpt-5-mini");
    EXPECT_FALSE(seen[1].fallback);
    EXPECT_EQ(seen[2].cost, 1000 * 1250 + 100 * 10000);
    EXPECT_EQ(seen[3].model, "gpt-7");
    EXPECT_TRUE(seen[3].fallback);
  }
}

}  // namespace
}  // namespace qd
