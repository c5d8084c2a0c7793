#pragma once
#include <QColor>
#include <QFont>
#include <QPalette>
#include <QStringList>
#include <optional>

#include "models/forecast_status.h"

namespace qd {

// The palette roles every screen paints with, in a light and a dark variant,
// and the popover's size. Values are chosen so that the status colours keep
// their meaning (and contrast) on both a light and a dark desktop.
//
// Thread-safety: plain value; `current()` reads the application palette and is
// main-thread only.
struct Theme {
  bool dark = true;
  QColor safe, watch, risky, limited, neutral, accent;
  QColor divider, textPrimary, textSecondary, textTertiary;
  QColor background, card, cardBorder, control, controlSelected;

  [[nodiscard]] static Theme light();
  [[nodiscard]] static Theme darkTheme();
  // The variant matching the application palette's window colour.
  [[nodiscard]] static Theme current();
  // Forces one variant for the rest of the process (tests and screenshots).
  static void setOverride(std::optional<bool> dark);

  [[nodiscard]] QColor color(ColorRole role) const;
  [[nodiscard]] QColor statusColor(ForecastStatus status) const { return color(colorRole(status)); }

  static constexpr int popoverWidth = 460;
  static constexpr double defaultPopoverHeight = 720;
  // Process-wide value, set once at start-up from the command line ("--capture-height").
  [[nodiscard]] static double popoverHeight();
  static void setPopoverHeight(double height);

  // A font `points` large with the given weight, from the application font.
  [[nodiscard]] static QFont font(double points, QFont::Weight weight = QFont::Normal);
  [[nodiscard]] static QFont monoDigitsFont(double points, QFont::Weight weight = QFont::Medium);
};

// "#rrggbb" or "rgba(r,g,b,a)" for style sheets.
[[nodiscard]] QString cssColor(const QColor& c);

}  // namespace qd
