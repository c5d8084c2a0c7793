#pragma once
// Whole-file reads and atomic whole-file writes: every file the system writes in
// one piece goes through here (temporary file in the same directory, fsync, rename).
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qd {

// Writes `bytes` as the whole content of `path`. The file appears complete or not
// at all; an existing file keeps its content on failure. `mode` applies to the new
// file (the umask does not narrow it further). Returns false on any failure.
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

// The whole content of a regular file, or nothing when it is missing or unreadable.
[[nodiscard]] std::optional<std::string> readWholeFile(const std::filesystem::path& path);

}  // namespace qd
