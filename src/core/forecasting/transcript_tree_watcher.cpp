#include "forecasting/transcript_tree_watcher.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>
#include <string_view>

namespace qd {

namespace {

constexpr uint32_t kWatchMask = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

bool isTranscriptPath(std::string_view path) {
  constexpr std::string_view ext = ".jsonl";
  const size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return name.size() > ext.size() && name.substr(name.size() - ext.size()) == ext;
}

}  // namespace

TranscriptTreeWatcher::TranscriptTreeWatcher(std::vector<std::string> roots, Watching watching)
    : roots_(std::move(roots)), watching_(watching), complete_(roots_.size(), false) {
  for (auto& r : roots_)
    while (r.size() > 1 && r.back() == '/') r.pop_back();
  reset();
}

TranscriptTreeWatcher::~TranscriptTreeWatcher() {
  if (fd_ >= 0) ::close(fd_);
}

bool TranscriptTreeWatcher::Poll::listedAll() const {
  for (bool l : listed)
    if (!l) return false;
  return true;
}

std::optional<size_t> TranscriptTreeWatcher::rootOf(std::string_view path) const {
  for (size_t r = 0; r < roots_.size(); ++r) {
    const std::string& root = roots_[r];
    if (path.size() > root.size() && path.substr(0, root.size()) == root && path[root.size()] == '/') return r;
  }
  return std::nullopt;
}

void TranscriptTreeWatcher::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = watching_ == Watching::yes ? ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC) : -1;
  watched_.clear();
  complete_.assign(roots_.size(), false);
}

void TranscriptTreeWatcher::watch(const std::string& directory, size_t root) {
  if (fd_ < 0) {
    complete_[root] = false;
    return;
  }
  const int wd = ::inotify_add_watch(fd_, directory.c_str(), kWatchMask);
  if (wd < 0) complete_[root] = false;  // e.g. the watch limit: this root is listed on every poll
  else watched_[wd] = Watched{directory, root};
}

void TranscriptTreeWatcher::listRoot(size_t r, Poll& poll) {
  poll.listed[r] = true;
  complete_[r] = true;
  bool rootSeen = false;
  listTranscriptFiles(
      roots_[r], [&](TranscriptFileInfo&& info) { poll.changes.push_back(Change{r, std::move(info), true}); },
      [&](const std::string& dir) {
        rootSeen = true;
        watch(dir, r);
      });
  // A missing root cannot report its own creation: it is tried again on every poll.
  if (!rootSeen) complete_[r] = false;
}

TranscriptTreeWatcher::Poll TranscriptTreeWatcher::poll() {
  Poll poll;
  poll.listed.assign(roots_.size(), false);
  std::map<std::string, size_t> dirty;
  std::vector<std::pair<std::string, size_t>> newDirectories;
  bool overflow = false;
  alignas(inotify_event) char buf[64 * 1024];
  while (fd_ >= 0) {
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0 && errno != EAGAIN) overflow = true;
      break;
    }
    for (ssize_t off = 0; off < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + off);
      off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      if (e->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
        overflow = true;
        continue;
      }
      auto it = watched_.find(e->wd);
      if (it == watched_.end() || e->len == 0) continue;
      std::string path = it->second.directory + "/" + e->name;
      if (e->mask & IN_ISDIR) {
        if (e->mask & (IN_CREATE | IN_MOVED_TO)) newDirectories.emplace_back(std::move(path), it->second.root);
        else if (e->mask & (IN_DELETE | IN_MOVED_FROM)) complete_[it->second.root] = false;  // its files went with it
        continue;
      }
      if (isTranscriptPath(path)) dirty.emplace(std::move(path), it->second.root);
    }
  }
  if (overflow) reset();

  for (size_t r = 0; r < roots_.size(); ++r)
    if (!complete_[r]) listRoot(r, poll);

  std::set<std::string> seen;
  for (const auto& [dir, root] : newDirectories) {
    const size_t r = root;
    if (poll.listed[r]) continue;
    listTranscriptFiles(
        dir,
        [&](TranscriptFileInfo&& info) {
          seen.insert(info.path);
          poll.changes.push_back(Change{r, std::move(info), true});
        },
        [&](const std::string& d) { watch(d, r); });
  }
  for (const auto& [path, root] : dirty) {
    if (poll.listed[root] || seen.count(path)) continue;
    Change c;
    c.root = root;
    c.present = statTranscriptFile(path, c.info);
    c.info.path = path;
    poll.changes.push_back(std::move(c));
  }
  return poll;
}

}  // namespace qd
