#include "run_gui.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qd
