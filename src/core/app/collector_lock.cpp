#include "app/collector_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "storage/atomic_file.h"
#include "utilities/serial_queue.h"

namespace qd {

namespace {

// The status file is ours and small; anything larger is not read.
constexpr off_t kMaxStatusBytes = 64 * 1024;

struct Paths {
  std::filesystem::path lock;
  std::filesystem::path status;
};

std::filesystem::path directoryFor(const std::filesystem::path& supportDirectory) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code ec;
  if (runtime && *runtime && std::filesystem::is_directory(runtime, ec)) {
    std::filesystem::path dir = std::filesystem::path(runtime) / "quotadial";
    if (::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) {
      struct stat st {};
      if (::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid()) return dir;
    }
  }
  return supportDirectory;
}

Paths pathsFor(const std::filesystem::path& supportDirectory) {
  // FNV-1a of the data directory: each data directory has its own collector.
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : std::filesystem::absolute(supportDirectory).lexically_normal().string()) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  char key[17];
  std::snprintf(key, sizeof key, "%016llx", static_cast<unsigned long long>(hash));
  const std::filesystem::path dir = directoryFor(supportDirectory);
  const std::string stem = std::string("collector-") + key;
  return {dir / (stem + ".lock"), dir / (stem + ".json")};
}

// Whether another open file description holds the lock. Open-file-description
// locks are used because a classic record lock would be dropped by any close of
// the file in this process.
bool heldElsewhere(int fd) {
  struct flock query {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_GETLK, &query) == 0 && query.l_type != F_UNLCK;
}

std::optional<std::string> readSmallFile(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::optional<std::string> out;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxStatusBytes) {
    std::string text(static_cast<size_t>(st.st_size), '\0');
    const ssize_t n = ::read(fd, text.data(), text.size());
    if (n >= 0) {
      text.resize(static_cast<size_t>(n));
      out = std::move(text);
    }
  }
  ::close(fd);
  return out;
}

// What the status file of the lock's holder says; only a pid when it names a
// process that has gone (a file left by an earlier collector that was killed).
CollectorStatus readStatus(const std::filesystem::path& path) {
  CollectorStatus status;
  auto text = readSmallFile(path);
  if (!text) return status;
  auto json = nlohmann::json::parse(*text, nullptr, false);
  if (!json.is_object()) return status;
  auto filePid = json.find("pid");
  if (filePid == json.end() || !filePid->is_number_integer()) return status;
  const long long pid = filePid->get<long long>();
  if (pid <= 0 || pid > INT32_MAX || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) return status;
  status.pid = static_cast<pid_t>(pid);
  if (auto mode = json.find("mode"); mode != json.end() && mode->is_string()) status.mode = mode->get<std::string>();
  auto health = json.find("health");
  if (health == json.end() || !health->is_object()) return status;
  for (auto it = health->begin(); it != health->end(); ++it) {
    auto provider = enumFromRaw<Provider>(it.key());
    if (!provider || !it->is_object()) continue;
    auto state = enumFromRaw<ProviderHealth::State>(it->value("state", ""));
    if (!state) continue;
    ProviderHealth h;
    h.state = *state;
    h.detail = (*it)["detail"].is_string() ? (*it)["detail"].get<std::string>() : "";
    if (auto error = it->find("lastError"); error != it->end() && error->is_string()) h.lastError = error->get<std::string>();
    status.health[*provider] = std::move(h);
  }
  return status;
}

}  // namespace

std::string CollectorStatus::description() const {
  const std::string id = pid > 0 ? " (pid " + std::to_string(pid) + ")" : "";
  if (mode == "headless") return "the headless collector" + id;
  if (mode == "desktop") return "the tray app" + id;
  return "another copy" + id;
}

CollectorLock::CollectorLock(int fd, std::filesystem::path statusPath, std::string mode)
    : fd_(fd),
      statusPath_(std::move(statusPath)),
      mode_(std::move(mode)),
      queue_(std::make_unique<SerialQueue>("quotadial.collector")) {}

CollectorLock::~CollectorLock() {
  queue_.reset();  // the last status write lands before the file goes
  std::error_code ec;
  std::filesystem::remove(statusPath_, ec);
  ::close(fd_);  // releases the lock
}

CollectorLock::Outcome CollectorLock::acquire(const std::filesystem::path& supportDirectory, const std::string& mode) {
  const Paths paths = pathsFor(supportDirectory);
  std::error_code ec;
  std::filesystem::create_directories(paths.lock.parent_path(), ec);
  const int fd = ::open(paths.lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return {};
  struct flock request {};
  request.l_type = F_WRLCK;
  request.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &request) != 0) {
    const int error = errno;
    ::close(fd);
    if (error != EACCES && error != EAGAIN) return {};
    return {nullptr, readStatus(paths.status)};
  }
  std::unique_ptr<CollectorLock> lock(new CollectorLock(fd, paths.status, mode));
  lock->publish({});
  return {std::move(lock), std::nullopt};
}

std::optional<CollectorStatus> CollectorLock::current(const std::filesystem::path& supportDirectory) {
  const Paths paths = pathsFor(supportDirectory);
  const int fd = ::open(paths.lock.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  const bool held = heldElsewhere(fd);
  ::close(fd);
  if (!held) return std::nullopt;
  return readStatus(paths.status);
}

void CollectorLock::publish(const std::map<Provider, ProviderHealth>& health) {
  nlohmann::json json = nlohmann::json::object();
  json["pid"] = static_cast<long long>(::getpid());
  json["mode"] = mode_;
  nlohmann::json entries = nlohmann::json::object();
  for (const auto& [provider, h] : health) {
    nlohmann::json entry = {{"state", std::string(rawValue(h.state))}, {"detail", h.detail}};
    if (h.lastError) entry["lastError"] = *h.lastError;
    entries[std::string(rawValue(provider))] = std::move(entry);
  }
  json["health"] = std::move(entries);
  std::string text;
  try {
    text = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  } catch (const std::exception&) {
    return;
  }
  queue_->async([path = statusPath_, text = std::move(text)] { (void)writeFileAtomically(path, text, 0600); });
}

}  // namespace qd
