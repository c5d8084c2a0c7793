#include "storage/local_file_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace qd::LocalFileStore {

namespace {
std::filesystem::path fromEnv(const char* name) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::filesystem::path(v) : std::filesystem::path();
}
}  // namespace

std::filesystem::path homeDirectory() {
  if (auto home = fromEnv("HOME"); !home.empty()) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/tmp";
}

std::filesystem::path baseDirectory() {
  auto data = fromEnv("XDG_DATA_HOME");
  if (data.empty() || data.is_relative()) data = homeDirectory() / ".local" / "share";
  return data / "Quotadial";
}

std::filesystem::path snapshotsFile() { return baseDirectory() / "snapshots.ndjson"; }

void ensureDirectories() {
  std::error_code ec;
  const auto base = baseDirectory();
  std::filesystem::create_directories(base / "logs", ec);
  const auto file = base / "snapshots.ndjson";
  // O_EXCL: never touch an existing file.
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd >= 0) ::close(fd);
}

std::filesystem::path claudeHome() {
  if (auto dir = fromEnv("CLAUDE_CONFIG_DIR"); !dir.empty()) return dir;
  return homeDirectory() / ".claude";
}

std::filesystem::path codexHome() {
  if (auto dir = fromEnv("CODEX_HOME"); !dir.empty()) return dir;
  return homeDirectory() / ".codex";
}

}  // namespace qd::LocalFileStore
