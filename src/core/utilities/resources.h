#pragma once
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace qd::Resources {

// The directories searched for the program's resources, in order: `share/quotadial`
// beside the running executable's `bin` (a relocated install), the source tree's
// `resources` the program was built from, and the configured install location.
[[nodiscard]] std::vector<std::filesystem::path> searchDirectories();

// The first regular file called `fileName` in those directories.
[[nodiscard]] std::optional<std::filesystem::path> locate(std::string_view fileName);

}  // namespace qd::Resources
