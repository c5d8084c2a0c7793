#pragma once
#include <QPoint>
#include <QRect>
#include <QSize>

namespace qd::PopupPlacement {

// Where the popover goes for an activation at `anchor`: centred under the
// point when it is in the upper half of the screen (a top panel), above it
// otherwise (a bottom panel), always wholly inside `available` with a margin.
[[nodiscard]] QRect popover(QPoint anchor, QSize size, QRect available);

// The floating window: its top-right corner 12 from the right edge and 8 below
// the top of the available area.
[[nodiscard]] QRect floating(QSize size, QRect available);

}  // namespace qd::PopupPlacement
