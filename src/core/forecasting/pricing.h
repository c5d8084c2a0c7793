#pragma once
// Token prices as data: the price list shipped as "pricing.json" among the
// program's resources, with a user's "pricing.json" in the application-support
// directory tried first. A model is priced by its own entry, else by the first
// family whose word its name contains (and then named as priced by fallback).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "models/provider.h"

namespace qd {

// Thousandths of a US dollar per million tokens, so that tokens × rate is an
// exact integer number of nano-dollars (1e-9 US dollars).
struct TokenRates {
  int64_t input = 0;       // uncached input
  int64_t output = 0;      // output (Codex: reasoning included)
  int64_t cacheRead = 0;   // input read from the prompt cache (Codex: cached input)
  int64_t cacheWrite = 0;  // input written to the prompt cache (Claude only)
  bool operator==(const TokenRates&) const = default;
};

// One request's token counts, as the transcripts give them.
struct RequestTokens {
  int64_t input = 0;
  int64_t output = 0;
  int64_t cacheRead = 0;
  int64_t cacheWrite = 0;
};

// Thread-safety: immutable once built; share it freely.
class PriceList {
 public:
  struct Rates {
    TokenRates base;
    // Rates for a whole request whose input (uncached + cache read + cache
    // write) is above `longContextAbove` tokens; 0: none published.
    int64_t longContextAbove = 0;
    TokenRates longContext;
  };

  struct Quote {
    const Rates* rates = nullptr;  // nothing: no entry and no family for this provider
    bool fallback = false;         // priced by family, not by the model's own entry
  };

  // A price list document; entries that do not hold valid rates are skipped and
  // counted. Nothing when the text is not a JSON object with a list of models
  // or families.
  struct Parsed;
  [[nodiscard]] static std::optional<Parsed> parse(std::string_view json);

  // `first`'s entries are tried before `second`'s.
  [[nodiscard]] static PriceList merged(const PriceList& first, const PriceList& second);

  // What the program uses: the shipped list and the user's override, with what
  // was found (for the diagnostics text).
  struct Loaded;
  [[nodiscard]] static Loaded load();
  [[nodiscard]] static Loaded load(const std::optional<std::string>& shippedPath, const std::string& overridePath);

  [[nodiscard]] Quote quote(Provider provider, std::optional<std::string_view> model) const;
  // Nano-dollars for one request; saturates instead of overflowing.
  [[nodiscard]] static int64_t costNano(const Rates& rates, const RequestTokens& tokens);

  // Changes whenever any price or matching rule changes (for cache keys).
  [[nodiscard]] uint64_t fingerprint() const;
  [[nodiscard]] bool empty() const { return models_.empty() && families_.empty(); }

 private:
  struct Model {
    Provider provider;
    std::vector<std::string> ids;  // lower case
    Rates rates;
  };
  struct Family {
    Provider provider;
    std::string contains;  // lower case; empty matches every model (and none)
    Rates rates;
  };
  std::vector<Model> models_;
  std::vector<Family> families_;
};

struct PriceList::Parsed {
  PriceList list;
  int skippedEntries = 0;
};

struct PriceList::Loaded {
  std::shared_ptr<const PriceList> list;
  // Lines for the diagnostics text: where the prices came from and what was wrong.
  std::vector<std::string> notes;
};

// The lower-case model name without a routing prefix ("anthropic/", "openai/").
[[nodiscard]] std::string normalizedModelName(std::string_view model);

}  // namespace qd
