#pragma once
// Every enum of the domain has raw values equal to its case names and an
// iteration order equal to its declaration order. `EnumCases<E>::all` lists the
// cases; `rawValue(E)` is declared beside each enum.
#include <optional>
#include <string_view>

namespace qd {

template <class E>
struct EnumCases;  // specialised beside each enum: static constexpr std::array<E, N> all

template <class E>
[[nodiscard]] constexpr const auto& allCases() {
  return EnumCases<E>::all;
}

// The case whose raw value is `raw`, or nothing.
template <class E>
[[nodiscard]] std::optional<E> enumFromRaw(std::string_view raw) {
  for (E e : EnumCases<E>::all)
    if (rawValue(e) == raw) return e;
  return std::nullopt;
}

}  // namespace qd
