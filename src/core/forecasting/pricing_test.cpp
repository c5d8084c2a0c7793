#include "forecasting/pricing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "testing/shipped_prices.h"
#include "testing/temp_dir.h"

namespace qd {
namespace {

// Dollars per million tokens, as the price list writes them.
struct Dollars {
  double input, output, cacheRead, cacheWrite;
};

TokenRates milli(Dollars d) {
  auto m = [](double v) { return static_cast<int64_t>(v * 1000 + 0.5); };
  return {m(d.input), m(d.output), m(d.cacheRead), m(d.cacheWrite)};
}

const PriceList& shipped() { return *qd::testing::shippedPrices(); }

struct QuoteCase {
  Provider provider;
  std::optional<std::string_view> model;
  Dollars rates;
  bool fallback;
};

// Today's list prices; Codex has no cache-write rate (it counts as uncached input).
TEST(PriceList, ShippedListPricesEachModelByItsOwnEntryOrItsFamily) {
  const QuoteCase cases[] = {
      {Provider::claude, "claude-opus-4-5-20251101", {5, 25, 0.5, 6.25}, false},
      {Provider::claude, "claude-opus-4-6", {5, 25, 0.5, 6.25}, false},
      {Provider::claude, "claude-opus-4-1-20250805", {15, 75, 1.5, 18.75}, false},
      {Provider::claude, "claude-opus-4-20250514", {15, 75, 1.5, 18.75}, false},
      {Provider::claude, "claude-opus-4-9", {5, 25, 0.5, 6.25}, true},  // a newer Opus: today's Opus family
      {Provider::claude, "claude-sonnet-4-5-20250929", {3, 15, 0.3, 3.75}, false},
      {Provider::claude, "CLAUDE-SONNET-4-20250514", {3, 15, 0.3, 3.75}, false},
      {Provider::claude, "claude-sonnet-4-5[1m]", {3, 15, 0.3, 3.75}, false},
      {Provider::claude, "anthropic/claude-haiku-4-5", {1, 5, 0.1, 1.25}, false},
      {Provider::claude, "claude-haiku-4-5-20251001", {1, 5, 0.1, 1.25}, false},
      {Provider::claude, "claude-3-5-haiku-20241022", {0.8, 4, 0.08, 1}, false},
      {Provider::claude, "claude-haiku-5", {1, 5, 0.1, 1.25}, true},
      {Provider::claude, "<synthetic>", {3, 15, 0.3, 3.75}, true},
      {Provider::claude, std::nullopt, {3, 15, 0.3, 3.75}, true},
      {Provider::codex, "gpt-5", {1.25, 10, 0.125, 1.25}, false},
      {Provider::codex, "gpt-5-codex", {1.25, 10, 0.125, 1.25}, false},
      {Provider::codex, "gpt-5.1-codex-max", {1.25, 10, 0.125, 1.25}, false},
      {Provider::codex, "gpt-5-mini", {0.25, 2, 0.025, 0.25}, false},
      {Provider::codex, "gpt-5.1-codex-mini", {0.25, 2, 0.025, 0.25}, false},
      {Provider::codex, "openai/gpt-5-2025-08-07", {1.25, 10, 0.125, 1.25}, false},
      {Provider::codex, "gpt-5.2-codex", {1.75, 14, 0.175, 1.75}, false},
      {Provider::codex, "gpt-5.5", {1.25, 10, 0.125, 1.25}, true},  // "gpt-5" does not price "gpt-5.5"
      {Provider::codex, "gpt-5.5-mini", {0.25, 2, 0.025, 0.25}, true},
      {Provider::codex, std::nullopt, {1.25, 10, 0.125, 1.25}, true},
      {Provider::codex, "claude-opus-4-5", {1.25, 10, 0.125, 1.25}, true},  // entries are per provider
  };
  for (const auto& c : cases) {
    const auto q = shipped().quote(c.provider, c.model);
    const std::string label = std::string(c.model.value_or("(none)"));
    ASSERT_NE(q.rates, nullptr) << label;
    EXPECT_EQ(q.rates->base, milli(c.rates)) << label;
    EXPECT_EQ(q.fallback, c.fallback) << label;
  }
}

TEST(PriceList, LongContextRatesApplyToTheWholeRequestAboveTheThreshold) {
  const auto sonnet = shipped().quote(Provider::claude, "claude-sonnet-4-5");
  ASSERT_TRUE(sonnet.rates);
  // 200,000 input tokens in all: base rates.
  EXPECT_EQ(PriceList::costNano(*sonnet.rates, {100'000, 1'000, 50'000, 50'000}),
            100'000LL * 3000 + 1'000LL * 15000 + 50'000LL * 300 + 50'000LL * 3750);
  // One more: every count of the request at the long-context rates.
  EXPECT_EQ(PriceList::costNano(*sonnet.rates, {100'001, 1'000, 50'000, 50'000}),
            100'001LL * 6000 + 1'000LL * 22500 + 50'000LL * 600 + 50'000LL * 7500);
  const auto opus = shipped().quote(Provider::claude, "claude-opus-4-5");
  EXPECT_EQ(PriceList::costNano(*opus.rates, {300'000, 0, 0, 0}), 300'000LL * 5000);  // none published
}

TEST(PriceList, ParsingSkipsBadEntriesAndRejectsWhatIsNoPriceList) {
  const char* doc = R"({"models":[
      {"provider":"claude","ids":["m-1"],"input":1,"output":2},
      {"provider":"claude","ids":["m-2"],"input":-1,"output":2},
      {"provider":"gemini","ids":["m-3"],"input":1,"output":2},
      {"provider":"codex","ids":[],"input":1,"output":2},
      {"provider":"codex","ids":["m-4"],"input":"1","output":2},
      {"provider":"codex","ids":["m-5"],"input":1,"output":2,"longContext":{"input":2,"output":4}},
      7],
    "families":[{"provider":"claude","input":1,"output":1}]})";
  auto parsed = PriceList::parse(doc);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->skippedEntries, 7);
  const auto q = parsed->list.quote(Provider::claude, "m-1");
  ASSERT_TRUE(q.rates);
  EXPECT_EQ(q.rates->base, (TokenRates{1000, 2000, 1000, 1000}));  // cache rates default to input
  EXPECT_EQ(parsed->list.quote(Provider::claude, "other").rates, nullptr);  // no family: not priced

  for (const char* bad : {"", "[]", "{}", R"({"models":{}})", "{\"models\":[", "null"})
    EXPECT_FALSE(PriceList::parse(bad)) << bad;
  // Nesting beyond the format is dropped while parsing, not recursed into.
  const std::string deep = R"({"models":[{"provider":"claude","ids":["d"],"input":1,"output":1,"x":)" +
                           std::string(100'000, '[') + std::string(100'000, ']') + "}]}";
  auto deepParsed = PriceList::parse(deep);
  ASSERT_TRUE(deepParsed);
  EXPECT_TRUE(deepParsed->list.quote(Provider::claude, "d").rates);
}

TEST(PriceList, TheUserOverrideIsTriedFirstAndChangesTheFingerprint) {
  qd::testing::TempDir dir;
  const auto overridePath = dir.path() / "pricing.json";
  const std::string shippedPath = std::string(QUOTADIAL_BUILD_RESOURCES_DIR) + "/pricing.json";
  const auto plain = PriceList::load(shippedPath, overridePath.string());
  EXPECT_EQ(plain.list->fingerprint(), shipped().fingerprint());

  std::ofstream(overridePath) << R"({"models":[{"provider":"claude","ids":["claude-opus-4-5"],"input":4,"output":20}],
    "families":[{"provider":"codex","contains":"5.5","input":2,"output":16,"cacheRead":0.2}]})";
  const auto withOverride = PriceList::load(shippedPath, overridePath.string());
  EXPECT_NE(withOverride.list->fingerprint(), shipped().fingerprint());
  EXPECT_EQ(withOverride.list->quote(Provider::claude, "claude-opus-4-5-20251101").rates->base.input, 4000);
  EXPECT_EQ(withOverride.list->quote(Provider::claude, "claude-haiku-4-5").rates->base.input, 1000);
  const auto codex = withOverride.list->quote(Provider::codex, "gpt-5.5");
  EXPECT_EQ(codex.rates->base.output, 16000);
  EXPECT_TRUE(codex.fallback);
  ASSERT_FALSE(withOverride.notes.empty());
  EXPECT_NE(withOverride.notes.back().find(overridePath.string()), std::string::npos);

  std::ofstream(overridePath, std::ios::trunc) << "{ not json";
  const auto broken = PriceList::load(shippedPath, overridePath.string());
  EXPECT_EQ(broken.list->fingerprint(), shipped().fingerprint());
  EXPECT_NE(broken.notes.back().find("not a valid price list"), std::string::npos);

  const auto none = PriceList::load(std::nullopt, "/nonexistent/pricing.json");
  EXPECT_TRUE(none.list->empty());
  EXPECT_EQ(none.list->quote(Provider::claude, "claude-opus-4-5").rates, nullptr);
}

}  // namespace
}  // namespace qd
