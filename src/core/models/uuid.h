#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qd {

// A 128-bit identifier; its text form is the standard 36-character string,
// written in upper case and read in either case.
struct Uuid {
  std::array<uint8_t, 16> bytes{};

  [[nodiscard]] static Uuid random();  // version 4
  [[nodiscard]] static std::optional<Uuid> parse(std::string_view text);
  [[nodiscard]] std::string str() const;

  auto operator<=>(const Uuid&) const = default;
};

}  // namespace qd

template <>
struct std::hash<qd::Uuid> {
  size_t operator()(const qd::Uuid& u) const noexcept {
    uint64_t a = 0, b = 0;
    for (int i = 0; i < 8; ++i) a = (a << 8) | u.bytes[i];
    for (int i = 8; i < 16; ++i) b = (b << 8) | u.bytes[i];
    return std::hash<uint64_t>{}(a ^ (b * 0x9E3779B97F4A7C15ULL));
  }
};
