#pragma once
// The built `quotadial` run as a child process with HOME and XDG_DATA_HOME in a
// temporary directory and its standard output on a pipe.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace qd::cli {

class TempHome {
 public:
  TempHome() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qd-cli-XXXXXX").string();
    if (char* made = ::mkdtemp(tmpl.data())) path_ = made;
  }
  ~TempHome() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] std::filesystem::path data() const { return path_ / "data" / "Quotadial"; }

 private:
  std::filesystem::path path_;
};

class Child {
 public:
  // `argv[0]` is run as given (a path, or found on PATH when `searchPath`).
  Child(std::vector<std::string> argv, const std::filesystem::path& home, std::vector<std::string> extraEnv = {},
        bool searchPath = false) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string_view kv(*e);
      bool drop = false;
      for (const char* name : {"HOME=", "XDG_DATA_HOME=", "DISPLAY=", "WAYLAND_DISPLAY=", "NO_COLOR=", "COLUMNS=",
                               "DBUS_SESSION_BUS_ADDRESS=", "CLAUDE_CONFIG_DIR=", "CODEX_HOME=", "TSAN_OPTIONS=",
                               "QT_QPA_PLATFORM="})
        drop = drop || kv.starts_with(name);
      for (const std::string& extra : extraEnv)
        drop = drop || kv.starts_with(extra.substr(0, extra.find('=') + 1));
      if (!drop) env.emplace_back(kv);
    }
    env.push_back("HOME=" + home.string());
    env.push_back("XDG_DATA_HOME=" + (home / "data").string());
    const char* tsan = std::getenv("TSAN_OPTIONS");
    env.push_back(std::string("TSAN_OPTIONS=") + (tsan && *tsan ? std::string(tsan) + ":" : "") + "atexit_sleep_ms=0");
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char*> argp;
    for (auto& a : argv) argp.push_back(a.data());
    argp.push_back(nullptr);

    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    const int rc = searchPath ? ::posix_spawnp(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data())
                              : ::posix_spawn(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data());
    if (rc != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      int status;
      ::waitpid(pid_, &status, 0);
    }
    closeOutput();
    if (err_ >= 0) ::close(err_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Reads standard output for up to `seconds`: until `lines` complete lines have
  // arrived in all (0: until the output closes).
  std::string read(double seconds, size_t lines = 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline && out_ >= 0) {
      if (lines > 0 && lineCount() >= lines) break;
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) break;
      text_.append(buf, static_cast<size_t>(n));
    }
    return text_;
  }
  // The complete lines read so far.
  [[nodiscard]] std::vector<std::string> lines() const {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text_.find('\n', start)) != std::string::npos; start = nl + 1)
      out.push_back(text_.substr(start, nl - start));
    return out;
  }
  [[nodiscard]] size_t lineCount() const { return lines().size(); }

  // Everything the child wrote to standard error (call after it exited).
  std::string errors() {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(err_, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    return text;
  }

  // Closes the reading end of the child's standard output, as a status bar does when it quits.
  void closeOutput() {
    if (out_ >= 0) ::close(out_);
    out_ = -1;
  }

  // The exit status, or -1 when the child has not exited within `seconds`.
  int wait(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
  }

  void signal(int sig) { ::kill(pid_, sig); }
  [[nodiscard]] bool started() const { return pid_ > 0; }
  [[nodiscard]] pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool reaped_ = false;
  std::string text_;
};

}  // namespace qd::cli
