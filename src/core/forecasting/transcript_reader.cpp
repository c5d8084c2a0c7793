#include "forecasting/transcript_reader.h"

#include <simdjson.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qd {

namespace {

// Bytes at the end of [p, p+n) that start a UTF-8 sequence the block cut short.
size_t incompleteUTF8Tail(const char* p, size_t n) {
  for (size_t i = 1; i <= 3 && i <= n; ++i) {
    const auto b = static_cast<unsigned char>(p[n - i]);
    if ((b & 0xC0) == 0x80) continue;
    if (b < 0xC0) return 0;
    const size_t need = b >= 0xF0 ? 4 : (b >= 0xE0 ? 3 : 2);
    return need > i ? i : 0;
  }
  return 0;
}

#if defined(__x86_64__)
// Compares the needle's second and second-to-last bytes at 32 positions at once
// and checks the whole needle only where both match.
__attribute__((target("avx2,bmi"))) size_t findNeedleAVX2(const char* hay, size_t n, std::string_view needle) {
  const size_t k = needle.size();
  const __m256i a = _mm256_set1_epi8(needle[1]), b = _mm256_set1_epi8(needle[k - 2]);
  size_t i = 0;
  for (; i + 32 + k - 1 <= n; i += 32) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay + i + 1));
    const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay + i + k - 2));
    uint32_t mask = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(x, a), _mm256_cmpeq_epi8(y, b))));
    while (mask) {
      const size_t at = i + static_cast<size_t>(__builtin_ctz(mask));
      if (std::memcmp(hay + at, needle.data(), k) == 0) return at;
      mask &= mask - 1;
    }
  }
  if (i >= n) return std::string_view::npos;
  const void* p = ::memmem(hay + i, n - i, needle.data(), k);
  return p ? static_cast<size_t>(static_cast<const char*>(p) - hay) : std::string_view::npos;
}

const bool kHaveAVX2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi");
#endif

size_t findNeedle(std::string_view hay, std::string_view needle, size_t from) {
  if (from >= hay.size() || needle.size() > hay.size() - from) return std::string_view::npos;
#if defined(__x86_64__)
  if (kHaveAVX2 && needle.size() >= 4) {
    const size_t at = findNeedleAVX2(hay.data() + from, hay.size() - from, needle);
    return at == std::string_view::npos ? at : at + from;
  }
#endif
  const void* p = ::memmem(hay.data() + from, hay.size() - from, needle.data(), needle.size());
  return p ? static_cast<size_t>(static_cast<const char*>(p) - hay.data()) : std::string_view::npos;
}


}  // namespace

class TranscriptReader::Source {
 public:
  virtual ~Source() = default;
  // Bytes read (0 at the end), or -1 on error.
  virtual ssize_t read(char* into, size_t capacity) = 0;
  // Exactly `n` bytes at `offset` again (an over-long line is read twice), or false.
  virtual bool readAt(int64_t offset, char* into, size_t n) = 0;
};

namespace {

class FdSource final : public TranscriptReader::Source {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  ssize_t read(char* into, size_t capacity) override {
    for (;;) {
      const ssize_t n = ::read(fd_, into, capacity);
      if (n < 0 && errno == EINTR) continue;
      return n;
    }
  }
  bool readAt(int64_t offset, char* into, size_t n) override {
    size_t got = 0;
    while (got < n) {
      const ssize_t r = ::pread(fd_, into + got, n - got, offset + static_cast<int64_t>(got));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }

 private:
  int fd_;
};

class MemorySource final : public TranscriptReader::Source {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
  ssize_t read(char* into, size_t capacity) override {
    const size_t n = std::min(capacity, bytes_.size() - pos_);
    std::memcpy(into, bytes_.data() + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }
  bool readAt(int64_t offset, char* into, size_t n) override {
    if (offset < 0 || static_cast<size_t>(offset) + n > bytes_.size()) return false;
    std::memcpy(into, bytes_.data() + offset, n);
    return true;
  }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
};

}  // namespace

TranscriptReader::TranscriptReader(size_t blockBytes)
    : blockBytes_(blockBytes < 4096 ? 4096 : blockBytes),
      buffer_(blockBytes_ + TranscriptLineParser::kPadding),
      keptStringBytes_(std::min<size_t>(4096, blockBytes_ / 16)),
      parser_(blockBytes_) {}

TranscriptReader::Outcome TranscriptReader::read(int fd, int64_t startOffset, TranscriptRule rule,
                                                 const Sink& sink) {
  FdSource source(fd);
  return run(source, startOffset, rule, sink);
}

TranscriptReader::Outcome TranscriptReader::readBuffer(std::string_view bytes, TranscriptRule rule,
                                                       const Sink& sink) {
  MemorySource source(bytes);
  return run(source, 0, rule, sink);
}

void TranscriptReader::handleLine(const char* data, size_t len, size_t capacity, TranscriptRule rule,
                                  bool tail, const Sink& sink) {
  const std::string_view needle = rule == TranscriptRule::claude ? kClaudeLineNeedle : kCodexLineNeedle;
  // The pieces between CR, VT and FF are lines of their own.
  size_t start = 0;
  while (start < len) {
    size_t end = len;
    for (char brk : {'\r', '\v', '\f'}) {
      const void* p = std::memchr(data + start, brk, end - start);
      if (p) end = static_cast<size_t>(static_cast<const char*>(p) - data);
    }
    if (end > start) {
      const std::string_view piece(data + start, end - start);
      // Text that is not UTF-8 (a line torn inside a character) is a bad line of its own.
      if (findNeedle(piece, needle, 0) != std::string_view::npos &&
          simdjson::validate_utf8(piece.data(), piece.size())) {
        auto usage = rule == TranscriptRule::claude ? parser_.claude(piece, capacity - start)
                                                    : parser_.codex(piece, capacity - start, codexModel_);
        if (usage) sink(*usage, tail);
      } else if (rule == TranscriptRule::codex && findNeedle(piece, kCodexModelNeedle, 0) != std::string_view::npos) {
        if (auto model = parser_.codexTurnModel(piece, capacity - start)) codexModel_ = std::move(*model);
      }
    }
    start = end + 1;
  }
}

void TranscriptReader::compactReset() {
  compacted_.clear();
  inString_ = escape_ = dropped_ = overflow_ = false;
  contentStart_ = 0;
}

namespace {

// Index of the first '"' or '\\' in [p, p+n), or n.
size_t findQuoteOrBackslash(const char* p, size_t n) {
  constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
  constexpr uint64_t quotes = ones * '"', slashes = ones * '\\';
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    const uint64_t a = w ^ quotes, b = w ^ slashes;
    const uint64_t hit = ((a - ones) & ~a & highs) | ((b - ones) & ~b & highs);
    if (hit) break;
  }
  for (; i < n; ++i)
    if (p[i] == '"' || p[i] == '\\') return i;
  return n;
}

}  // namespace

void TranscriptReader::compactFeed(const char* data, size_t len) {
  if (overflow_) return;
  for (size_t i = 0; i < len; ++i) {
    if (inString_ && dropped_ && !escape_) {
      // Inside a text already dropped: only a quote or an escape matters.
      i += findQuoteOrBackslash(data + i, len - i);
      if (i == len) break;
    }
    const char c = data[i];
    if (!inString_) {
      compacted_.push_back(c);
      if (c == '"') {
        inString_ = true;
        escape_ = dropped_ = false;
        contentStart_ = compacted_.size();
      }
      continue;
    }
    if (escape_) {
      escape_ = false;
    } else if (c == '\\') {
      escape_ = true;
    } else if (c == '"') {
      inString_ = false;
      compacted_.push_back(c);
      continue;
    }
    if (dropped_) continue;
    compacted_.push_back(c);
    if (compacted_.size() - contentStart_ > keptStringBytes_) {
      compacted_.resize(contentStart_);
      dropped_ = true;
    }
  }
  // What remains of a line once its long texts are gone must still fit the parser.
  if (compacted_.size() > blockBytes_) {
    overflow_ = true;
    compacted_.clear();
  }
}

void TranscriptReader::handleCompacted(TranscriptRule rule, bool tail, const Sink& sink) {
  if (!overflow_ && !compacted_.empty()) {
    const size_t len = compacted_.size();
    compacted_.append(TranscriptLineParser::kPadding, ' ');
    handleLine(compacted_.data(), len, compacted_.size(), rule, tail, sink);
  }
  compactReset();
}

TranscriptReader::Outcome TranscriptReader::run(Source& source, int64_t startOffset, TranscriptRule rule,
                                                const Sink& sink) {
  Outcome out;
  out.endOffset = out.committedOffset = startOffset;
  const std::string_view needle = rule == TranscriptRule::claude ? kClaudeLineNeedle : kCodexLineNeedle;
  // Codex lines that name the model are read too (not inside over-long lines).
  const std::string_view modelNeedle = rule == TranscriptRule::codex ? kCodexModelNeedle : std::string_view();
  codexModel_.reset();
  char* buf = buffer_.data();
  const size_t cap = blockBytes_;
  const size_t capacityWithPadding = buffer_.size();
  size_t len = 0, lineStart = 0, validated = 0;
  int64_t bufOffset = startOffset;  // file offset of buf[0]
  bool huge = false;
  int64_t hugeStart = 0;  // file offset of the over-long line
  bool hugeNeedle = false;
  std::string boundary;  // the last bytes already passed of the over-long line
  compactReset();

  // Looks for the rule's key in the next piece of an over-long line, also across pieces.
  auto scanHuge = [&](const char* p, size_t n) {
    if (hugeNeedle || n == 0) return;
    std::string joined = boundary;
    joined.append(p, std::min(n, needle.size() - 1));
    if (findNeedle(joined, needle, 0) != std::string_view::npos || findNeedle({p, n}, needle, 0) != std::string_view::npos) {
      hugeNeedle = true;
      return;
    }
    boundary.append(p + (n > needle.size() ? n - needle.size() : 0), std::min(n, needle.size()));
    if (boundary.size() > needle.size()) boundary.erase(0, boundary.size() - (needle.size() - 1));
  };
  // Only an over-long line that holds the key is read a second time, compacted.
  auto finishHuge = [&](int64_t end, bool tail) {
    if (hugeNeedle) {
      compactReset();
      if (reread_.empty()) reread_.resize(256 * 1024);
      bool ok = true;
      for (int64_t off = hugeStart; ok && off < end;) {
        const size_t n = static_cast<size_t>(std::min<int64_t>(end - off, static_cast<int64_t>(reread_.size())));
        ok = source.readAt(off, reread_.data(), n);
        if (ok) compactFeed(reread_.data(), n);
        off += static_cast<int64_t>(n);
      }
      if (ok) handleCompacted(rule, tail, sink);
      compactReset();
    }
    huge = hugeNeedle = false;
    boundary.clear();
  };

  for (;;) {
    if (len == cap) {
      if (lineStart > 0) {
        std::memmove(buf, buf + lineStart, len - lineStart);
        len -= lineStart;
        validated -= lineStart;
        bufOffset += static_cast<int64_t>(lineStart);
        lineStart = 0;
      } else {
        // One line fills the whole block: follow it to its end without keeping it.
        if (!huge) {
          huge = true;
          hugeStart = bufOffset;
          hugeNeedle = false;
          boundary.clear();
        }
        scanHuge(buf, validated);
        std::memmove(buf, buf + validated, len - validated);
        bufOffset += static_cast<int64_t>(validated);
        len -= validated;
        validated = 0;
      }
    }
    const ssize_t n = source.read(buf + len, cap - len);
    if (n < 0) {
      out.readOK = false;
      break;
    }
    const bool eof = n == 0;
    len += static_cast<size_t>(n);
    // An over-long line is followed piece by piece; a piece never ends inside a character.
    validated = eof ? len : len - incompleteUTF8Tail(buf + validated, len - validated);

    // Complete lines lie before the last LF; the bytes after it belong to a line still open.
    const void* lastLF = len > lineStart ? ::memrchr(buf + lineStart, '\n', len - lineStart) : nullptr;
    if (lastLF) {
      const size_t regionEnd = static_cast<const char*>(lastLF) - buf;  // index of the last LF
      size_t pos = lineStart;
      if (huge) {
        const char* lf = static_cast<const char*>(std::memchr(buf + pos, '\n', regionEnd + 1 - pos));
        const size_t end = lf - buf;
        scanHuge(buf + pos, end - pos);
        finishHuge(bufOffset + static_cast<int64_t>(end), false);
        pos = end + 1;
      }
      const std::string_view region(buf, regionEnd);
      // The next hit of each needle, searched again only once passed.
      size_t nextLine = 0, nextModel = 0;
      bool lineKnown = false, modelKnown = modelNeedle.empty();
      if (modelNeedle.empty()) nextModel = std::string_view::npos;
      while (pos < regionEnd) {
        if (!lineKnown || (nextLine != std::string_view::npos && nextLine < pos)) {
          nextLine = findNeedle(region, needle, pos);
          lineKnown = true;
        }
        if (!modelKnown || (nextModel != std::string_view::npos && nextModel < pos)) {
          nextModel = findNeedle(region, modelNeedle, pos);
          modelKnown = true;
        }
        const size_t hit = std::min(nextLine, nextModel);
        if (hit == std::string_view::npos) break;
        const void* before = hit > pos ? ::memrchr(buf + pos, '\n', hit - pos) : nullptr;
        const size_t ls = before ? static_cast<const char*>(before) - buf + 1 : pos;
        const char* after = static_cast<const char*>(std::memchr(buf + hit, '\n', regionEnd + 1 - hit));
        const size_t le = after - buf;
        handleLine(buf + ls, le - ls, capacityWithPadding - ls, rule, false, sink);
        pos = le + 1;
      }
      lineStart = regionEnd + 1;
      out.committedOffset = bufOffset + static_cast<int64_t>(lineStart);
    }
    if (eof) {
      if (huge) {
        scanHuge(buf + lineStart, len - lineStart);
        finishHuge(bufOffset + static_cast<int64_t>(len), true);
      } else if (len > lineStart) {
        handleLine(buf + lineStart, len - lineStart, capacityWithPadding - lineStart, rule, true, sink);
      }
      out.endOffset = bufOffset + static_cast<int64_t>(len);
      return out;
    }
  }
  out.endOffset = bufOffset + static_cast<int64_t>(len);
  return out;
}

}  // namespace qd
