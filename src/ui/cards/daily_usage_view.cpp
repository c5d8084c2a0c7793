#include "cards/daily_usage_view.h"

#include <QPainter>
#include <QPainterPath>

#include "cards/card_logic.h"
#include "utilities/number_formatting.h"

namespace qd {

namespace {
std::vector<Provider> providersWithUsage(AppState& state) {
  std::vector<Provider> out;
  for (Provider p : state.sortedEnabledProviders()) {
    const auto days = state.dailySeries(p);
    if (std::any_of(days.begin(), days.end(), [](const auto& d) { return d.second >= 1; })) out.push_back(p);
  }
  return out;
}

QColor providerColour(Provider p, const Theme& t) { return p == Provider::codex ? t.accent : t.risky; }
}  // namespace

MiniChart::MiniChart(Kind kind, std::vector<double> values, QColor colour, QWidget* parent)
    : QWidget(parent), kind_(kind), values_(std::move(values)), colour_(colour) {
  setFixedSize(sizeHint());
}

void MiniChart::paintEvent(QPaintEvent*) {
  if (values_.empty()) return;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const double maxValue = std::max(1.0, *std::max_element(values_.begin(), values_.end()));
  const double w = width(), h = height();
  if (kind_ == Kind::bars) {
    const double slot = w / values_.size();
    for (size_t i = 0; i < values_.size(); ++i) {
      const double bh = std::max(2.0, (h - 2) * values_[i] / maxValue);
      QColor c = colour_;
      c.setAlphaF(i + 1 == values_.size() ? 1.0 : 0.55);
      QPainterPath path;
      path.addRoundedRect(QRectF(i * slot + 1.5, h - bh, slot - 3, bh), 2, 2);
      p.fillPath(path, c);
    }
    return;
  }
  QPolygonF line;
  for (size_t i = 0; i < values_.size(); ++i) {
    const double x = values_.size() == 1 ? w / 2 : 2 + (w - 4) * i / (values_.size() - 1);
    line << QPointF(x, h - 3 - (h - 6) * values_[i] / maxValue);
  }
  p.setPen(QPen(colour_, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPolyline(line);
  p.setBrush(colour_);
  p.setPen(Qt::NoPen);
  p.drawEllipse(line.last(), 2.2, 2.2);
}

std::vector<Provider> DailyUsageView::providers() const { return providersWithUsage(*ctx_.state); }

bool DailyUsageView::build(QVBoxLayout* layout) {
  const Theme t = Theme::current();
  AppState& state = *ctx_.state;
  // Like the trend card: without any transcript usage there is nothing to show (not "£0.00/wk").
  const auto shown = providers();
  if (shown.empty()) return false;
  layout->addWidget(Ui::hbox({Ui::text(QStringLiteral("Daily usage"), 12.5, t.textPrimary, QFont::Bold), Ui::spacer(),
                              Ui::text(QString::fromStdString(state.spendThisWeekTotal()) + QStringLiteral("/wk est."),
                                       11, t.textSecondary, QFont::DemiBold)}));
  if (auto peak = state.peakUsageWindowLabel())
    layout->addWidget(Ui::symbolText(QStringLiteral("clock.badge"), t.textTertiary,
                                     QStringLiteral("Most active ") + QString::fromStdString(*peak), t.textTertiary, 10));
  for (Provider p : shown) {
    std::vector<double> values;
    for (const auto& d : state.dailySeries(p)) values.push_back(static_cast<double>(d.second));
    auto* left = new QWidget;
    auto* v = new QVBoxLayout(left);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(1);
    v->addWidget(Ui::text(QString::fromUtf8(displayName(p).data()), 11, t.textPrimary, QFont::DemiBold));
    const QString line = QStringLiteral("avg ") +
                         QString::fromStdString(NumberFormatting::tokens(static_cast<int64_t>(state.avgDailyTokens(p)))) +
                         QStringLiteral("/day · ~") + QString::fromStdString(state.spendThisWeek(p)) + QStringLiteral("/wk");
    v->addWidget(Ui::text(line, 10, t.textSecondary));
    layout->addWidget(Ui::hbox({left, Ui::spacer(), new MiniChart(MiniChart::Kind::bars, values, providerColour(p, t))}));
  }
  layout->addWidget(Ui::text(QStringLiteral("This computer's local logs only. Spend is estimated metered cost; on a flat "
                                            "plan it's the equivalent value you're getting."),
                             9, t.textTertiary, QFont::Normal, true));
  return true;
}

bool TrendsView::build(QVBoxLayout* layout) {
  const Theme t = Theme::current();
  AppState& state = *ctx_.state;
  const auto providers = providersWithUsage(state);
  if (providers.empty()) return false;
  layout->addWidget(Ui::text(QStringLiteral("Trend · this week vs last"), 12.5, t.textPrimary, QFont::Bold));
  for (Provider p : providers) {
    const auto trend = state.weekTrend(p);
    std::vector<double> weeks;
    for (auto w : trend.weeks) weeks.push_back(static_cast<double>(w));
    auto* row = new QWidget;
    auto* h = new QHBoxLayout(row);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(8);
    auto* name = Ui::text(QString::fromUtf8(displayName(p).data()), 11, t.textPrimary, QFont::DemiBold);
    name->setMinimumWidth(96);
    h->addWidget(name);
    h->addWidget(new MiniChart(MiniChart::Kind::sparkline, weeks, providerColour(p, t)));
    h->addStretch(1);
    h->addWidget(Ui::text(QString::fromStdString(NumberFormatting::tokens(trend.thisWeek)), 11, t.textPrimary, QFont::DemiBold));
    if (trend.deltaPct) {
      const auto d = CardLogic::trendDelta(*trend.deltaPct);
      const QColor c = d.tone == CardLogic::Tone::neutral ? t.textTertiary : Ui::toneColour(static_cast<int>(d.tone), t);
      h->addWidget(Ui::symbolText(QString::fromStdString(d.symbol), c, QString::fromStdString(d.text), c, 10.5));
    }
    layout->addWidget(row);
  }
  return true;
}

}  // namespace qd
