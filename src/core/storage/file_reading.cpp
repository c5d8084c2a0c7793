#include "storage/file_reading.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace qd {

std::optional<ReadableFile> ReadableFile::open(const std::filesystem::path& path, int64_t maxBytes) {
  // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for ever.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 || st.st_size > maxBytes) {
    ::close(fd);
    return std::nullopt;
  }
  return ReadableFile(fd, st);
}

ReadableFile::ReadableFile(ReadableFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), status_(other.status_) {}

ReadableFile& ReadableFile::operator=(ReadableFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    status_ = other.status_;
  }
  return *this;
}

ReadableFile::~ReadableFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::string> ReadableFile::readAll(int64_t maxBytes) {
  std::string out;
  out.reserve(static_cast<size_t>(size()));
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return out;
    out.append(buf, static_cast<size_t>(n));
    if (static_cast<int64_t>(out.size()) > maxBytes) return std::nullopt;
  }
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path, int64_t maxBytes) {
  auto file = ReadableFile::open(path, maxBytes);
  if (!file) return std::nullopt;
  return file->readAll(maxBytes);
}

}  // namespace qd
