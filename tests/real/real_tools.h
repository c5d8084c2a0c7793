#pragma once
// Support for the tests that run the real Codex CLI and Claude Code (and the
// reference counters) against local stand-ins of their servers.
//
// The programs come from scripts/install-real-tools.sh: its folder is
// $QUOTADIAL_REAL_TOOLS, else ${XDG_CACHE_HOME:-$HOME/.cache}/quotadial/npm, with the
// programs in node_modules/.bin. A program found nowhere makes its test skip.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "testing/temp_dir.h"
#include "utilities/shell.h"

namespace qd::testing::real {

namespace fs = std::filesystem;

inline fs::path toolsFolder() {
  if (const char* v = std::getenv("QUOTADIAL_REAL_TOOLS"); v && *v) return v;
  if (const char* v = std::getenv("XDG_CACHE_HOME"); v && *v) return fs::path(v) / "quotadial" / "npm";
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : "/nonexistent") / ".cache" / "quotadial" / "npm";
}

// The installed program `name` (codex, claude, ccusage, ccusage-codex), or nothing.
inline std::optional<fs::path> program(const std::string& name) {
  const fs::path p = toolsFolder() / "node_modules" / ".bin" / name;
  if (::access(p.c_str(), X_OK) == 0) return p;
  return std::nullopt;
}

// The reason a test skips when `name` is missing.
inline std::string missing(const std::string& name) {
  return name + " is not installed in " + (toolsFolder() / "node_modules" / ".bin").string() +
         " (run scripts/install-real-tools.sh, or set QUOTADIAL_REAL_TOOLS)";
}

inline std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// The environment every real program gets: nothing from the caller's but PATH
// entries for node and the system tools, a private home, and every switch that
// keeps the tools off the network.
inline std::vector<std::string> baseEnvironment(const fs::path& home) {
  std::vector<std::string> env{
      "HOME=" + home.string(),
      "PATH=" + (toolsFolder() / "node_modules" / ".bin").string() + ":/usr/local/bin:/usr/bin:/bin",
      "XDG_DATA_HOME=" + (home / ".local" / "share").string(),
      "XDG_CONFIG_HOME=" + (home / ".config").string(),
      "XDG_CACHE_HOME=" + (home / ".cache").string(),
      "CODEX_HOME=" + (home / ".codex").string(),
      "CLAUDE_CONFIG_DIR=" + (home / ".claude").string(),
      "TZ=UTC",
      "LANG=C.UTF-8",
      "TERM=xterm-256color",
      "NO_COLOR=1",
      "DISABLE_TELEMETRY=1",
      "DISABLE_AUTOUPDATER=1",
      "DISABLE_ERROR_REPORTING=1",
      "DISABLE_BUG_COMMAND=1",
      "CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC=1",
      "CODEX_DISABLE_UPDATE_CHECK=1",
      "NPM_CONFIG_UPDATE_NOTIFIER=false",
  };
  if (const char* asan = std::getenv("ASAN_OPTIONS")) env.push_back(std::string("ASAN_OPTIONS=") + asan);
  return env;
}

// Runs `argv` in `cwd` with exactly `env`, standard input from /dev/null, for at
// most `timeoutSeconds`.
inline Shell::Result runIn(const fs::path& cwd, const std::vector<std::string>& env,
                           const std::vector<std::string>& argv, double timeoutSeconds) {
  std::vector<std::string> args{"-c", "cd \"$1\" && shift && exec \"$@\" </dev/null", "sh", cwd.string(),
                                "/usr/bin/env", "-i"};
  args.insert(args.end(), env.begin(), env.end());
  args.insert(args.end(), argv.begin(), argv.end());
  auto result = Shell::run("/bin/sh", args, timeoutSeconds);
  if (!result) return Shell::Result{-1, "", "could not start /bin/sh"};
  return *result;
}

// A program running in the background (standard output and error into `output`)
// until `stop()` or destruction sends it SIGTERM and waits for it.
class Background {
 public:
  Background(const fs::path& cwd, const std::vector<std::string>& env, const std::vector<std::string>& argv,
             const fs::path& output) {
    std::vector<std::string> all{"/bin/sh", "-c", "cd \"$1\" && shift && exec \"$@\" </dev/null", "sh",
                                 cwd.string(), "/usr/bin/env", "-i"};
    all.insert(all.end(), env.begin(), env.end());
    all.insert(all.end(), argv.begin(), argv.end());
    // Everything the child needs is made before fork: it may only make async-signal-safe calls.
    std::vector<char*> args;
    for (auto& a : all) args.push_back(a.data());
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }
  ~Background() { stop(); }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }
  // The wait status, or -1 when it was stopped before.
  int stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
};

// The local model server (tests/fakes/model_server.py) for one test: started on
// construction, stopped on destruction (and by itself when this process goes away).
class ModelServer {
 public:
  explicit ModelServer(const fs::path& log) : log_(log) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    const std::string script = std::string(QUOTADIAL_TEST_FAKES_DIR) + "/model_server.py";
    const std::string python = Shell::which("python3").value_or("/usr/bin/python3");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::execl(python.c_str(), "python3", script.c_str(), log.c_str(), "600", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    char c;
    while (::poll(&p, 1, 10000) > 0 && ::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    port_ = std::atoi(line.c_str());
  }
  ~ModelServer() {
    if (stdin_ >= 0) ::close(stdin_);
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  ModelServer(const ModelServer&) = delete;
  ModelServer& operator=(const ModelServer&) = delete;

  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] std::string url(const std::string& path = "") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // The request lines logged so far.
  [[nodiscard]] std::vector<nlohmann::json> requests() const {
    std::vector<nlohmann::json> all;
    std::istringstream in(readText(log_));
    for (std::string line; std::getline(in, line);) {
      auto j = nlohmann::json::parse(line, nullptr, false);
      if (!j.is_discarded()) all.push_back(std::move(j));
    }
    return all;
  }

 private:
  fs::path log_;
  pid_t pid_ = -1;
  int stdin_ = -1;
  int port_ = 0;
};

// Copies what a real program wrote into $QUOTADIAL_REAL_FIXTURES_OUT/<name>, when
// that is set: how tests/fixtures/real/ was made.
inline void keepForFixtures(const fs::path& from, const std::string& name) {
  const char* out = std::getenv("QUOTADIAL_REAL_FIXTURES_OUT");
  if (!out || !*out) return;
  std::error_code ec;
  const fs::path to = fs::path(out) / name;
  fs::create_directories(to.parent_path(), ec);
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
}

// The sum of the daily token counts `quotadial --usagetest` printed under `heading`
// ("Codex" or "Claude Code"), or -1 when the section is missing.
inline long long usageTestTokens(const std::string& report, const std::string& heading) {
  std::istringstream lines(report);
  bool inside = false, seen = false;
  long long total = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("=== ", 0) == 0) {
      inside = line == "=== " + heading + " daily tokens ===";
      seen |= inside;
    } else if (inside && line.rfind("  20", 0) == 0) {
      const auto open = line.rfind('(');
      if (open != std::string::npos) total += std::atoll(line.c_str() + open + 1);
    }
  }
  return seen ? total : -1;
}

}  // namespace qd::testing::real
