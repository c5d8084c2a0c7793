#include "models/uuid.h"

#include <random>

namespace qd {

namespace {
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

Uuid Uuid::random() {
  // One generator per thread, seeded from the OS once.
  thread_local std::mt19937_64 engine{[] {
    std::random_device rd;
    std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
    return std::mt19937_64{seq};
  }()};
  Uuid u;
  for (int i = 0; i < 16; i += 8) {
    uint64_t v = engine();
    for (int j = 0; j < 8; ++j) u.bytes[i + j] = static_cast<uint8_t>(v >> (j * 8));
  }
  u.bytes[6] = static_cast<uint8_t>((u.bytes[6] & 0x0F) | 0x40);
  u.bytes[8] = static_cast<uint8_t>((u.bytes[8] & 0x3F) | 0x80);
  return u;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  Uuid u;
  size_t byte = 0;
  for (size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    int hi = hexValue(text[i]), lo = hexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    u.bytes[byte++] = static_cast<uint8_t>(hi * 16 + lo);
    i += 2;
  }
  return u;
}

std::string Uuid::str() const {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kHex[bytes[i] >> 4]);
    out.push_back(kHex[bytes[i] & 0xF]);
  }
  return out;
}

}  // namespace qd
