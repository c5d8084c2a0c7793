#pragma once
// Streams one transcript file through a line rule with bounded memory: the file
// is read in fixed-size blocks, only lines holding the rule's key are parsed,
// and a line longer than a block is compacted (long texts dropped) on the fly.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "forecasting/transcript_line_parser.h"

namespace qd {

enum class TranscriptRule { claude, codex };

// Thread-safety: not thread-safe; one reader per thread, reused across files.
class TranscriptReader {
 public:
  static constexpr size_t kDefaultBlockBytes = 2u << 20;
  explicit TranscriptReader(size_t blockBytes = kDefaultBlockBytes);

  // The prices spend is estimated with; without them spend is 0.
  void setPrices(std::shared_ptr<const PriceList> prices) { parser_.setPrices(std::move(prices)); }

  struct Outcome {
    bool readOK = true;      // false: a read error (the file's figures are unreliable)
    int64_t endOffset = 0;   // file offset where reading stopped (end of file when all went well)
    int64_t committedOffset = 0;  // offset just past the last line break read
  };

  // A line's contribution; `tail` is true for a last line without a line break.
  using Sink = std::function<void(const TranscriptLineUsage&, bool tail)>;

  // Reads `fd` from `startOffset` (a line start) to its end. Lines are split at
  // LF, CR, VT and FF; empty lines and lines that are not valid UTF-8 are skipped.
  [[nodiscard]] Outcome read(int fd, int64_t startOffset, TranscriptRule rule, const Sink& sink);

  // The same over bytes in memory (the whole "file"); for fuzzing and tests.
  [[nodiscard]] Outcome readBuffer(std::string_view bytes, TranscriptRule rule, const Sink& sink);

  class Source;  // where the bytes come from (a file descriptor or memory)

 private:
  Outcome run(Source& source, int64_t startOffset, TranscriptRule rule, const Sink& sink);
  void handleLine(const char* data, size_t len, size_t capacity, TranscriptRule rule, bool tail,
                  const Sink& sink);
  void handleCompacted(TranscriptRule rule, bool tail, const Sink& sink);

  size_t blockBytes_;
  std::vector<char> buffer_;
  // Compaction of an over-long line: strings longer than keptStringBytes_ become "".
  size_t keptStringBytes_;
  TranscriptLineParser parser_;
  std::optional<std::string> codexModel_;  // the current file's newest turn_context model

  void compactFeed(const char* data, size_t len);
  void compactReset();
  std::string compacted_;
  std::vector<char> reread_;
  bool inString_ = false, escape_ = false, dropped_ = false, overflow_ = false;
  size_t contentStart_ = 0;
};

}  // namespace qd
