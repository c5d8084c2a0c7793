#include "desktop/xdg_desktop_services.h"

#include <QClipboard>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QUrl>
#include <cstdlib>
#include <sstream>
#include <system_error>

#include "storage/atomic_file.h"

namespace qd {

namespace {

std::filesystem::path configHome() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') return xdg;
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home && *home ? home : "/") / ".config";
}

// Desktop-entry Exec quoting: a quoted argument escapes ", `, $ and \.
std::string quoteExec(const std::string& arg) {
  if (arg.find_first_of(" \t\"'`$\\;&|<>()*?#") == std::string::npos) return arg;
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

std::string trim(std::string s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  return s.substr(i);
}

}  // namespace

XdgDesktopServices::XdgDesktopServices(QDBusConnection bus, std::filesystem::path executable, ErrorLog logError)
    : bus_(std::move(bus)), executable_(std::move(executable)), logError_(std::move(logError)) {}

bool XdgDesktopServices::revealFile(const std::filesystem::path& file) {
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return false;
  const QString uri = QUrl::fromLocalFile(QString::fromStdString(file.string())).toString();
  const QUrl folder = QUrl::fromLocalFile(QString::fromStdString(file.parent_path().string()));
  if (!bus_.isConnected()) return QDesktopServices::openUrl(folder);
  auto call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
                                             QStringLiteral("/org/freedesktop/FileManager1"),
                                             QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
  call << QStringList{uri} << QString();
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, 3000), qApp);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, qApp, [folder](QDBusPendingCallWatcher* w) {
    w->deleteLater();
    // No file manager on the bus: open the folder instead.
    if (w->isError()) QDesktopServices::openUrl(folder);
  });
  return true;
}

bool XdgDesktopServices::copyToClipboard(const std::string& text) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (!clipboard) return false;
  clipboard->clear();
  clipboard->setText(QString::fromStdString(text));
  return true;
}

std::filesystem::path XdgDesktopServices::autostartEntryPath() {
  return configHome() / "autostart" / "quotadial.desktop";
}

std::string XdgDesktopServices::autostartEntry(const std::filesystem::path& executable) {
  std::ostringstream out;
  out << "[Desktop Entry]\n"
      << "Type=Application\n"
      << "Name=Quotadial\n"
      << "Comment=AI coding range meter\n"
      << "Exec=" << quoteExec(executable.string()) << "\n"
      << "Icon=quotadial\n"
      << "Terminal=false\n"
      << "X-GNOME-Autostart-enabled=true\n";
  return out.str();
}

bool XdgDesktopServices::loginItemEnabled() const {
  const auto text = readWholeFile(autostartEntryPath());
  if (!text) return false;
  // An entry switched off by the desktop's own settings counts as off.
  std::istringstream in(*text);
  std::string line;
  bool inMain = false;
  while (std::getline(in, line)) {
    line = trim(line);
    if (!line.empty() && line.front() == '[') {
      inMain = line == "[Desktop Entry]";
      continue;
    }
    if (!inMain) continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = trim(line.substr(0, eq));
    const std::string value = trim(line.substr(eq + 1));
    if (key == "Hidden" && value == "true") return false;
    if (key == "X-GNOME-Autostart-enabled" && value == "false") return false;
  }
  return true;
}

bool XdgDesktopServices::setLoginItemEnabled(bool enabled) {
  const auto path = autostartEntryPath();
  const auto fail = [this](const std::string& why) {
    if (logError_) logError_("Login item update failed: " + why);
  };
  if (enabled && !loginItemEnabled()) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) fail(path.parent_path().string() + ": " + ec.message());
    else if (!writeFileAtomically(path, autostartEntry(executable_), 0644)) fail("cannot write " + path.string());
  } else if (!enabled) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (ec) fail(path.string() + ": " + ec.message());
  }
  return loginItemEnabled();
}

}  // namespace qd
