#pragma once
#include <array>
#include <string_view>

#include "models/enum_cases.h"

namespace qd {

// How trustworthy a reading is, in ascending order of trust.
enum class SourceConfidence { low, medium, high };

template <>
struct EnumCases<SourceConfidence> {
  static constexpr std::array<SourceConfidence, 3> all{SourceConfidence::low, SourceConfidence::medium,
                                                       SourceConfidence::high};
};

[[nodiscard]] std::string_view rawValue(SourceConfidence c);

}  // namespace qd
