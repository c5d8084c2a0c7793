#pragma once
#include <string>
#include <string_view>

namespace qd {

// `bytes` as valid UTF-8: every maximal ill-formed subsequence (a stray
// continuation byte, a truncated sequence, an overlong form, a surrogate, a
// value above U+10FFFF) becomes one U+FFFD. Valid input comes back unchanged.
[[nodiscard]] std::string repairUTF8(std::string_view bytes);

[[nodiscard]] bool isValidUTF8(std::string_view bytes);

}  // namespace qd
