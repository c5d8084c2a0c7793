#pragma once
// Shared helpers of the tests that run the fake Codex app-server.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testing/temp_dir.h"

namespace qd::testing {

inline const std::filesystem::path kFakeCodex = std::filesystem::path(QUOTADIAL_FAKE_BIN_DIR) / "codex";

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::vector<std::string> readLines(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Polls `condition` until it holds or `seconds` pass; returns its last value.
inline bool waitFor(const std::function<bool()>& condition, double seconds = 10) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// True when no process with this id exists (a zombie whose parent is not us counts as gone).
inline bool processGone(pid_t pid) {
  if (::kill(pid, 0) != 0) return errno == ESRCH;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = all.rfind(')');
  if (close == std::string::npos || close + 4 >= all.size() || all[close + 2] != 'Z') return false;
  return std::stol(all.substr(close + 4)) != ::getpid();
}

inline std::vector<pid_t> readPids(const std::filesystem::path& file) {
  std::vector<pid_t> pids;
  for (const auto& line : readLines(file)) pids.push_back(static_cast<pid_t>(std::stol(line)));
  return pids;
}

// Sets an environment variable for one test and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_, old_->c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace qd::testing
