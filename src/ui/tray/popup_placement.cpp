#include "tray/popup_placement.h"

#include <algorithm>

namespace qd::PopupPlacement {

namespace {
constexpr int kMargin = 8;

int clampInto(int pos, int length, int lo, int hi) {
  // A window larger than the area keeps its leading edge visible.
  if (length + 2 * kMargin >= hi - lo) return lo;
  return std::clamp(pos, lo + kMargin, hi - length - kMargin);
}
}  // namespace

QSize fitted(QSize size, QRect available) {
  return {std::max(1, std::min(size.width(), available.width() - 2 * kMargin)),
          std::max(1, std::min(size.height(), available.height() - 2 * kMargin))};
}

QRect popover(QPoint anchor, QSize size, QRect available) {
  size = fitted(size, available);
  // A host that reports (0, 0) gives no position: treat it as the top-right corner.
  if (anchor.isNull()) anchor = QPoint(available.right() - size.width() / 2, available.top());
  const bool below = anchor.y() < available.center().y();
  const int x = clampInto(anchor.x() - size.width() / 2, size.width(), available.left(), available.right() + 1);
  const int y = clampInto(below ? anchor.y() + kMargin : anchor.y() - size.height() - kMargin, size.height(),
                          available.top(), available.bottom() + 1);
  return {QPoint(x, y), size};
}

QRect floating(QSize size, QRect available) {
  size = fitted(size, available);
  return {QPoint(available.right() + 1 - 12 - size.width(), available.top() + 8), size};
}

}  // namespace qd::PopupPlacement
