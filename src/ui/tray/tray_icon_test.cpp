#include "tray/tray_icon.h"

#include <gtest/gtest.h>

#include <QPainter>

namespace qd {
namespace {

// Share of the icon's area that stands out from the panel behind it.
double visibleShare(const QImage& icon, QColor panel) {
  QImage onPanel(icon.size(), QImage::Format_ARGB32);
  onPanel.fill(panel);
  QPainter(&onPanel).drawImage(0, 0, icon);
  int distinct = 0;
  for (int y = 0; y < onPanel.height(); ++y)
    for (int x = 0; x < onPanel.width(); ++x)
      if (std::abs(qGray(onPanel.pixel(x, y)) - qGray(panel.rgb())) > 60) ++distinct;
  return static_cast<double>(distinct) / (onPanel.width() * onPanel.height());
}

// Every status, no data included, reads on a dark and on a light panel at tray size.
TEST(TrayIcon, EveryStatusReadsOnDarkAndLightPanels) {
  for (ForecastStatus status : allCases<ForecastStatus>()) {
    const QImage icon = drawTrayIcon(status, Theme::darkTheme(), 22);
    for (QColor panel : {QColor(0x2b, 0x2b, 0x2b), QColor(0xf0, 0xf0, 0xf0)})
      EXPECT_GT(visibleShare(icon, panel), 0.15)
          << label(status) << " on " << panel.name().toStdString();
  }
}

}  // namespace
}  // namespace qd
