#pragma once
// Small text helpers shared by the parsers.
#include <string>
#include <string_view>

namespace qd {

// `s` with A–Z turned into a–z; every other byte (UTF-8 included) unchanged,
// whatever the process locale.
[[nodiscard]] std::string asciiLowercase(std::string_view s);

// `s` with every control character (C0, DEL and, in UTF-8, C1) written as a
// visible escape: "\n", "\r", "\t", else "\x1b" or "\u0085". Keeps text from outside
// from starting a line of its own or steering a terminal.
[[nodiscard]] std::string escapeControlCharacters(std::string_view s);

}  // namespace qd
