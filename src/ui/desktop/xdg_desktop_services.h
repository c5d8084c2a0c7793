#pragma once
#include <QDBusConnection>
#include <filesystem>
#include <functional>
#include <string>

#include "utilities/ports/desktop_services.h"

namespace qd {

// The desktop services on a freedesktop desktop: the file manager's ShowItems
// (else the folder opened), the clipboard, and the login item as the XDG
// autostart entry `$XDG_CONFIG_HOME/autostart/quotadial.desktop`, whose state
// is always read back from that file.
//
// Thread-safety: main thread only.
class XdgDesktopServices final : public DesktopServices {
 public:
  using ErrorLog = std::function<void(const std::string& message)>;

  // `executable` goes on the entry's Exec line; `logError` receives
  // "Login item update failed: ..." lines.
  XdgDesktopServices(QDBusConnection bus, std::filesystem::path executable, ErrorLog logError = {});

  bool revealFile(const std::filesystem::path& file) override;
  bool copyToClipboard(const std::string& text) override;
  [[nodiscard]] bool loginItemEnabled() const override;
  bool setLoginItemEnabled(bool enabled) override;

  [[nodiscard]] static std::filesystem::path autostartEntryPath();
  // The entry's text for `executable`.
  [[nodiscard]] static std::string autostartEntry(const std::filesystem::path& executable);

 private:
  QDBusConnection bus_;
  std::filesystem::path executable_;
  ErrorLog logError_;
};

}  // namespace qd
