#pragma once
// The line rules of the two tools' transcripts: one JSON object per line in, the
// token and spend contribution of that line out. Parsers take a buffer, not a
// file, so tests and fuzzers can feed them literals.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "models/timestamp.h"

namespace qd {

class PriceList;

// What one transcript line contributes. Counts are clamped to ±1e12 per field so
// that sums and spend never overflow.
struct TranscriptLineUsage {
  int64_t tokens = 0;
  int64_t costNano = 0;  // US dollars × 1e9, exact
  // Hash of (message.id, requestId) when the line carries both (Claude only); 0 otherwise.
  uint64_t dedupKey = 0;
  // The timestamp as an instant, when it parses as ISO-8601.
  std::optional<Timestamp> time;
  // The model the line was priced as (valid until the parser's next call; empty
  // when none was named), and whether its price came from a family fallback.
  std::string_view model;
  bool pricedByFallback = false;
  // The first 13 bytes of the timestamp text and its full length in bytes, for
  // lines whose timestamp does not parse (day = first ten bytes, hour = bytes 11–12).
  std::array<char, 13> head{};
  size_t timestampLength = 0;

  [[nodiscard]] std::string_view headText() const {
    return {head.data(), timestampLength < head.size() ? timestampLength : head.size()};
  }
};

// The byte sequences without which a line cannot contribute under each rule
// (keys are matched as written, without unescaping).
inline constexpr std::string_view kClaudeLineNeedle = "\"usage\"";
inline constexpr std::string_view kCodexLineNeedle = "\"token_count\"";
// A Codex rollout names its model in "turn_context" lines; later turns are priced by it.
inline constexpr std::string_view kCodexModelNeedle = "\"turn_context\"";

// Parses single lines with a reusable simdjson On-Demand parser. A line that is
// not exactly one JSON object, or lacks what its rule requires, gives nothing.
//
// Thread-safety: not thread-safe; use one instance per thread.
class TranscriptLineParser {
 public:
  // Lines longer than `maxLineBytes` are not parsed (nothing); callers compact them first.
  explicit TranscriptLineParser(size_t maxLineBytes = kDefaultMaxLineBytes);
  ~TranscriptLineParser();
  TranscriptLineParser(const TranscriptLineParser&) = delete;
  TranscriptLineParser& operator=(const TranscriptLineParser&) = delete;

  static constexpr size_t kDefaultMaxLineBytes = 1u << 20;
  // Readable bytes (of any value) required after the line's end.
  static constexpr size_t kPadding = 64;

  // Spend is priced from `prices`; without a list it is 0. The list must outlive the parser.
  void setPrices(std::shared_ptr<const PriceList> prices);

  // `capacity` counts the readable bytes from `line.data()`: at least line.size() + kPadding.
  [[nodiscard]] std::optional<TranscriptLineUsage> claude(std::string_view line, size_t capacity);
  // A token_count line of a rollout whose turns run on `rolloutModel` (the newest
  // turn_context's), unless the line names its own model.
  [[nodiscard]] std::optional<TranscriptLineUsage> codex(std::string_view line, size_t capacity,
                                                         std::optional<std::string_view> rolloutModel = std::nullopt);
  // The model of a rollout's turn_context line (`payload.model`, non-empty text).
  [[nodiscard]] std::optional<std::string> codexTurnModel(std::string_view line, size_t capacity);
  // The same on an unpadded buffer (copied first).
  [[nodiscard]] std::optional<TranscriptLineUsage> claude(std::string_view line);
  [[nodiscard]] std::optional<TranscriptLineUsage> codex(std::string_view line,
                                                         std::optional<std::string_view> rolloutModel = std::nullopt);

  // The newest Claude model a line names: `message.model` (non-empty text) and a
  // parseable top-level `timestamp`; for the latest-model lookup.
  struct ModelSighting {
    std::string_view model;  // valid until the next call
    Timestamp time{};
  };
  [[nodiscard]] std::optional<ModelSighting> claudeModel(std::string_view line);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// 64-bit hash of the (message id, request id) pair; never 0.
[[nodiscard]] uint64_t transcriptDedupKey(std::string_view messageId, std::string_view requestId);

}  // namespace qd
