#include "forecasting/transcript_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

namespace qd {

namespace {

bool isTranscriptName(std::string_view name) {
  constexpr std::string_view ext = ".jsonl";
  return name.size() > ext.size() && name.substr(name.size() - ext.size()) == ext;
}

using DirectoryVisitor = std::function<void(const std::string&)>;

void fill(TranscriptFileInfo& info, const struct stat& st) {
  info.size = static_cast<int64_t>(st.st_size);
  info.mtime = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
  info.device = st.st_dev;
  info.inode = st.st_ino;
}

void walk(int dirFd, std::string& path, const std::function<void(TranscriptFileInfo&&)>& visit,
          const DirectoryVisitor* visitDirectory, int depth) {
  if (depth > 64) {
    ::close(dirFd);
    return;
  }
  if (visitDirectory && *visitDirectory) (*visitDirectory)(path);
  DIR* dir = ::fdopendir(dirFd);
  if (!dir) {
    ::close(dirFd);
    return;
  }
  const size_t base = path.size();
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    const unsigned char type = entry->d_type;
    if (type == DT_DIR || (type == DT_UNKNOWN && !isTranscriptName(name))) {
      int child = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) {
        path.push_back('/');
        path.append(name);
        walk(child, path, visit, visitDirectory, depth + 1);
        path.resize(base);
      }
      continue;
    }
    if ((type != DT_REG && type != DT_UNKNOWN) || !isTranscriptName(name)) continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode)) continue;
    TranscriptFileInfo info;
    info.path.reserve(base + 1 + name.size());
    info.path.append(path).push_back('/');
    info.path.append(name);
    fill(info, st);
    visit(std::move(info));
  }
  ::closedir(dir);
}

}  // namespace

void listTranscriptFiles(const std::string& directory, const std::function<void(TranscriptFileInfo&&)>& visit,
                         const std::function<void(const std::string&)>& visitDirectory) {
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  std::string path = directory;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  walk(fd, path, visit, &visitDirectory, 0);
}

void listTranscriptFiles(const std::string& directory, const std::function<void(TranscriptFileInfo&&)>& visit) {
  listTranscriptFiles(directory, visit, nullptr);
}

bool statTranscriptFile(const std::string& path, TranscriptFileInfo& info) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  info.path = path;
  fill(info, st);
  return true;
}

}  // namespace qd
