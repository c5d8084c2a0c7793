#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace qd {

// Reassembles line-feed separated lines from the pieces a pipe delivers: one line
// may come in many pieces, many lines in one piece. Empty lines, lines that are not
// valid UTF-8 and lines longer than `maxLineBytes` are dropped; an over-long line is
// discarded as it streams in, so the buffer never grows past `maxLineBytes`.
//
// Thread-safety: none; one reader owns it.
class LineAssembler {
 public:
  using LineHandler = std::function<void(std::string_view line)>;

  explicit LineAssembler(size_t maxLineBytes) : maxLineBytes_(maxLineBytes) {}

  void feed(std::string_view bytes, const LineHandler& onLine);

  [[nodiscard]] size_t bufferedBytes() const { return partial_.size(); }
  // Memory held for a partial line; never above `maxLineBytes`.
  [[nodiscard]] size_t bufferCapacity() const { return partial_.capacity(); }
  [[nodiscard]] size_t droppedLines() const { return dropped_; }

 private:
  void append(std::string_view piece);
  void emit(std::string_view line, const LineHandler& onLine);
  void releaseIfLarge();

  size_t maxLineBytes_;
  std::string partial_;
  bool discarding_ = false;  // inside a line already known to be too long
  size_t dropped_ = 0;
};

}  // namespace qd
