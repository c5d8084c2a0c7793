#include "utilities/resources.h"

#include <system_error>

namespace qd::Resources {

std::vector<std::filesystem::path> searchDirectories() {
  std::vector<std::filesystem::path> dirs;
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec && exe.has_parent_path()) dirs.push_back(exe.parent_path().parent_path() / "share" / "quotadial");
  dirs.emplace_back(QUOTADIAL_BUILD_RESOURCES_DIR);
  dirs.emplace_back(QUOTADIAL_INSTALL_RESOURCES_DIR);
  return dirs;
}

std::optional<std::filesystem::path> locate(std::string_view fileName) {
  for (const auto& dir : searchDirectories()) {
    std::error_code ec;
    auto candidate = dir / fileName;
    if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
  }
  return std::nullopt;
}

}  // namespace qd::Resources
