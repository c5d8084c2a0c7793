// Claude Code's settings document through the bridge installer: any bytes at
// ~/.claude/settings.json are installed into and uninstalled from without
// faulting; a document that is not a JSON object is never written, and every
// member of one that is survives both steps unchanged.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "providers/claude/claude_status_line_bridge_installer.h"
#include "storage/file_reading.h"
#include "utilities/app_logger.h"
#include "utilities/json_document.h"

namespace {

namespace fs = std::filesystem;
namespace Installer = qd::ClaudeStatusLineBridgeInstaller;

Installer::Paths& paths() {
  static Installer::Paths p = [] {
    char tmpl[] = "/tmp/qd-settings-fuzz-XXXXXX";
    const fs::path root = ::mkdtemp(tmpl);
    fs::create_directories(root / "claude");
    fs::create_directories(root / "support");
    std::ofstream(root / "bridge.py") << "print('bridge')\n";
    qd::AppLogger::shared().setFileURL(root / "app.log");
    return Installer::Paths{root / "claude", root / "support", root / "bridge.py"};
  }();
  return p;
}

void writeBytes(const fs::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Every member of `before` but the status line is in `after`, unchanged.
void checkKept(const nlohmann::json& before, const fs::path& file) {
  const auto text = qd::readWholeFile(file);
  if (!text) __builtin_trap();
  const auto after = qd::parseJsonDocument(*text);
  if (!after || !after->is_object()) __builtin_trap();
  for (const auto& [key, value] : before.items()) {
    if (key == "statusLine") continue;
    auto it = after->find(key);
    if (it == after->end() || *it != value) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const Installer::Paths& p = paths();
  std::error_code ec;
  fs::remove(p.previousCommandFile(), ec);
  writeBytes(p.settingsFile(), bytes);
  const auto before = qd::parseJsonDocument(bytes);
  const bool isObject = before && before->is_object();

  (void)Installer::install(p);
  if (isObject) {
    checkKept(*before, p.settingsFile());
  } else if (qd::readWholeFile(p.settingsFile()) != std::string(bytes)) {
    __builtin_trap();
  }
  (void)Installer::currentStatus(p);
  (void)Installer::uninstall(p);
  if (isObject) checkKept(*before, p.settingsFile());
  return 0;
}
