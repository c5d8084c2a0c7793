#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qd::Shell {

struct Result {
  int status = 0;  // the exit code, or the signal number when the child was killed
  std::string stdoutText;  // UTF-8; invalid sequences repaired to U+FFFD
  std::string stderrText;

  bool operator==(const Result&) const = default;
};

// Runs `executable` (an absolute path) with `args` (without the program name),
// inheriting the environment, working directory and standard input, and returns
// its status and output. Both pipes are drained while the child runs, so output
// of any size never stalls it. With a timeout the child gets SIGTERM at the
// deadline, and SIGKILL if it is still there two seconds later; the result still
// carries what it wrote. Nothing when the child cannot be started (logged as an
// ERROR "Shell.run failed: ..."). Blocks the caller; safe from any thread.
[[nodiscard]] std::optional<Result> run(const std::string& executable, const std::vector<std::string>& args,
                                        std::optional<double> timeoutSeconds = {});

// The absolute path of an executable called `name`: first in /opt/homebrew/bin,
// /usr/local/bin, /usr/bin and /bin, then along $PATH, then where Linux users
// install per-user tools (~/.local/bin, ~/.npm-global/bin, ~/.volta/bin,
// ~/.bun/bin, the newest ~/.nvm/versions/node/*/bin), then what /usr/bin/which
// answers. A program started from the desktop lacks the login shell's PATH,
// hence the fixed places.
[[nodiscard]] std::optional<std::string> which(std::string_view name);

}  // namespace qd::Shell
