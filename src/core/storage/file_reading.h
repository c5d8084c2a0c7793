#pragma once
// Opening files written by someone else. A FIFO, socket or device planted where a
// file is expected must not hang or flood a reader: every file is opened without
// blocking, used only when it is a regular file, and only up to a size bound that
// is checked before the first byte is read.
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace qd {

// The bound of readWholeFile: far above any settings, credential or bridge file.
inline constexpr int64_t kMaxWholeFileBytes = int64_t{16} << 20;
// For files streamed in fixed-size pieces, whose memory use does not grow with size.
inline constexpr int64_t kNoFileSizeBound = INT64_MAX;

// A read-only descriptor on a regular file. Move-only; closes on destruction.
class ReadableFile {
 public:
  // Nothing when the path is missing, unreadable, not a regular file (after
  // following links) or larger than `maxBytes`.
  [[nodiscard]] static std::optional<ReadableFile> open(const std::filesystem::path& path, int64_t maxBytes);

  ReadableFile(ReadableFile&& other) noexcept;
  ReadableFile& operator=(ReadableFile&& other) noexcept;
  ReadableFile(const ReadableFile&) = delete;
  ReadableFile& operator=(const ReadableFile&) = delete;
  ~ReadableFile();

  [[nodiscard]] int fd() const { return fd_; }
  // As fstat saw the file when it was opened.
  [[nodiscard]] const struct stat& status() const { return status_; }
  [[nodiscard]] int64_t size() const { return static_cast<int64_t>(status_.st_size); }

  // The whole content; nothing on a read error or when the file grew past `maxBytes` meanwhile.
  [[nodiscard]] std::optional<std::string> readAll(int64_t maxBytes);

 private:
  ReadableFile(int fd, const struct stat& st) : fd_(fd), status_(st) {}
  int fd_ = -1;
  struct stat status_ {};
};

// The whole content of a regular file of at most `maxBytes`, or nothing when it
// is missing, unreadable, not a regular file or larger.
[[nodiscard]] std::optional<std::string> readWholeFile(const std::filesystem::path& path,
                                                       int64_t maxBytes = kMaxWholeFileBytes);

}  // namespace qd
