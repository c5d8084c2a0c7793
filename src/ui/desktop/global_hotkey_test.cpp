#include "desktop/global_hotkey.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <unistd.h>

#include "testing/private_bus.h"

namespace qd {
namespace {

using testing::PrivateBus;
using testing::waitUntil;

// Runs `program` to completion; its standard output.
QString run(const QString& program, const QStringList& args, const QProcessEnvironment& env) {
  QProcess p;
  p.setProcessEnvironment(env);
  p.start(program, args);
  p.waitForFinished(5000);
  return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// Ctrl+Alt+G pressed on a real X server opens the screens of a running copy and
// closes them again. Without a tray host the screens open in the floating window.
TEST(GlobalHotkeyOnX11, CtrlAltGOpensAndClosesTheScreens) {
  const QString xvfb = QStandardPaths::findExecutable("Xvfb");
  const QString xdotool = QStandardPaths::findExecutable("xdotool");
  if (xvfb.isEmpty() || xdotool.isEmpty()) GTEST_SKIP() << "Xvfb or xdotool is not installed";
  PrivateBus bus;
  if (!bus.available()) GTEST_SKIP() << "dbus-daemon is not installed";

  QTemporaryDir home;
  const QString display = QStringLiteral(":%1").arg(90 + (::getpid() % 9));
  QProcess server;
  server.start(xvfb, {display, "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
  ASSERT_TRUE(server.waitForStarted(5000));
  QProcessEnvironment env = bus.childEnvironment(home);
  env.insert("DISPLAY", display);
  env.insert("QT_QPA_PLATFORM", "xcb");
  // Wait for the X server to answer.
  ASSERT_TRUE(waitUntil([&] { return run(xdotool, {"getmouselocation"}, env).contains("x:"); }, 10000));

  QProcess app;
  app.setProcessEnvironment(env);
  app.start(QUOTADIAL_EXECUTABLE, {"--demo"});
  ASSERT_TRUE(app.waitForStarted(5000));
  auto visibleWindows = [&] { return run(xdotool, {"search", "--onlyvisible", "--name", "^Quotadial$"}, env); };
  // Give the copy time to start and grab the key.
  waitUntil([] { return false; }, 2500);
  ASSERT_EQ(app.state(), QProcess::Running) << app.readAllStandardError().toStdString();
  EXPECT_TRUE(visibleWindows().isEmpty());

  run(xdotool, {"key", "ctrl+alt+g"}, env);
  EXPECT_TRUE(waitUntil([&] { return !visibleWindows().isEmpty(); }, 5000)) << "the screens did not open";
  waitUntil([] { return false; }, 500);
  run(xdotool, {"key", "ctrl+alt+g"}, env);
  EXPECT_TRUE(waitUntil([&] { return visibleWindows().isEmpty(); }, 5000)) << "the screens did not close";

  app.terminate();
  if (!app.waitForFinished(5000)) app.kill();
  server.terminate();
  server.waitForFinished(3000);
}

}  // namespace
}  // namespace qd
