#include "popover/widgets.h"

#include <QPainter>
#include <QStyle>

#include "desktop/symbol_icons.h"

namespace qd::Ui {

QLabel* text(const QString& s, double points, const QColor& colour, QFont::Weight weight, bool wrap) {
  auto* l = new QLabel(s);
  l->setFont(Theme::font(points, weight));
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, colour);
  l->setPalette(p);
  l->setStyleSheet(QStringLiteral("color: %1; background: transparent;").arg(cssColor(colour)));
  l->setWordWrap(wrap);
  l->setTextFormat(Qt::PlainText);
  if (wrap) l->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::MinimumExpanding);
  return l;
}

QLabel* symbol(const QString& name, const QColor& colour, int size) {
  auto* l = new QLabel;
  l->setPixmap(SymbolIcons::drawn(name, colour, size, 2.0));
  l->setFixedSize(size, size);
  l->setProperty("symbol", name);
  l->setStyleSheet(QStringLiteral("background: transparent;"));
  return l;
}

QWidget* symbolText(const QString& name, const QColor& symbolColour, const QString& s, const QColor& textColour,
                    double points, bool wrap) {
  auto* w = new QWidget;
  auto* h = new QHBoxLayout(w);
  h->setContentsMargins(0, 0, 0, 0);
  h->setSpacing(5);
  auto* icon = symbol(name, symbolColour, static_cast<int>(points + 2));
  h->addWidget(icon, 0, wrap ? Qt::AlignTop : Qt::AlignVCenter);
  h->addWidget(text(s, points, textColour, QFont::Normal, wrap), 1);
  return w;
}

QLabel* pill(const QString& s, const QColor& colour) {
  auto* l = new QLabel;
  l->setFont(Theme::font(9.5, QFont::DemiBold));
  l->setProperty("pill", true);
  l->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  setPill(l, s, colour);
  return l;
}

void setPill(QLabel* pill, const QString& s, const QColor& colour) {
  QColor bg = colour;
  bg.setAlphaF(0.18);
  pill->setText(s);
  pill->setStyleSheet(QStringLiteral("color: %1; background: %2; border-radius: 8px; padding: 1px 8px;")
                          .arg(cssColor(colour), cssColor(bg)));
}

QFrame* divider() {
  auto* f = new QFrame;
  f->setFixedHeight(1);
  f->setStyleSheet(QStringLiteral("background: %1; border: none;").arg(cssColor(Theme::current().divider)));
  return f;
}

QWidget* segmentTrack(QHBoxLayout*& layout) {
  auto* w = new QWidget;
  w->setObjectName(QStringLiteral("segments"));
  w->setAttribute(Qt::WA_StyledBackground, true);
  layout = new QHBoxLayout(w);
  layout->setContentsMargins(3, 3, 3, 3);
  layout->setSpacing(2);
  return w;
}

QToolButton* segment(const QString& title, bool checked, double points, QFont::Weight weight,
                     std::function<void()> clicked) {
  auto* b = new QToolButton;
  b->setObjectName(QStringLiteral("segment"));
  b->setText(title);
  b->setCheckable(true);
  b->setChecked(checked);
  b->setFont(Theme::font(points, weight));
  b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  b->setCursor(Qt::PointingHandCursor);
  QObject::connect(b, &QToolButton::clicked, b, [clicked = std::move(clicked)] {
    if (clicked) clicked();
  });
  return b;
}

QToolButton* iconButton(const QString& name, const QString& hint, std::function<void()> action) {
  const Theme t = Theme::current();
  auto* b = new QToolButton;
  b->setIcon(SymbolIcons::icon(name, t.textSecondary, 16));
  b->setIconSize(QSize(16, 16));
  b->setToolTip(hint);
  b->setAccessibleName(hint);
  b->setAutoRaise(true);
  b->setProperty("iconButton", true);
  b->setCursor(Qt::PointingHandCursor);
  QObject::connect(b, &QToolButton::clicked, b, [action = std::move(action)] {
    if (action) action();
  });
  return b;
}

QPushButton* button(const QString& title, std::function<void()> action, bool prominent, bool small) {
  auto* b = new QPushButton(title);
  b->setProperty("prominent", prominent);
  b->setProperty("small", small);
  b->setCursor(Qt::PointingHandCursor);
  b->setFont(Theme::font(small ? 10 : 11, prominent ? QFont::DemiBold : QFont::Medium));
  QObject::connect(b, &QPushButton::clicked, b, [action = std::move(action)] {
    if (action) action();
  });
  return b;
}

QWidget* hbox(std::initializer_list<QWidget*> widgets, int spacing, bool stretchAtEnd) {
  auto* w = new QWidget;
  auto* h = new QHBoxLayout(w);
  h->setContentsMargins(0, 0, 0, 0);
  h->setSpacing(spacing);
  for (QWidget* child : widgets) {
    if (child) h->addWidget(child);
  }
  if (stretchAtEnd) h->addStretch(1);
  return w;
}

QWidget* spacer() {
  auto* w = new QWidget;
  w->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  w->setStyleSheet(QStringLiteral("background: transparent;"));
  return w;
}

QColor toneColour(int tone, const Theme& t) {
  switch (tone) {
    case 0: return t.textPrimary;
    case 1: return t.textSecondary;
    case 2: return t.safe;
    case 3: return t.watch;
    case 4: return t.risky;
    case 5: return t.accent;
    default: return t.neutral;
  }
}

Switch::Switch(const QString& accessibleName, QWidget* parent) : QAbstractButton(parent) {
  setCheckable(true);
  setAccessibleName(accessibleName);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::StrongFocus);
  setFixedSize(sizeHint());
}

void Switch::paintEvent(QPaintEvent*) {
  const Theme t = Theme::current();
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  // The track sits 2 px inside the widget; the focus ring takes that margin.
  const QRectF outer = QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75);
  if (hasFocus()) {
    p.setPen(QPen(t.accent, 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(outer, outer.height() / 2, outer.height() / 2);
  }
  const QRectF track = QRectF(rect()).adjusted(2.5, 2.5, -2.5, -2.5);
  p.setPen(QPen(isChecked() ? t.accent : t.cardBorder, 1));
  p.setBrush(isChecked() ? t.accent : t.control);
  p.drawRoundedRect(track, track.height() / 2, track.height() / 2);
  const double d = track.height() - 4;
  const double x = isChecked() ? track.right() - 2 - d : track.left() + 2;
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255));
  p.drawEllipse(QRectF(x, track.top() + 2, d, d));
}

QWidget* toggleRow(const QString& label, bool on, std::function<void(bool)> changed) {
  auto* sw = new Switch(label);
  sw->setChecked(on);
  QObject::connect(sw, &QAbstractButton::toggled, sw, [changed = std::move(changed)](bool v) { changed(v); });
  return hbox({text(label, 11, Theme::current().textPrimary), spacer(), sw});
}

QString styleSheet(const Theme& t) {
  const QString accentBg = cssColor(t.accent);
  QColor hover = t.control;
  hover.setAlpha(std::min(255, hover.alpha() * 2));
  // Focus shows as an accent border on every control; the unfocused border has
  // the same width (transparent where there is none), so focus moves nothing.
  return QStringLiteral(
             "QWidget#popoverRoot { background: %1; }"
             "QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; border: none; }"
             "QScrollBar:vertical { background: transparent; width: 8px; margin: 2px; }"
             "QScrollBar::handle:vertical { background: %2; border-radius: 3px; min-height: 24px; }"
             "QScrollBar::add-line, QScrollBar::sub-line { height: 0; }"
             "QScrollBar::add-page, QScrollBar::sub-page { background: transparent; }"
             "QFrame#card { background: %3; border: 1px solid %4; border-radius: 14px; }"
             "QLabel { background: transparent; }"
             "QPushButton { color: %5; background: %6; border: 1px solid %4; border-radius: 8px; padding: 5px 12px; }"
             "QPushButton:hover { background: %7; }"
             "QPushButton[small=\"true\"] { padding: 3px 9px; border-radius: 7px; }"
             "QPushButton[prominent=\"true\"] { color: white; background: %8; border: 1px solid %8; }"
             "QPushButton:focus { border: 1px solid %8; }"
             "QPushButton[prominent=\"true\"]:focus { border: 1px solid white; }"
             "QToolButton[iconButton=\"true\"] { border: 1px solid transparent; border-radius: 7px; padding: 3px; background: transparent; }"
             "QToolButton[iconButton=\"true\"]:hover { background: %6; }"
             "QToolButton[iconButton=\"true\"]:focus { border: 1px solid %8; }"
             "QToolButton#segment { color: %9; border: 1px solid transparent; border-radius: 7px; padding: 2px 0px; background: transparent; }"
             "QToolButton#segment:hover { color: %5; }"
             "QToolButton#segment:checked { color: %5; background: %10; }"
             "QToolButton#segment:focus { border: 1px solid %8; }"
             "QWidget#segments { background: %6; border-radius: 9px; }"
             "QToolButton#menuButton { color: %5; border: 1px solid %4; border-radius: 8px; padding: 2px 8px; background: %6; }"
             "QToolButton#menuButton:hover { background: %7; }"
             "QToolButton#menuButton:focus { border: 1px solid %8; }"
             "QToolButton#menuButton::menu-indicator { image: none; width: 0; }"
             "QComboBox { color: %5; background: %6; border: 1px solid %4; border-radius: 7px; padding: 3px 8px; }"
             "QComboBox:focus { border: 1px solid %8; }"
             "QComboBox QAbstractItemView { color: %5; background: %3; selection-background-color: %8; }"
             "QCheckBox { color: %5; spacing: 8px; }"
             "QCheckBox::indicator { width: 30px; height: 18px; border-radius: 9px; background: %6; border: 1px solid %4; }"
             "QCheckBox::indicator:checked { background: %8; border: 1px solid %8; }"
             "QMenu { color: %5; background: %3; border: 1px solid %4; padding: 4px; }"
             "QMenu::item { padding: 4px 18px 4px 8px; border-radius: 5px; }"
             "QMenu::item:selected { background: %8; color: white; }"
             "QMenu::separator { height: 1px; background: %4; margin: 4px 6px; }"
             "QToolTip { color: %5; background: %3; border: 1px solid %4; padding: 4px; }")
      .arg(cssColor(t.background), cssColor(t.divider), cssColor(t.card), cssColor(t.cardBorder),
           cssColor(t.textPrimary), cssColor(t.control), cssColor(hover), accentBg, cssColor(t.textSecondary))
      .arg(cssColor(t.controlSelected));
}

}  // namespace qd::Ui

namespace qd {

Card::Card(UiContext& ctx, QWidget* parent) : QFrame(parent), ctx_(ctx) {
  setObjectName(QStringLiteral("card"));
  setAttribute(Qt::WA_StyledBackground, true);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(14, 12, 14, 12);
  outer->setSpacing(0);
}

void Card::refresh() {
  // Pooled widgets leave the old content before it goes, so they keep their state.
  for (auto& [key, w] : pool_) {
    w->hide();
    w->setParent(this);
  }
  if (content_) {
    content_->hide();
    // Later: a button inside the old content may be the one whose click caused this rebuild.
    content_->deleteLater();
  }
  content_ = new QWidget(this);
  auto* layout = new QVBoxLayout(content_);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(7);
  const bool shown = build(layout);
  static_cast<QVBoxLayout*>(this->layout())->addWidget(content_);
  for (auto& [key, w] : pool_)
    if (w->parent() != this) w->show();
  setVisible(shown);
}

UsageBar* Card::bar(const QString& key, int height) {
  auto it = pool_.find(QStringLiteral("bar:") + key);
  if (it != pool_.end()) return static_cast<UsageBar*>(it->second);
  auto* b = new UsageBar(this, height);
  pool_.emplace(QStringLiteral("bar:") + key, b);
  return b;
}

RangeChartView* Card::chart(const QString& key) {
  auto it = pool_.find(QStringLiteral("chart:") + key);
  if (it != pool_.end()) return static_cast<RangeChartView*>(it->second);
  auto* c = new RangeChartView(this);
  pool_.emplace(QStringLiteral("chart:") + key, c);
  return c;
}

}  // namespace qd
