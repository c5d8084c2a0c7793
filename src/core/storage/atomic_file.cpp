#include "storage/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace qd {

std::filesystem::path writeTarget(const std::filesystem::path& path) {
  std::filesystem::path p = path;
  // The kernel's own limit on links followed in one lookup.
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(p, ec)) return p;
    auto next = std::filesystem::read_symlink(p, ec);
    if (ec) return p;
    p = (next.is_absolute() ? next : p.parent_path() / next).lexically_normal();
  }
  return path;  // a loop: the rename then fails or replaces the link, never a stranger
}

bool isReadOnlyFile(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0;
}

namespace {

// A new temporary file in `dir`, named after `name`; its descriptor, or -1.
int makeTemporary(const std::string& dir, const std::string& name, std::vector<char>& path) {
  const std::string tmpl = dir + "/." + name + ".tmp-XXXXXX";
  path.assign(tmpl.begin(), tmpl.end());
  path.push_back('\0');
  return ::mkostemp(path.data(), O_CLOEXEC);
}

bool writeAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string directoryOf(const std::filesystem::path& path) {
  return path.has_parent_path() ? path.parent_path().string() : std::string(".");
}

}  // namespace

AtomicFileWriter::AtomicFileWriter(const std::filesystem::path& requested, mode_t mode)
    : path_(writeTarget(requested)) {
  if (isReadOnlyFile(path_)) {
    errno = EACCES;
    return;
  }
  std::vector<char> name;
  fd_ = makeTemporary(directoryOf(path_), path_.filename().string(), name);
  if (fd_ < 0) return;
  tempName_ = name.data();
  ok_ = ::fchmod(fd_, mode) == 0;
}

AtomicFileWriter::~AtomicFileWriter() {
  if (fd_ >= 0) ::close(fd_);
  if (!tempName_.empty()) ::unlink(tempName_.c_str());
}

void AtomicFileWriter::write(std::string_view bytes) {
  if (ok_ && !writeAll(fd_, bytes)) ok_ = false;
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
  if (!ok_) {
    const int err = errno;
    ::unlink(tempName_.c_str());
    errno = err ? err : EIO;
  }
  tempName_.clear();
  return ok_;
}

bool canWriteBeside(const std::filesystem::path& requested, std::size_t bytes) {
  const std::filesystem::path path = writeTarget(requested);
  if (isReadOnlyFile(path)) return false;
  std::vector<char> name;
  int fd = makeTemporary(directoryOf(path), path.filename().string(), name);
  if (fd < 0) return false;
  // Written and synced, not merely allocated: a full disk shows only then.
  bool ok = writeAll(fd, std::string(bytes, ' ')) && ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  ::unlink(name.data());
  return ok;
}

std::string writeFailureText(const std::filesystem::path& path, int error) {
  if (isReadOnlyFile(writeTarget(path))) return path.filename().string() + " is read-only";
  return std::strerror(error ? error : EIO);
}

bool writeFileAtomically(const std::filesystem::path& requested, std::string_view bytes, mode_t mode) {
  AtomicFileWriter writer(requested, mode);
  writer.write(bytes);
  return writer.commit();
}

}  // namespace qd
