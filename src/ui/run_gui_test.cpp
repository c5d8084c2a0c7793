#include "run_gui.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include "testing/private_bus.h"

namespace qd {
namespace {

struct RenderCase {
  const char* name;
  QStringList extra;
  int expectedHeight;
};

// The picture mode of the preview, run as users run it on a machine without a
// display: the real executable, the offscreen platform, an empty home.
TEST(PreviewPicture, RendersTheScreensToAPngWithoutADisplay) {
  testing::PrivateBus bus;
  const RenderCase cases[] = {
      {"main screen, default height", {}, 900},
      {"main screen, captured tall", {"--capture", "--capture-height", "1740"}, 1740},
      {"settings", {"--start-settings"}, 900},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir home;
    QProcessEnvironment env = bus.childEnvironment(home);
    env.insert("QT_QPA_PLATFORM", "offscreen");

    const QString png = home.filePath("out.png");
    QProcess app;
    app.setProcessEnvironment(env);
    app.start(QUOTADIAL_EXECUTABLE, QStringList{"--preview", "--demo", "--render-png", png} + c.extra);
    ASSERT_TRUE(app.waitForFinished(60'000)) << "no picture within a minute";
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0) << app.readAllStandardError().toStdString();
    EXPECT_TRUE(app.readAllStandardOutput().isEmpty()) << "the terminal report ran instead of the window";

    const QImage image(png);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.width() / image.devicePixelRatio(), 460);
    EXPECT_EQ(image.height() / image.devicePixelRatio(), c.expectedHeight);
    // Something was drawn: the picture is not one flat colour.
    const QRgb corner = image.pixel(0, 0);
    bool varied = false;
    for (int y = 0; y < image.height() && !varied; y += 7)
      for (int x = 0; x < image.width() && !varied; x += 7) varied = image.pixel(x, y) != corner;
    EXPECT_TRUE(varied);
  }
}

// The tray app as a session ends it: SIGTERM, SIGINT or SIGHUP stop the Codex
// app-server (even one that ignores end-of-input), save the last settings change
// and exit 0; beside a headless collector it starts no app-server of its own.
class TrayRun : public ::testing::Test {
 protected:
  void SetUp() override {
    env = bus.childEnvironment(home);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("PATH", QStringLiteral(QUOTADIAL_FAKE_BIN_DIR) + ":/usr/bin:/bin");
    env.insert("QUOTADIAL_FAKE_CODEX_PIDFILE", home.filePath("pids"));
  }
  QStringList pids() const {
    QFile f(home.filePath("pids"));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
  }
  static bool gone(const QString& pid) { return ::kill(pid.toInt(), 0) != 0 && errno == ESRCH; }
  QString log() const {
    QFile f(home.filePath("data/Quotadial/logs/app.log"));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
  }
  void start(QProcess& app, const QStringList& args = {}) {
    app.setProcessEnvironment(env);
    app.start(QUOTADIAL_EXECUTABLE, args);
    ASSERT_TRUE(app.waitForStarted(10'000));
  }

  testing::PrivateBus bus;
  QTemporaryDir home;
  QProcessEnvironment env;
};

TEST_F(TrayRun, EachTerminationSignalStopsTheAppServerAndExitsCleanly) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(sig);
    QFile::remove(home.filePath("pids"));
    QProcess app;
    start(app);
    ASSERT_TRUE(testing::waitUntil([&] { return !pids().isEmpty(); }, 30'000)) << "no app-server started";
    const QString fake = pids().first();
    ::kill(static_cast<pid_t>(app.processId()), sig);
    ASSERT_TRUE(app.waitForFinished(10'000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0) << app.readAllStandardError().toStdString();
    EXPECT_TRUE(gone(fake)) << fake.toStdString();
    EXPECT_TRUE(log().contains("; shutting down")) << log().toStdString();
  }
}

TEST_F(TrayRun, BesideAHeadlessCollectorItOnlyViews) {
  QProcess collector;
  start(collector, {"--headless"});
  ASSERT_TRUE(testing::waitUntil([&] { return pids().size() == 1; }, 30'000));
  QProcess tray;
  start(tray);
  const QString viewing = QStringLiteral("Viewing what the headless collector (pid %1) collects").arg(collector.processId());
  ASSERT_TRUE(testing::waitUntil([&] { return log().contains(viewing); }, 30'000)) << log().toStdString();
  ::kill(static_cast<pid_t>(tray.processId()), SIGTERM);
  ASSERT_TRUE(tray.waitForFinished(10'000));
  EXPECT_EQ(tray.exitCode(), 0);
  EXPECT_EQ(pids().size(), 1);  // the tray app started no app-server
  ::kill(static_cast<pid_t>(collector.processId()), SIGTERM);
  ASSERT_TRUE(collector.waitForFinished(10'000));
  EXPECT_EQ(collector.exitCode(), 0);
}

}  // namespace
}  // namespace qd
