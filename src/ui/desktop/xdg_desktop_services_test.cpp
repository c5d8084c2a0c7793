#include "desktop/xdg_desktop_services.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <cstdlib>
#include <fstream>

#include "storage/atomic_file.h"

namespace qd {
namespace {

namespace fs = std::filesystem;

class AutostartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qd-autostart-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    const char* old = std::getenv("XDG_CONFIG_HOME");
    if (old) saved = old;
    ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
  }
  void TearDown() override {
    if (saved) ::setenv("XDG_CONFIG_HOME", saved->c_str(), 1);
    else ::unsetenv("XDG_CONFIG_HOME");
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  XdgDesktopServices services() {
    return XdgDesktopServices(QDBusConnection(QString()), "/opt/quota dial/bin/quotadial",
                              [this](const std::string& m) { errors.push_back(m); });
  }
  fs::path dir;
  std::optional<std::string> saved;
  std::vector<std::string> errors;
};

TEST_F(AutostartTest, SwitchingOnWritesTheEntryAndOffRemovesIt) {
  auto s = services();
  const fs::path entry = dir / "config/autostart/quotadial.desktop";
  EXPECT_EQ(XdgDesktopServices::autostartEntryPath(), entry);
  EXPECT_FALSE(s.loginItemEnabled());
  EXPECT_TRUE(s.setLoginItemEnabled(true));
  const auto text = readWholeFile(entry);
  ASSERT_TRUE(text.has_value());
  EXPECT_NE(text->find("Exec=\"/opt/quota dial/bin/quotadial\"\n"), std::string::npos);
  EXPECT_NE(text->find("[Desktop Entry]\n"), std::string::npos);
  EXPECT_TRUE(s.loginItemEnabled());
  EXPECT_FALSE(s.setLoginItemEnabled(false));
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_TRUE(errors.empty());
}

TEST_F(AutostartTest, StateIsReadBackFromTheFile) {
  auto s = services();
  const fs::path entry = dir / "config/autostart/quotadial.desktop";
  fs::create_directories(entry.parent_path());
  struct Case { std::string text; bool enabled; };
  const Case cases[] = {
      {"[Desktop Entry]\nType=Application\nExec=quotadial\n", true},
      {"[Desktop Entry]\nHidden=true\n", false},
      {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n", false},
      {"[Desktop Entry]\nExec=q\n[Desktop Action x]\nHidden=true\n", true},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(writeFileAtomically(entry, c.text));
    EXPECT_EQ(s.loginItemEnabled(), c.enabled) << c.text;
  }
  // Switching on replaces an entry the desktop had disabled.
  ASSERT_TRUE(writeFileAtomically(entry, "[Desktop Entry]\nHidden=true\n"));
  EXPECT_TRUE(s.setLoginItemEnabled(true));
}

TEST_F(AutostartTest, ARefusedRegistrationReportsTheRealStateAndLogs) {
  auto s = services();
  // A plain file where the autostart directory should be: nothing can be written.
  fs::create_directories(dir / "config");
  std::ofstream(dir / "config/autostart") << "not a directory";
  EXPECT_FALSE(s.setLoginItemEnabled(true));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Login item update failed: ", 0), 0u);
}

TEST(Clipboard, CopiesPlainText) {
  XdgDesktopServices s(QDBusConnection(QString()), "/usr/bin/quotadial");
  ASSERT_TRUE(s.copyToClipboard("Quotadial diagnostics\nline 2"));
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "Quotadial diagnostics\nline 2");
}

}  // namespace
}  // namespace qd
