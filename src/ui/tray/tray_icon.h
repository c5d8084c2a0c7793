#pragma once
#include <QImage>

#include "models/forecast_status.h"
#include "popover/theme.h"

namespace qd {

// The tray symbol: a gauge whose arc and needle take the status colour, or the
// warning triangle when a window is limited. Drawn, so it needs no icon theme.
[[nodiscard]] QImage drawTrayIcon(ForecastStatus status, const Theme& theme, int size = 64);

}  // namespace qd
