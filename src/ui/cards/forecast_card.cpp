#include "cards/forecast_card.h"

#include <algorithm>

#include <QButtonGroup>
#include <QMenu>

#include "cards/card_logic.h"
#include "desktop/symbol_icons.h"

namespace qd {

namespace CL = CardLogic;

ForecastCard::ForecastCard(UiContext& ctx, QWidget* parent) : Card(ctx, parent) {}

std::vector<Provider> ForecastCard::tabProviders() const {
  std::vector<Provider> out;
  for (Provider p : ctx_.state->sortedEnabledProviders())
    if (ctx_.state->forecast(p, WindowKind::fiveHour) || ctx_.state->forecast(p, WindowKind::sevenDay) ||
        ctx_.state->forecast(p, WindowKind::weekly))
      out.push_back(p);
  return out;
}

QToolButton* ForecastCard::focusPicker() {
  const Theme t = Theme::current();
  const AppSettings& s = ctx_.state->settings();
  auto* b = new QToolButton;
  b->setObjectName(QStringLiteral("menuButton"));
  b->setPopupMode(QToolButton::InstantPopup);
  b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  b->setFont(Theme::font(10, QFont::Medium));
  if (s.focusAuto) {
    b->setIcon(SymbolIcons::icon(QStringLiteral("wand.and.stars"), t.accent, 12));
    b->setText(QStringLiteral("Auto"));
    b->setStyleSheet(QStringLiteral("color: %1;").arg(cssColor(t.accent)));
  } else {
    b->setIcon(SymbolIcons::icon(QStringLiteral("rectangle.2.swap"), t.textSecondary, 12));
    b->setText(QStringLiteral("Focus"));
    b->setStyleSheet(QStringLiteral("color: %1;").arg(cssColor(t.textSecondary)));
  }
  b->setIconSize(QSize(12, 12));
  auto* menu = new QMenu(b);
  std::weak_ptr<AppState> weak = ctx_.state;
  QAction* autoAction = menu->addAction(
      SymbolIcons::icon(s.focusAuto ? QStringLiteral("checkmark") : QStringLiteral("wand.and.stars"), t.textPrimary, 14),
      QStringLiteral("Auto · most at risk"));
  QObject::connect(autoAction, &QAction::triggered, b, [weak] {
    if (auto st = weak.lock()) {
      st->updateSettings([](AppSettings& a) { a.focusAuto = true; });
      st->refresh();
    }
  });
  menu->addSeparator();
  for (const auto& [provider, window] : ctx_.state->availableSeries()) {
    const QString text = QString::fromUtf8(displayName(provider).data()) + QStringLiteral(" · ") +
                         QString::fromUtf8(shortLabel(window).data());
    QAction* a = menu->addAction(text);
    QObject::connect(a, &QAction::triggered, b, [weak, provider = provider, window = window] {
      if (auto st = weak.lock()) {
        st->updateSettings([](AppSettings& s2) { s2.focusAuto = false; });
        st->updateSettings([provider](AppSettings& s2) { s2.focusedProvider = provider; });
        st->updateSettings([window](AppSettings& s2) { s2.focusedWindow = window; });
      }
    });
  }
  b->setMenu(menu);
  return b;
}

QWidget* ForecastCard::basisControl() {
  QHBoxLayout* h = nullptr;
  QWidget* w = Ui::segmentTrack(h);
  const ForecastBasis current = ctx_.state->settings().forecastBasis;
  std::weak_ptr<AppState> weak = ctx_.state;
  for (ForecastBasis basis : allCases<ForecastBasis>()) {
    auto* seg = Ui::segment(QString::fromUtf8(label(basis).data()), basis == current, 10, QFont::Medium, [weak, basis] {
      if (auto st = weak.lock()) st->setBasis(basis);
    });
    seg->setToolTip(QString::fromUtf8(helpText(basis).data()));
    h->addWidget(seg);
  }
  return w;
}

bool ForecastCard::build(QVBoxLayout* layout) {
  const Theme t = Theme::current();
  AppState& state = *ctx_.state;
  const AppSettings& s = state.settings();
  Provider provider = s.focusedProvider;
  WindowKind window = s.focusedWindow;
  const Timestamp now = ctx_.now();
  std::weak_ptr<AppState> weak = ctx_.state;

  const auto tabs = tabProviders();
  // A focus on a provider that is switched off or has no figures would show an
  // empty chart while another provider has data: show that one instead.
  if (!tabs.empty() && std::find(tabs.begin(), tabs.end(), provider) == tabs.end()) {
    provider = tabs.front();
    for (WindowKind w : {WindowKind::fiveHour, WindowKind::sevenDay, WindowKind::weekly})
      if (state.forecast(provider, w)) {
        window = w;
        break;
      }
  }
  if (tabs.size() >= 2) {
    QHBoxLayout* h = nullptr;
    QWidget* w = Ui::segmentTrack(h);
    for (Provider p : tabs) {
      auto* tab = Ui::segment(QString::fromUtf8(displayName(p).data()), p == provider, 11, QFont::DemiBold, [weak, p] {
        if (auto st = weak.lock()) st->setFocusedProvider(p);
      });
      tab->setProperty("providerTab", true);
      h->addWidget(tab);
    }
    layout->addWidget(w);
  }

  const QString title = QString::fromUtf8(displayName(provider).data()) + QStringLiteral(" ") +
                        QString::fromStdString(CL::rangeTitle(window));
  layout->addWidget(Ui::hbox({Ui::text(title, 13.5, t.textPrimary, QFont::Bold), Ui::spacer(), focusPicker()}));

  const auto forecast = state.forecast(provider, window);
  const bool isLong = window == WindowKind::sevenDay || window == WindowKind::weekly || window == WindowKind::monthly;
  std::optional<PaceResult> pace;
  if (window == WindowKind::sevenDay || window == WindowKind::weekly) {
    auto it = state.paces().find(provider);
    if (it != state.paces().end()) pace = it->second;
  }
  if (!forecast) {
    layout->addWidget(Ui::text(QStringLiteral("No data for this window yet."), 11, t.textSecondary));
  } else {
    for (const auto& row : CL::summaryRows(*forecast, pace, isLong, s.showRemaining, s.forecastBasis, now)) {
      QWidget* value;
      if (row.isStatus) {
        auto* conf = Ui::text(QString::fromStdString(row.value), 10.5, t.textSecondary);
        conf->setToolTip(QString::fromStdString(CL::confidenceHelp(forecast->confidence)));
        value = Ui::hbox({Ui::pill(QString::fromUtf8(label(forecast->status).data()), t.statusColor(forecast->status)), conf});
      } else {
        value = Ui::text(QString::fromStdString(row.value), 11, Ui::toneColour(static_cast<int>(row.tone), t),
                         row.tone == CL::Tone::primary ? QFont::DemiBold : QFont::Normal);
      }
      layout->addWidget(Ui::hbox({Ui::text(QString::fromStdString(row.label), 11, t.textSecondary), Ui::spacer(), value}));
    }
  }

  RangeChartView* c = chart(QStringLiteral("range"));
  c->setData(state.series(provider, window), forecast ? std::optional(chartForecast(*forecast)) : std::nullopt, isLong);
  layout->addSpacing(4);
  layout->addWidget(c);

  layout->addWidget(basisControl());
  layout->addWidget(Ui::text(QString::fromUtf8(helpText(s.forecastBasis).data()), 9.5, t.textTertiary, QFont::Normal, true));

  if (provider == Provider::claude && ctx_.pooled())
    layout->addWidget(Ui::text(QStringLiteral("Team/Enterprise plan: this forecasts your individual Code allowance, not "
                                              "the shared pool. Anthropic doesn't expose pooled usage to the app."),
                               9.5, t.textTertiary, QFont::Normal, true));
  return true;
}

}  // namespace qd
