#pragma once
#include <array>
#include <string_view>

#include "models/enum_cases.h"

namespace qd {

// The supported AI coding tools, Codex first.
enum class Provider { codex, claude };

template <>
struct EnumCases<Provider> {
  static constexpr std::array<Provider, 2> all{Provider::codex, Provider::claude};
};

[[nodiscard]] std::string_view rawValue(Provider p);
[[nodiscard]] std::string_view displayName(Provider p);  // "Codex", "Claude Code"
[[nodiscard]] std::string_view shortLabel(Provider p);   // "C", "Cl"

}  // namespace qd
