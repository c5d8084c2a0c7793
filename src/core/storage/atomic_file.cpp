#include "storage/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace qd {

AtomicFileWriter::AtomicFileWriter(const std::filesystem::path& path, mode_t mode) : path_(path) {
  const std::string dir = path.has_parent_path() ? path.parent_path().string() : std::string(".");
  std::string tmpl = dir + "/." + path.filename().string() + ".tmp-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  fd_ = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd_ < 0) return;
  tempName_ = name.data();
  ok_ = ::fchmod(fd_, mode) == 0;
}

AtomicFileWriter::~AtomicFileWriter() {
  if (fd_ >= 0) ::close(fd_);
  if (!tempName_.empty()) ::unlink(tempName_.c_str());
}

void AtomicFileWriter::write(std::string_view bytes) {
  size_t done = 0;
  while (ok_ && done < bytes.size()) {
    ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok_ = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
}

void AtomicFileWriter::sync() {
  if (ok_ && ::fdatasync(fd_) != 0) ok_ = false;
}

bool AtomicFileWriter::commit() {
  if (fd_ < 0) return false;
  if (ok_ && ::fsync(fd_) != 0) ok_ = false;
  if (::close(fd_) != 0) ok_ = false;
  fd_ = -1;
  if (ok_ && ::rename(tempName_.c_str(), path_.c_str()) != 0) ok_ = false;
  if (ok_) tempName_.clear();  // renamed: nothing to remove
  return ok_;
}

bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t mode) {
  AtomicFileWriter writer(path, mode);
  writer.write(bytes);
  return writer.commit();
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string out;
  out.reserve(static_cast<size_t>(st.st_size));
  char buf[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

}  // namespace qd
