#pragma once
#include <array>
#include <string_view>

#include "models/enum_cases.h"

namespace qd {

// The kind of quota window a reading describes. `sevenDay` and `weekly` are the
// long window; `fiveHour` is the short one.
enum class WindowKind { fiveHour, sevenDay, weekly, monthly, unknown };

template <>
struct EnumCases<WindowKind> {
  static constexpr std::array<WindowKind, 5> all{WindowKind::fiveHour, WindowKind::sevenDay,
                                                 WindowKind::weekly, WindowKind::monthly,
                                                 WindowKind::unknown};
};

[[nodiscard]] std::string_view rawValue(WindowKind w);
[[nodiscard]] std::string_view shortLabel(WindowKind w);  // "5h", "7d", "Weekly", "Monthly", "Window"
[[nodiscard]] int sortRank(WindowKind w);                 // 0, 1, 1, 2, 3
[[nodiscard]] bool isLongWindow(WindowKind w);            // sevenDay or weekly

}  // namespace qd
