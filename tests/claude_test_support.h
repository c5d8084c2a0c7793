#pragma once
// Helpers for the Claude tests that run real processes: temporary homes, a child
// run to completion with its own environment, standard input and directory, and
// the scripted local OAuth server.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "testing/temp_dir.h"

namespace qd::testing {


inline void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(line);
  return out;
}

struct ProcessResult {
  int status = -1;  // exit code, or -1 when killed or not started
  std::string out;
  std::string err;
};

// The argument and environment vectors of one execve: this process's
// environment with `env` applied (an empty value removes a variable). Built
// before fork, since the child may only call async-signal-safe functions.
class ExecVectors {
 public:
  ExecVectors(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) : argv_(argv) {
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e) {
      std::string kv = *e;
      auto eq = kv.find('=');
      if (eq != std::string::npos) merged[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : env) {
      if (v.empty())
        merged.erase(k);
      else
        merged[k] = v;
    }
    for (const auto& [k, v] : merged) envStrings_.push_back(k + "=" + v);
    for (auto& s : envStrings_) envp_.push_back(s.data());
    envp_.push_back(nullptr);
    for (auto& s : argv_) args_.push_back(s.data());
    args_.push_back(nullptr);
  }
  ExecVectors(const ExecVectors&) = delete;
  ExecVectors& operator=(const ExecVectors&) = delete;
  // Only returns when the exec failed.
  void exec() { ::execve(args_[0], args_.data(), envp_.data()); }

 private:
  std::vector<std::string> argv_, envStrings_;
  std::vector<char*> args_, envp_;
};

// Runs argv[0] (a path) to completion. `env` entries replace or add variables
// (an empty value removes one). Killed after `timeoutSeconds`.
inline ProcessResult runProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                                const std::string& input = {}, const std::filesystem::path& cwd = {},
                                double timeoutSeconds = 60) {
  ExecVectors vectors(argv, env);
  const std::string dir = cwd.string();

  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(127);
    vectors.exec();
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  ProcessResult result;
  if (pid < 0) return result;

  ::signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  if (input.empty()) {
    ::close(in[1]);
    in[1] = -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen || in[1] >= 0) {
    std::vector<pollfd> fds;
    if (outOpen) fds.push_back({out[0], POLLIN, 0});
    if (errOpen) fds.push_back({err[0], POLLIN, 0});
    if (in[1] >= 0) fds.push_back({in[1], POLLOUT, 0});
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0) continue;
    for (auto& p : fds) {
      if (!p.revents) continue;
      if (p.fd == in[1]) {
        ssize_t n = ::write(in[1], input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
        if (n < 0 || written == input.size()) {
          ::close(in[1]);
          in[1] = -1;
        }
        continue;
      }
      char buf[65536];
      ssize_t n = ::read(p.fd, buf, sizeof buf);
      if (n <= 0) {
        (p.fd == out[0] ? outOpen : errOpen) = false;
        continue;
      }
      (p.fd == out[0] ? result.out : result.err).append(buf, static_cast<size_t>(n));
    }
  }
  if (in[1] >= 0) ::close(in[1]);
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// A child left running until the object goes (SIGTERM, then waited for); its
// output is discarded.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                    const std::filesystem::path& cwd) {
    ExecVectors vectors(argv, env);
    const std::string dir = cwd.string();
    pid_ = ::fork();
    if (pid_ == 0) {
      int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      if (::chdir(dir.c_str()) != 0) ::_exit(127);
      vectors.exec();
      ::_exit(127);
    }
  }
  ~BackgroundProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  // Still running (not exited).
  [[nodiscard]] bool running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_ = -1;
};

// The scripted OAuth server (tests/fakes/oauth_server.py) on 127.0.0.1.
class LocalOAuthServer {
 public:
  // `scriptJson` maps paths to answer lists; see the server's header comment.
  explicit LocalOAuthServer(const std::string& scriptJson) {
    writeFile(dir_ / "script.json", scriptJson);
    int out[2];
    if (::pipe2(out, O_CLOEXEC)) throw std::runtime_error("pipe failed");
    const std::string server = std::string(QUOTADIAL_TEST_FAKES_DIR) + "/oauth_server.py";
    const std::string script = (dir_ / "script.json").string();
    const std::string log = requestLog().string();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::execlp("python3", "python3", server.c_str(), script.c_str(), log.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    std::string first;
    pollfd p{out[0], POLLIN, 0};
    while (first.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0) {
      char buf[64];
      ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      first.append(buf, static_cast<size_t>(n));
    }
    ::close(out[0]);
    port_ = std::atoi(first.c_str());
    if (port_ <= 0) throw std::runtime_error("the OAuth server did not start");
  }
  ~LocalOAuthServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  LocalOAuthServer(const LocalOAuthServer&) = delete;
  LocalOAuthServer& operator=(const LocalOAuthServer&) = delete;

  [[nodiscard]] std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  [[nodiscard]] std::filesystem::path requestLog() const { return dir_ / "requests.ndjson"; }
  // One JSON line per request received so far.
  [[nodiscard]] std::vector<std::string> requests() const { return lines(readFile(requestLog())); }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace qd::testing
