#pragma once
#include <QPoint>
#include <QRect>
#include <QSize>

namespace qd::PopupPlacement {

// The size cut down to fit inside `available` with a margin on each side; the
// screens scroll inside a shorter window.
[[nodiscard]] QSize fitted(QSize size, QRect available);

// Where the popover goes for an activation at `anchor`: centred under the
// point when it is in the upper half of the screen (a top panel), above it
// otherwise (a bottom panel), always wholly inside `available` with a margin
// (shorter than asked for when the area is).
[[nodiscard]] QRect popover(QPoint anchor, QSize size, QRect available);

// The floating window: its top-right corner 12 from the right edge and 8 below
// the top of the available area, fitted like the popover.
[[nodiscard]] QRect floating(QSize size, QRect available);

}  // namespace qd::PopupPlacement
