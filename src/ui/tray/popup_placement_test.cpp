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

TEST(PopupPlacement, TallerThanTheScreenKeepsItsTopVisible) {
  const QRect small(0, 0, 1280, 700);
  const QRect r = PopupPlacement::popover(QPoint(600, 10), QSize(460, 900), small);
  EXPECT_EQ(r.top(), 0);
}

TEST(PopupPlacement, FloatingWindowSitsTopRight) {
  const QRect r = PopupPlacement::floating(size, screen);
  EXPECT_EQ(r.right(), 1920 - 12 - 1);
  EXPECT_EQ(r.top(), 28 + 8);
}

}  // namespace
}  // namespace qd
