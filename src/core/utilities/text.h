#pragma once
// Small text helpers shared by the parsers.
#include <string>
#include <string_view>

namespace qd {

// `s` with A–Z turned into a–z; every other byte (UTF-8 included) unchanged,
// whatever the process locale.
[[nodiscard]] std::string asciiLowercase(std::string_view s);

}  // namespace qd
