#include "cards/scenario_card.h"

#include <QScrollArea>

#include "cards/card_logic.h"
#include "utilities/number_formatting.h"

namespace qd {

namespace CL = CardLogic;

bool ScenarioCard::build(QVBoxLayout* layout) {
  const Theme t = Theme::current();
  const AppSettings& s = ctx_.state->settings();
  const auto scenarios = ctx_.state->scenarios(s.focusedProvider, s.focusedWindow);
  if (scenarios.empty()) return false;
  layout->addWidget(Ui::text(QStringLiteral("What-ifs · ") + QString::fromStdString(CL::scenarioScope(s.focusedWindow)),
                             12.5, t.textPrimary, QFont::Bold));
  auto* strip = new QWidget;
  auto* h = new QHBoxLayout(strip);
  h->setContentsMargins(0, 0, 0, 0);
  h->setSpacing(8);
  for (const auto& sc : scenarios) {
    auto* tile = new QFrame;
    tile->setObjectName(QStringLiteral("tile"));
    tile->setAttribute(Qt::WA_StyledBackground, true);
    tile->setStyleSheet(QStringLiteral("QFrame#tile { background: %1; border-radius: 10px; }").arg(cssColor(t.control)));
    tile->setMinimumWidth(118);
    tile->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto* v = new QVBoxLayout(tile);
    v->setContentsMargins(10, 8, 10, 8);
    v->setSpacing(3);
    v->addWidget(Ui::text(QString::fromStdString(sc.title), 10.5, t.textSecondary, QFont::Medium));
    QString value = QStringLiteral("—");
    if (sc.projectedUsedAtReset) {
      double shown = CL::shownPercent(*sc.projectedUsedAtReset, s.showRemaining);
      if (s.showRemaining) shown = std::max(0.0, shown);
      value = QString::fromStdString(NumberFormatting::percent(shown)) + QStringLiteral(" ") + CL::leftOrUsed(s.showRemaining);
    }
    v->addWidget(Ui::text(value, 14, t.textPrimary, QFont::Bold));
    if (auto detail = CL::scenarioDetail(sc)) {
      const bool bad = sc.runOutAt || sc.estimatedSavingPercent.value_or(0) < -0.5;
      // One line ("costs ~11% more"): a tile grows to fit it and the strip scrolls sideways.
      v->addWidget(Ui::text(QString::fromStdString(*detail), 9.5, bad ? t.risky : t.safe, QFont::Medium));
    }
    v->addWidget(Ui::text(QStringLiteral("by reset (est.)"), 9, t.textTertiary));
    QStringList help;
    for (const auto& a : sc.assumptions) help << QString::fromStdString(a);
    tile->setToolTip(help.join(QLatin1Char('\n')));
    // Never narrower than its one-line texts: the strip scrolls instead.
    tile->setMinimumWidth(tile->sizeHint().width());
    h->addWidget(tile, 1);
  }
  auto* scroll = new QScrollArea;
  scroll->setWidget(strip);
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setFixedHeight(strip->sizeHint().height() + 12);
  layout->addWidget(scroll);
  return true;
}

bool RecommendationView::build(QVBoxLayout* layout) {
  const Theme t = Theme::current();
  const auto& all = ctx_.state->recommendations();
  std::vector<Recommendation> shown(all.begin(), all.begin() + std::min<size_t>(3, all.size()));
  if (shown.empty()) return false;
  for (const auto& r : shown)
    layout->addWidget(Ui::symbolText(QString::fromStdString(CL::recommendationSymbol(r.status)), t.statusColor(r.status),
                                     QString::fromStdString(r.message), t.textPrimary, 10.5, true));
  const auto tint = CL::bannerTint(shown);
  if (tint) {
    QColor bg = t.color(*tint);
    bg.setAlphaF(t.dark ? 0.12 : 0.10);
    QColor border = t.color(*tint);
    border.setAlphaF(0.35);
    setStyleSheet(QStringLiteral("QFrame#card { background: %1; border: 1px solid %2; border-radius: 14px; }")
                      .arg(cssColor(bg), cssColor(border)));
  } else {
    setStyleSheet(QString());
  }
  setProperty("tinted", tint.has_value());
  return true;
}

bool ExtraUsageView::build(QVBoxLayout* layout) {
  const Theme t = Theme::current();
  if (!ctx_.lastExtraUsage) return false;
  const auto overage = ctx_.lastExtraUsage();
  if (!overage) return false;
  const auto lines =
      CL::extraUsage(overage->enabled, overage->usedGBP, overage->limitGBP, ctx_.state->settings().extraUsageBudgetGBP);
  if (!lines) return false;
  layout->addWidget(Ui::hbox({Ui::text(QStringLiteral("Overage spend"), 12.5, t.textPrimary, QFont::Bold), Ui::spacer(),
                              Ui::text(QString::fromStdString(lines->usedText), 11, t.textPrimary, QFont::DemiBold)}));
  if (lines->barPercent) {
    UsageBar* b = bar(QStringLiteral("overage"));
    b->setValues(*lines->barPercent, std::nullopt, std::nullopt, t.color(lines->barColour));
    layout->addWidget(b);
  }
  layout->addWidget(Ui::text(QString::fromStdString(lines->detail), 10, t.textSecondary, QFont::Normal, true));
  return true;
}

}  // namespace qd
