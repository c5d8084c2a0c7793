#pragma once
#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QStringList>

namespace qd {

// The system symbols the screens name ("chart.line.uptrend.xyaxis", "clock", ...)
// mapped to freedesktop themed icons, with a drawn fallback for every one of
// them so each symbol shows something on any desktop.
//
// Thread-safety: main thread only (QPixmap).
namespace SymbolIcons {

// Every symbol the screens use.
[[nodiscard]] QStringList knownSymbols();
// The themed icon name tried first, or empty when a symbol is always drawn.
[[nodiscard]] QString themedName(const QString& symbol);
// The symbol drawn in `color`, `size` device-independent pixels square.
// Tinted symbols are always drawn (themed icons cannot carry a status colour).
[[nodiscard]] QPixmap drawn(const QString& symbol, const QColor& color, int size, qreal dpr = 1.0);
// An icon for a button: the themed icon when the desktop has it and
// `preferThemed`, else the drawn one in `color`.
[[nodiscard]] QIcon icon(const QString& symbol, const QColor& color, int size = 16, bool preferThemed = false);

}  // namespace SymbolIcons
}  // namespace qd
