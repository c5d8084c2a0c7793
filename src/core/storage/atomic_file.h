#pragma once
// Atomic whole-file writes: every file the system writes in one piece goes through
// here (temporary file in the same directory, fsync, rename). Reads: file_reading.h.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "storage/file_reading.h"

namespace qd {

// Writes `bytes` as the whole content of `path`. The file appears complete or not
// at all; an existing file keeps its content on failure. `mode` applies to the new
// file (the umask does not narrow it further). Returns false on any failure.
[[nodiscard]] bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                                       mode_t mode = 0644);

}  // namespace qd
