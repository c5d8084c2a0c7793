// Keeps every core test away from the user's real files: before any test runs,
// HOME and the directories the application reads or writes point into a fresh
// temporary directory (removed at exit). Tests that need their own set them anew.
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace {

struct SandboxEnvironment {
  SandboxEnvironment() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/quotadial-home-XXXXXX";
    if (char* made = ::mkdtemp(pattern.data())) root = made;
    if (root.empty()) return;
    const auto set = [&](const char* name, const char* sub) {
      std::error_code ec;
      std::filesystem::create_directories(root / sub, ec);
      ::setenv(name, (root / sub).c_str(), 1);
    };
    set("HOME", "home");
    set("XDG_DATA_HOME", "home/.local/share");
    set("XDG_CONFIG_HOME", "home/.config");
    set("XDG_CACHE_HOME", "home/.cache");
    set("CLAUDE_CONFIG_DIR", "home/.claude");
    set("CODEX_HOME", "home/.codex");
  }
  ~SandboxEnvironment() {
    std::error_code ec;
    if (!root.empty()) std::filesystem::remove_all(root, ec);
  }
  std::filesystem::path root;
};

const SandboxEnvironment sandbox;

}  // namespace
