#include "forecasting/transcript_reader.h"

#include <simdjson.h>
#include <unistd.h>

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

size_t findNeedle(std::string_view hay, std::string_view needle, size_t from) {
  if (from >= hay.size()) return std::string_view::npos;
  const void* p = ::memmem(hay.data() + from, hay.size() - from, needle.data(), needle.size());
  return p ? static_cast<size_t>(static_cast<const char*>(p) - hay.data()) : std::string_view::npos;
}

bool isBreak(char c) { return c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

class TranscriptReader::Source {
 public:
  virtual ~Source() = default;
  // Bytes read (0 at the end), or -1 on error.
  virtual ssize_t read(char* into, size_t capacity) = 0;
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
    size_t end = start;
    while (end < len && !isBreak(data[end])) ++end;
    if (end > start) {
      const std::string_view piece(data + start, end - start);
      if (findNeedle(piece, needle, 0) != std::string_view::npos) {
        auto usage = rule == TranscriptRule::claude ? parser_.claude(piece, capacity - start)
                                                    : parser_.codex(piece, capacity - start);
        if (usage) sink(*usage, tail);
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

void TranscriptReader::compactFeed(const char* data, size_t len) {
  if (overflow_) return;
  for (size_t i = 0; i < len; ++i) {
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
  char* buf = buffer_.data();
  const size_t cap = blockBytes_;
  const size_t capacityWithPadding = buffer_.size();
  size_t len = 0, lineStart = 0, validated = 0;
  int64_t bufOffset = startOffset;  // file offset of buf[0]
  bool huge = false;
  compactReset();

  for (;;) {
    if (len == cap) {
      if (lineStart > 0) {
        std::memmove(buf, buf + lineStart, len - lineStart);
        len -= lineStart;
        validated -= lineStart;
        bufOffset += static_cast<int64_t>(lineStart);
        lineStart = 0;
      } else {
        // One line fills the whole block: carry on with it compacted.
        huge = true;
        compactFeed(buf, validated);
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
    const size_t checkEnd = eof ? len : len - incompleteUTF8Tail(buf + validated, len - validated);
    if (checkEnd > validated && !simdjson::validate_utf8(buf + validated, checkEnd - validated)) {
      out.validUTF8 = false;
      break;
    }
    validated = checkEnd;

    // Complete lines lie before the last LF; the bytes after it belong to a line still open.
    const void* lastLF = len > lineStart ? ::memrchr(buf + lineStart, '\n', len - lineStart) : nullptr;
    if (lastLF) {
      const size_t regionEnd = static_cast<const char*>(lastLF) - buf;  // index of the last LF
      size_t pos = lineStart;
      if (huge) {
        const char* lf = static_cast<const char*>(std::memchr(buf + pos, '\n', regionEnd + 1 - pos));
        const size_t end = lf - buf;
        compactFeed(buf + pos, end - pos);
        handleCompacted(rule, false, sink);
        huge = false;
        pos = end + 1;
      }
      const std::string_view region(buf, regionEnd);
      while (pos < regionEnd) {
        const size_t hit = findNeedle(region, needle, pos);
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
        compactFeed(buf + lineStart, len - lineStart);
        handleCompacted(rule, true, sink);
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
