#include "popover/theme.h"

#include <QApplication>
#include <QFontDatabase>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <optional>

namespace qd {

namespace {
std::optional<bool> gDarkOverride;
double gPopoverHeight = Theme::defaultPopoverHeight;
}  // namespace

Theme Theme::light() {
  Theme t;
  t.dark = false;
  t.safe = QColor(0x1f, 0x9d, 0x55);
  t.watch = QColor(0xc7, 0x8a, 0x00);
  t.risky = QColor(0xe0, 0x5a, 0x1b);
  t.limited = QColor(0xd7, 0x26, 0x38);
  t.neutral = QColor(0x86, 0x8a, 0x94);
  t.accent = QColor(0x3b, 0x6c, 0xf0);
  t.divider = QColor(0, 0, 0, 34);
  t.textPrimary = QColor(0x1c, 0x1e, 0x24);
  t.textSecondary = QColor(0x52, 0x57, 0x63);
  t.textTertiary = QColor(0x86, 0x8b, 0x96);
  t.background = QColor(0xf4, 0xf5, 0xf8);
  t.card = QColor(0xff, 0xff, 0xff);
  t.cardBorder = QColor(0, 0, 0, 22);
  t.control = QColor(0, 0, 0, 14);
  t.controlSelected = QColor(0xff, 0xff, 0xff);
  return t;
}

Theme Theme::darkTheme() {
  Theme t;
  t.dark = true;
  t.safe = QColor(0x3d, 0xd6, 0x8c);
  t.watch = QColor(0xf5, 0xc1, 0x42);
  t.risky = QColor(0xff, 0x8a, 0x4c);
  t.limited = QColor(0xff, 0x5c, 0x6c);
  t.neutral = QColor(0x9a, 0xa0, 0xad);
  t.accent = QColor(0x7a, 0x9c, 0xff);
  t.divider = QColor(255, 255, 255, 30);
  t.textPrimary = QColor(0xf2, 0xf4, 0xf8);
  t.textSecondary = QColor(0xb4, 0xb9, 0xc4);
  t.textTertiary = QColor(0x7d, 0x83, 0x90);
  t.background = QColor(0x17, 0x19, 0x1f);
  t.card = QColor(0x22, 0x25, 0x2d);
  t.cardBorder = QColor(255, 255, 255, 18);
  t.control = QColor(255, 255, 255, 16);
  t.controlSelected = QColor(255, 255, 255, 40);
  return t;
}

Theme Theme::current() {
  if (gDarkOverride) return *gDarkOverride ? darkTheme() : light();
  const QColor window = QApplication::palette().color(QPalette::Window);
  return window.lightnessF() < 0.5 ? darkTheme() : light();
}

void Theme::setOverride(std::optional<bool> dark) { gDarkOverride = dark; }

QColor Theme::color(ColorRole role) const {
  switch (role) {
    case ColorRole::safe: return safe;
    case ColorRole::watch: return watch;
    case ColorRole::risky: return risky;
    case ColorRole::limited: return limited;
    case ColorRole::neutral: break;
  }
  return neutral;
}

double Theme::popoverHeight() { return gPopoverHeight; }
void Theme::setPopoverHeight(double height) { gPopoverHeight = height; }

QFont Theme::font(double points, QFont::Weight weight) {
  QFont f = QApplication::font();
  f.setPointSizeF(points);
  f.setWeight(weight);
  return f;
}

QFont Theme::monoDigitsFont(double points, QFont::Weight weight) {
  // Tabular digits come with the default sans faces of the desktops we target.
  return font(points, weight);
}

QString cssColor(const QColor& c) {
  if (c.alpha() == 255) return c.name(QColor::HexRgb);
  return QStringLiteral("rgba(%1,%2,%3,%4)").arg(c.red()).arg(c.green()).arg(c.blue()).arg(c.alpha());
}

}  // namespace qd
