#pragma once
// Atomic whole-file writes: every file the system writes in one piece goes through
// here (temporary file in the same directory, fsync, rename). Reads: file_reading.h.
#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "storage/file_reading.h"

namespace qd {

// Writes `bytes` as the whole content of `path`. The file appears complete or not
// at all; an existing file keeps its content on failure. `mode` applies to the new
// file (the umask does not narrow it further). When `path` is a symbolic link
// (a dotfile manager's, even a dangling one), the file it points to is replaced
// and the link stays. A target without any write permission bit is refused, for
// root too: the user made it read-only. Returns false on any failure, with errno
// set (EACCES for a read-only target).
[[nodiscard]] bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                                       mode_t mode = 0644);

// The same, written in pieces: a temporary file in the target's directory that
// `commit` makes durable and renames over the target. Dropped uncommitted, the
// temporary file is removed and the target is untouched.
class AtomicFileWriter {
 public:
  AtomicFileWriter(const std::filesystem::path& path, mode_t mode = 0644);
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  [[nodiscard]] bool ok() const { return ok_; }
  void write(std::string_view bytes);
  // Flushes what was written so far to the disk (so that the final commit has little left to flush).
  void sync();
  // fsync, close, rename; false (and the target untouched) after any failure.
  [[nodiscard]] bool commit();

 private:
  std::filesystem::path path_;
  std::string tempName_;
  int fd_ = -1;
  bool ok_ = false;
};

// The file a whole-file write of `path` replaces: `path` itself, or, through
// symbolic links (dangling ones included), the path they lead to.
[[nodiscard]] std::filesystem::path writeTarget(const std::filesystem::path& path);

// The target exists and has no write permission bit.
[[nodiscard]] bool isReadOnlyFile(const std::filesystem::path& path);

// Whether a whole-file write of `bytes` bytes to `path` can succeed now: the
// target is not read-only and its folder takes a new file of that size (write
// permission, room on the disk). Probes with a temporary file, removed again.
[[nodiscard]] bool canWriteBeside(const std::filesystem::path& path, std::size_t bytes);

// Why a write of `path` just failed, for the log: "<name> is read-only" for a
// refused read-only target, else the system's text for `error` (an errno value).
[[nodiscard]] std::string writeFailureText(const std::filesystem::path& path, int error);

}  // namespace qd
