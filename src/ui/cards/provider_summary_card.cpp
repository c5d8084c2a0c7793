#include "cards/provider_summary_card.h"

#include "cards/card_logic.h"

namespace qd {

namespace CL = CardLogic;

ProviderSummaryCard::ProviderSummaryCard(UiContext& ctx, Provider provider, QWidget* parent)
    : Card(ctx, parent), provider_(provider) {}

std::optional<ForecastResult> ProviderSummaryCard::longForecast() const {
  if (auto f = ctx_.state->forecast(provider_, WindowKind::sevenDay)) return f;
  return ctx_.state->forecast(provider_, WindowKind::weekly);
}

std::optional<ForecastResult> ProviderSummaryCard::sonnetForecast() const {
  if (provider_ != Provider::claude) return std::nullopt;
  if (!ctx_.state->forecast(provider_, WindowKind::sevenDay)) return std::nullopt;
  return ctx_.state->forecast(provider_, WindowKind::weekly);
}

std::optional<ForecastStatus> ProviderSummaryCard::cardStatus() const {
  std::vector<ForecastStatus> statuses;
  for (const auto& f : {ctx_.state->forecast(provider_, WindowKind::fiveHour), longForecast(), sonnetForecast()})
    if (f) statuses.push_back(f->status);
  if (statuses.empty()) return std::nullopt;
  return worstStatus(statuses);
}

QStringList ProviderSummaryCard::metaChips() const {
  QStringList chips;
  if (provider_ == Provider::claude) {
    const auto& c = ctx_.state->claudeCurrent();
    if (!c) return chips;
    if (c->modelDisplayName) chips << QString::fromStdString(*c->modelDisplayName);
    else if (c->modelId) chips << QString::fromStdString(*c->modelId);
    if (c->effortLevel) chips << QStringLiteral("effort: ") + QString::fromStdString(*c->effortLevel);
    if (c->thinkingEnabled.value_or(false)) chips << QStringLiteral("thinking");
    return chips;
  }
  const UsageSnapshot* meta = nullptr;
  for (const auto& s : ctx_.state->workingSnapshots()) {
    if (s.provider != provider_) continue;
    const bool carries = s.modelDisplayName || s.modelId || s.effortLevel || s.thinkingEnabled.value_or(false) ||
                         s.speedMode;
    if (carries && (!meta || s.timestamp > meta->timestamp)) meta = &s;
  }
  if (!meta) return chips;
  if (meta->modelDisplayName) chips << QString::fromStdString(*meta->modelDisplayName);
  else if (meta->modelId) chips << QString::fromStdString(*meta->modelId);
  if (meta->effortLevel) chips << QStringLiteral("effort: ") + QString::fromStdString(*meta->effortLevel);
  if (meta->speedMode && *meta->speedMode != "standard") chips << QStringLiteral("fast");
  if (meta->thinkingEnabled.value_or(false)) chips << QStringLiteral("thinking");
  return chips;
}

void ProviderSummaryCard::usageRow(QVBoxLayout* layout, const ForecastResult& f, const QString& label,
                                   const QString& key) {
  const Theme t = Theme::current();
  const bool remaining = ctx_.state->settings().showRemaining;
  const Timestamp now = ctx_.now();
  layout->addWidget(Ui::hbox({Ui::text(label, 11, t.textSecondary, QFont::Medium), Ui::spacer(),
                              Ui::text(QString::fromStdString(CL::usageValue(f.currentUsedPercent, remaining)), 12,
                                       t.textPrimary, QFont::DemiBold)}));
  std::optional<double> projected;
  if (f.projectedUsedAtReset) {
    projected = CL::shownPercent(*f.projectedUsedAtReset, remaining);
    if (remaining) projected = std::max(0.0, *projected);
  }
  UsageBar* b = bar(key);
  b->setValues(std::max(0.0, CL::shownPercent(f.currentUsedPercent, remaining)), projected, std::nullopt,
               t.statusColor(f.status));
  layout->addWidget(b);
  if (auto reset = CL::resetLine(f, now)) {
    auto* w = Ui::symbolText(QStringLiteral("clock"), t.textTertiary, QString::fromStdString(reset->text),
                             t.textTertiary, 10);
    if (!reset->help.empty()) w->setToolTip(QString::fromStdString(reset->help));
    layout->addWidget(w);
  }
}

void ProviderSummaryCard::outlook(QVBoxLayout* layout, const std::optional<CL::Outlook>& o) {
  if (!o) return;
  const Theme t = Theme::current();
  QString line = QString::fromStdString(o->lead);
  if (!o->tail.empty()) line += QStringLiteral(" ") + QString::fromStdString(o->tail);
  auto* row = new QWidget;
  auto* h = new QHBoxLayout(row);
  h->setContentsMargins(0, 0, 0, 0);
  h->setSpacing(5);
  h->addWidget(Ui::symbol(QString::fromStdString(o->symbol), t.statusColor(o->status), 12), 0, Qt::AlignTop);
  QString full = line;
  if (o->spiking) full += QStringLiteral(" ↗ · usage up, recent pace");
  if (o->runOut) full += QStringLiteral(" ") + QString::fromStdString(*o->runOut);
  h->addWidget(Ui::text(full, 10, t.textSecondary, QFont::Normal, true), 1);
  layout->addWidget(row);
}

bool ProviderSummaryCard::build(QVBoxLayout* layout) {
  const Theme t = Theme::current();
  AppState& state = *ctx_.state;
  if (!state.settings().enabledProviders.count(provider_)) return false;
  const bool remaining = state.settings().showRemaining;
  const Timestamp now = ctx_.now();

  // Header.
  auto* header = new QWidget;
  auto* hh = new QHBoxLayout(header);
  hh->setContentsMargins(0, 0, 0, 0);
  hh->setSpacing(6);
  hh->addWidget(Ui::text(QString::fromUtf8(displayName(provider_).data()), 13.5, t.textPrimary, QFont::Bold));
  if (provider_ == Provider::claude && ctx_.pooled()) hh->addWidget(Ui::pill(QStringLiteral("Team"), t.accent));
  hh->addStretch(1);
  if (auto status = cardStatus()) hh->addWidget(Ui::pill(QString::fromUtf8(label(*status).data()), t.statusColor(*status)));
  layout->addWidget(header);

  // Freshness.
  if (auto fresh = state.freshnessLabel(provider_)) {
    const bool live = *fresh == "live";
    auto* row = new QWidget;
    auto* h = new QHBoxLayout(row);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(5);
    auto* dot = new QLabel;
    dot->setFixedSize(6, 6);
    dot->setStyleSheet(QStringLiteral("background: %1; border-radius: 3px;").arg(cssColor(live ? t.safe : t.textTertiary)));
    h->addWidget(dot);
    const QString source = provider_ == Provider::claude ? QStringLiteral("account") : QStringLiteral("app-server");
    h->addWidget(Ui::text(QString::fromStdString(*fresh) + QStringLiteral(" · ") + source, 10, t.textTertiary));
    h->addStretch(1);
    row->setToolTip(provider_ == Provider::codex
                        ? QStringLiteral("Live from the Codex app-server.")
                        : QStringLiteral("Quota syncs from your Claude account (and the terminal status line); usage "
                                         "and cost track continuously from transcripts."));
    layout->addWidget(row);
  }

  const auto five = state.forecast(provider_, WindowKind::fiveHour);
  if (!five && !longForecast()) {
    if (provider_ == Provider::claude && state.claudeUsesApiKey()) {
      // An API-key login has no quota to show: say so, and show what the transcripts cost.
      layout->addWidget(Ui::text(QStringLiteral("Signed in with an API key: API usage has no plan limits."), 10.5,
                                 t.textSecondary, QFont::Normal, true));
      layout->addWidget(Ui::hbox({Ui::text(QStringLiteral("Spend, last 7 days"), 11, t.textSecondary, QFont::Medium),
                                  Ui::spacer(),
                                  Ui::text(QString::fromStdString(state.spendThisWeek(provider_)), 12, t.textPrimary,
                                           QFont::DemiBold)}));
      layout->addWidget(Ui::text(QStringLiteral("Estimated at list prices from Claude Code's transcripts."), 9.5,
                                 t.textTertiary, QFont::Normal, true));
    } else {
      // Enabled but nothing read yet: say what brings the figures.
      layout->addWidget(Ui::text(
          provider_ == Provider::claude
              ? QStringLiteral("No quota yet. Install the status-line bridge (Settings → Claude bridge), then use "
                               "Claude Code once; its quota shows here after its next reply.")
              : QStringLiteral("No quota yet. Codex reports its limits once the Codex CLI is installed and signed in; "
                               "they show here within a minute."),
          10, t.textSecondary, QFont::Normal, true));
    }
  }
  if (five) {
    const auto snap = state.latestSnapshot(provider_, WindowKind::fiveHour);
    usageRow(layout, *five, snap ? QString::fromStdString(snap->windowLabel()) : QStringLiteral("5h"), "five");
    outlook(layout, CL::fiveHourOutlook(*five, remaining, now));
  }

  if (auto lng = longForecast()) {
    auto snap = state.latestSnapshot(provider_, WindowKind::sevenDay);
    if (!snap) snap = state.latestSnapshot(provider_, WindowKind::weekly);
    const QString label = snap ? QString::fromStdString(snap->windowLabel())
                               : QString::fromUtf8(shortLabel(lng->windowKind).data());
    usageRow(layout, *lng, label, "long");
    const auto cal = state.calibrated().find(provider_);
    const bool spiking = cal != state.calibrated().end() && cal->second.spiking;
    outlook(layout, CL::longWindowOutlook(*lng, remaining, state.settings().forecastBasis, spiking, now));
    if (auto headroom = state.headroomLabel(provider_))
      layout->addWidget(Ui::symbolText(QStringLiteral("gauge.with.dots.needle.33percent"), t.textTertiary,
                                       QString::fromStdString(*headroom), t.textTertiary, 10));
  }

  if (auto sonnet = sonnetForecast()) usageRow(layout, *sonnet, QStringLiteral("Sonnet"), "sonnet");

  const QStringList chips = metaChips();
  if (!chips.isEmpty()) {
    auto* row = new QWidget;
    auto* h = new QHBoxLayout(row);
    h->setContentsMargins(0, 2, 0, 0);
    h->setSpacing(5);
    for (const QString& chip : chips) h->addWidget(Ui::pill(chip, t.textSecondary));
    h->addStretch(1);
    layout->addWidget(row);
  }

  if (provider_ == Provider::claude && ctx_.pooled())
    layout->addWidget(Ui::text(QStringLiteral("Your Claude Code allocation. On a team/enterprise plan this differs from "
                                              "the shared pool in your account's usage page."),
                               9.5, t.textTertiary, QFont::Normal, true));
  return true;
}

}  // namespace qd
