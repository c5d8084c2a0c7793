#include "providers/codex/line_assembler.h"

#include <algorithm>

#include <simdjson.h>

namespace qd {

namespace {
// Above this a buffer left over from a long line is given back after use.
constexpr size_t kKeepCapacity = 64 * 1024;
}  // namespace

void LineAssembler::feed(std::string_view bytes, const LineHandler& onLine) {
  while (!bytes.empty()) {
    const size_t nl = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, nl);
    if (discarding_) {
      // still inside an over-long line: drop until its end
    } else if (partial_.size() + piece.size() > maxLineBytes_) {
      ++dropped_;
      discarding_ = true;
      partial_.clear();
      releaseIfLarge();
    } else if (nl != std::string_view::npos && partial_.empty()) {
      emit(piece, onLine);
    } else {
      append(piece);
      if (nl != std::string_view::npos) {
        emit(partial_, onLine);
        partial_.clear();
        releaseIfLarge();
      }
    }
    if (nl == std::string_view::npos) break;
    discarding_ = false;
    bytes.remove_prefix(nl + 1);
  }
}

void LineAssembler::append(std::string_view piece) {
  const size_t needed = partial_.size() + piece.size();
  // Grow geometrically but never past the cap, so a line just under it cannot
  // double the buffer to twice the cap.
  if (needed > partial_.capacity()) {
    // A fresh string: reserve on the old one may round up to twice its capacity.
    std::string grown;
    grown.reserve(std::min(maxLineBytes_, std::max(needed, partial_.capacity() * 2)));
    grown.append(partial_);
    partial_.swap(grown);
  }
  partial_.append(piece);
}

void LineAssembler::emit(std::string_view line, const LineHandler& onLine) {
  if (line.empty()) return;
  if (!simdjson::validate_utf8(line.data(), line.size())) {
    ++dropped_;
    return;
  }
  if (onLine) onLine(line);
}

void LineAssembler::releaseIfLarge() {
  if (partial_.capacity() > kKeepCapacity) std::string().swap(partial_);
}

}  // namespace qd
