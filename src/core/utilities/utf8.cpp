#include "utilities/utf8.h"

#include <cstdint>

namespace qd {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence starting at `i`, or 0 with `bad` set to the
// length of the maximal ill-formed subpart to replace (at least 1).
size_t sequenceLength(std::string_view s, size_t i, size_t& bad) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t b0 = byte(i);
  if (b0 < 0x80) return 1;
  size_t need;
  uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    bad = 1;
    return 0;
  }
  for (size_t k = 1; k < need; ++k) {
    if (i + k >= s.size()) {
      bad = k;
      return 0;
    }
    const uint8_t b = byte(i + k);
    const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!ok) {
      bad = k;
      return 0;
    }
  }
  return need;
}

}  // namespace

bool isValidUTF8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    size_t bad = 0;
    const size_t n = sequenceLength(s, i, bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string repairUTF8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  size_t runStart = 0;  // start of the pending valid run, copied in one piece
  while (i < s.size()) {
    if (static_cast<uint8_t>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t bad = 0;
    const size_t n = sequenceLength(s, i, bad);
    if (n > 0) {
      i += n;
      continue;
    }
    out.append(s.substr(runStart, i - runStart));
    out.append(kReplacement);
    i += bad;
    runStart = i;
  }
  out.append(s.substr(runStart));
  return out;
}

}  // namespace qd
