#pragma once
#include <filesystem>
#include <string>

namespace qd {

// The few desktop services the core asks for: showing a file in the file
// manager, the clipboard, and the login item (an XDG autostart entry).
//
// Thread-safety: main thread only.
class DesktopServices {
 public:
  virtual ~DesktopServices() = default;

  // Shows `file` in the desktop's file browser (or opens its folder). False when nothing could be shown.
  virtual bool revealFile(const std::filesystem::path& file) = 0;
  // Puts plain text on the clipboard. False when there is no clipboard.
  virtual bool copyToClipboard(const std::string& text) = 0;
  // Whether the application is registered to start at login.
  [[nodiscard]] virtual bool loginItemEnabled() const = 0;
  // Registers or unregisters the login item; returns the state afterwards.
  virtual bool setLoginItemEnabled(bool enabled) = 0;
};

}  // namespace qd
