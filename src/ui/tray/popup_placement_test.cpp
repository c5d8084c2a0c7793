#include "tray/popup_placement.h"

#include <gtest/gtest.h>

namespace qd {
namespace {

const QRect screen(0, 28, 1920, 1052);  // a top panel of 28
const QSize size(460, 720);

TEST(PopupPlacement, OpensBelowATopPanelCentredOnTheClick) {
  const QRect r = PopupPlacement::popover(QPoint(1000, 14), size, screen);
  EXPECT_EQ(r.size(), size);
  EXPECT_EQ(r.left(), 1000 - 230);
  EXPECT_EQ(r.top(), 14 + 8 < 36 ? 36 : 22);
  EXPECT_TRUE(screen.contains(r));
}

TEST(PopupPlacement, OpensAboveABottomPanel) {
  const QRect bottomPanel(0, 0, 1920, 1040);
  const QRect r = PopupPlacement::popover(QPoint(1800, 1060), size, bottomPanel);
  EXPECT_TRUE(bottomPanel.contains(r));
  EXPECT_EQ(r.right(), 1920 - 8 - 1);
  EXPECT_EQ(r.bottom(), 1040 - 8 - 1);
}

TEST(PopupPlacement, StaysOnScreenNearTheEdges) {
  for (QPoint click : {QPoint(5, 5), QPoint(1915, 5), QPoint(0, 0)}) {
    const QRect r = PopupPlacement::popover(click, size, screen);
    EXPECT_TRUE(screen.contains(r)) << click.x() << "," << click.y();
  }
}

// A 1280x720 screen with a panel, or 720 points at 3x on a 1080-pixel screen:
// the whole window, footer included, stays inside the area.
TEST(PopupPlacement, TallerThanTheScreenIsCutToFitWholly) {
  for (const QRect& area : {QRect(0, 28, 1280, 692), QRect(0, 0, 640, 360), QRect(0, 0, 1280, 720)}) {
    for (QPoint click : {QPoint(600, 10), QPoint(600, area.bottom())}) {
      const QRect r = PopupPlacement::popover(click, QSize(460, 900), area);
      EXPECT_TRUE(area.contains(r)) << area.height() << " click y " << click.y();
      EXPECT_EQ(r.height(), std::min(900, area.height() - 16));
    }
    EXPECT_TRUE(area.contains(PopupPlacement::floating(QSize(460, 720), area))) << area.height();
  }
}

TEST(PopupPlacement, FloatingWindowSitsTopRight) {
  const QRect r = PopupPlacement::floating(size, screen);
  EXPECT_EQ(r.right(), 1920 - 12 - 1);
  EXPECT_EQ(r.top(), 28 + 8);
}

}  // namespace
}  // namespace qd
