#include "popover/popover_view.h"

#include <QGraphicsOpacityEffect>
#include <QPropertyAnimation>
#include <QScrollArea>
#include <QTimer>

#include "cards/daily_usage_view.h"
#include "cards/forecast_card.h"
#include "cards/provider_summary_card.h"
#include "cards/scenario_card.h"
#include "desktop/symbol_icons.h"
#include "settings/settings_view.h"
#include "utilities/time_formatting.h"

namespace qd {

namespace {
void clearLayout(QLayout* layout) {
  while (QLayoutItem* item = layout->takeAt(0)) {
    if (QWidget* w = item->widget()) {
      w->hide();
      w->deleteLater();
    } else if (QLayout* l = item->layout()) {
      clearLayout(l);
    }
    delete item;
  }
}
}  // namespace

PopoverView::PopoverView(UiContext& ctx, int height, QWidget* parent) : QWidget(parent), ctx_(ctx) {
  setObjectName(QStringLiteral("popoverRoot"));
  setAttribute(Qt::WA_StyledBackground, true);
  setFixedSize(Theme::popoverWidth, height > 0 ? height : static_cast<int>(Theme::popoverHeight()));
  showSettings_ = ctx_.startSettings;
  const Theme t = Theme::current();
  setStyleSheet(Ui::styleSheet(t));

  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  stack_ = new QStackedWidget;
  root->addWidget(stack_);

  welcome_ = new QWidget;
  new QVBoxLayout(welcome_);
  stack_->addWidget(welcome_);

  // Main screen: header, divider, scrolling cards (or the empty state), footer.
  main_ = new QWidget;
  auto* mainLayout = new QVBoxLayout(main_);
  mainLayout->setContentsMargins(0, 0, 0, 0);
  mainLayout->setSpacing(0);
  mainLayout->addWidget(header());
  mainLayout->addWidget(Ui::divider());
  auto* scroll = new QScrollArea;
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  cardsHost_ = new QWidget;
  cardsLayout_ = new QVBoxLayout(cardsHost_);
  cardsLayout_->setContentsMargins(12, 12, 12, 12);
  cardsLayout_->setSpacing(10);
  for (Provider p : allCases<Provider>()) cards_.push_back(new ProviderSummaryCard(ctx_, p));
  cards_.push_back(new ForecastCard(ctx_));
  cards_.push_back(new ScenarioCard(ctx_));
  cards_.push_back(new RecommendationView(ctx_));
  cards_.push_back(new ExtraUsageView(ctx_));
  cards_.push_back(new TrendsView(ctx_));
  cards_.push_back(new DailyUsageView(ctx_));
  for (Card* c : cards_) cardsLayout_->addWidget(c);
  emptyHost_ = new QWidget;
  new QVBoxLayout(emptyHost_);
  cardsLayout_->addWidget(emptyHost_);
  cardsLayout_->addStretch(1);
  scroll->setWidget(cardsHost_);
  mainLayout->addWidget(scroll, 1);
  mainLayout->addWidget(Ui::divider());
  footerHost_ = new QWidget;
  new QHBoxLayout(footerHost_);
  mainLayout->addWidget(footerHost_);
  stack_->addWidget(main_);

  settings_ = new SettingsView(ctx_, [this] { setShowSettings(false); });
  stack_->addWidget(settings_);

  std::weak_ptr<AppState> weak = ctx_.state;
  QPointer<PopoverView> self(this);
  subscription_ = ctx_.state->subscribe([self](unsigned) {
    if (self) self->scheduleRebuild();
  });
  rebuild();
}

PopoverView::~PopoverView() = default;

void PopoverView::setShowSettings(bool show) {
  if (showSettings_ == show) return;
  showSettings_ = show;
  rebuild();
}

void PopoverView::scheduleRebuild() {
  if (rebuildPending_) return;
  rebuildPending_ = true;
  QPointer<PopoverView> self(this);
  QTimer::singleShot(0, this, [self] {
    if (!self) return;
    self->rebuildPending_ = false;
    self->rebuild();
  });
}

void PopoverView::rebuild() {
  const AppSettings& s = ctx_.state->settings();
  Screen next = !s.hasOnboarded ? Screen::welcome : showSettings_ ? Screen::settings : Screen::main;
  const bool fade = (screen_ == Screen::welcome) != (next == Screen::welcome) && isVisible();
  const bool changed = screen_ != next;
  screen_ = next;
  switch (screen_) {
    case Screen::welcome:
      buildWelcome();
      stack_->setCurrentWidget(welcome_);
      break;
    case Screen::settings:
      settings_->rebuild();
      stack_->setCurrentWidget(settings_);
      break;
    case Screen::main:
      buildMain();
      stack_->setCurrentWidget(main_);
      break;
  }
  if (fade) {
    // The welcome finishing (or coming back) cross-fades over 0.2 s.
    auto* effect = new QGraphicsOpacityEffect(stack_->currentWidget());
    stack_->currentWidget()->setGraphicsEffect(effect);
    auto* anim = new QPropertyAnimation(effect, "opacity", effect);
    anim->setDuration(200);
    anim->setStartValue(0.0);
    anim->setEndValue(1.0);
    anim->setEasingCurve(QEasingCurve::InOutQuad);
    QObject::connect(anim, &QPropertyAnimation::finished, effect, [w = stack_->currentWidget()] { w->setGraphicsEffect(nullptr); });
    anim->start(QAbstractAnimation::DeleteWhenStopped);
  }
  if (changed) emit screenChanged();
}

QString PopoverView::title() const {
  return screen_ == Screen::settings ? QStringLiteral("Quotadial \u2014 Settings") : QStringLiteral("Quotadial");
}

void PopoverView::settleAnimations() {
  for (auto* bar : findChildren<UsageBar*>()) bar->settle();
  for (auto* chart : findChildren<RangeChartView*>()) chart->finishReveal();
}

QWidget* PopoverView::header() {
  const Theme t = Theme::current();
  auto* w = new QWidget;
  auto* h = new QHBoxLayout(w);
  h->setContentsMargins(14, 12, 10, 10);
  h->setSpacing(8);
  auto* badge = new QLabel;
  badge->setFixedSize(30, 30);
  badge->setAlignment(Qt::AlignCenter);
  badge->setPixmap(SymbolIcons::drawn(QStringLiteral("chart.line.uptrend.xyaxis"), t.accent, 18, 2.0));
  QColor bg = t.accent;
  bg.setAlphaF(0.16);
  badge->setStyleSheet(QStringLiteral("background: %1; border-radius: 8px;").arg(cssColor(bg)));
  h->addWidget(badge);
  auto* titles = new QWidget;
  auto* v = new QVBoxLayout(titles);
  v->setContentsMargins(0, 0, 0, 0);
  v->setSpacing(0);
  v->addWidget(Ui::text(QStringLiteral("Quotadial"), 14, t.textPrimary, QFont::Bold));
  v->addWidget(Ui::text(QStringLiteral("AI coding range meter"), 10, t.textSecondary));
  h->addWidget(titles);
  h->addStretch(1);
  std::weak_ptr<AppState> weak = ctx_.state;
  h->addWidget(Ui::iconButton(QStringLiteral("arrow.clockwise"), QStringLiteral("Refresh"), [weak] {
    if (auto s = weak.lock()) s->refresh();
  }));
  QPointer<PopoverView> self(this);
  h->addWidget(Ui::iconButton(QStringLiteral("slider.horizontal.3"), QStringLiteral("Settings"), [self] {
    if (self) self->setShowSettings(true);
  }));
  return w;
}

QWidget* PopoverView::footer() {
  const Theme t = Theme::current();
  auto* w = new QWidget;
  auto* h = new QHBoxLayout(w);
  h->setContentsMargins(14, 8, 12, 10);
  h->setSpacing(10);
  if (ctx_.state->settings().demoMode && !ctx_.capture) {
    QColor c = t.accent;
    auto* badge = Ui::symbolText(QStringLiteral("wand.and.stars"), c, QStringLiteral("Demo data"), c, 10);
    badge->setObjectName(QStringLiteral("demoBadge"));
    h->addWidget(badge);
  }
  if (const auto& last = ctx_.state->lastRefresh())
    h->addWidget(Ui::text(QStringLiteral("Updated ") + QString::fromStdString(TimeFormatting::clock(*last)), 10,
                          t.textTertiary));
  h->addStretch(1);
  // No update service on Linux (packages update through the distribution): no "Check for updates".
  auto quit = ctx_.quit;
  h->addWidget(Ui::button(QStringLiteral("Quit"), [quit] {
    if (quit) quit();
  }, false, true));
  return w;
}

QWidget* PopoverView::emptyState() {
  const Theme t = Theme::current();
  auto* w = new QWidget;
  auto* v = new QVBoxLayout(w);
  // No alignment on the layout itself: an aligned item gets its size hint, not
  // the width its wrapped text was measured for, and the last line is cut off.
  v->setContentsMargins(16, 40, 16, 16);
  v->setSpacing(10);
  auto* icon = Ui::symbol(QStringLiteral("gauge.with.dots.needle.0percent"), t.textTertiary, 44);
  v->addWidget(icon, 0, Qt::AlignHCenter);
  const bool codex = ctx_.codexOnPath && ctx_.codexOnPath();
  auto* title = Ui::text(codex ? QStringLiteral("Connecting to Codex…") : QStringLiteral("Nothing connected yet"), 14,
                         t.textPrimary, QFont::Bold);
  title->setAlignment(Qt::AlignHCenter);
  v->addWidget(title);
  auto* body = Ui::text(codex ? QStringLiteral("Codex usage should appear in a few seconds. Connect Claude to add its quota too.")
                              : QStringLiteral("Install the Codex CLI for live usage, or connect Claude below."),
                        11, t.textSecondary, QFont::Normal, true);
  body->setAlignment(Qt::AlignHCenter);
  v->addWidget(body);
  std::weak_ptr<AppState> weak = ctx_.state;
  QPointer<PopoverView> self(this);
  auto* buttons = Ui::hbox({Ui::button(QStringLiteral("Connect Claude"),
                                       [weak, self] {
                                         auto s = weak.lock();
                                         if (!s || !self) return;
                                         self->emptyMessage_ = QString::fromStdString(s->installClaudeBridge());
                                         self->rebuild();
                                       },
                                       true),
                            Ui::button(QStringLiteral("Demo mode"),
                                       [weak] {
                                         auto s = weak.lock();
                                         if (!s) return;
                                         s->updateSettings([](AppSettings& a) { a.demoMode = true; });
                                         s->startProviders();
                                         s->refresh();
                                       })},
                           8);
  v->addWidget(buttons, 0, Qt::AlignHCenter);
  if (!emptyMessage_.isEmpty()) {
    auto* msg = Ui::text(emptyMessage_, 10, t.textSecondary, QFont::Normal, true);
    msg->setAlignment(Qt::AlignHCenter);
    v->addWidget(msg);
  }
  return w;
}

void PopoverView::buildMain() {
  const bool empty = ctx_.state->workingSnapshots().empty();
  for (Card* c : cards_) {
    if (empty) c->hide();
    else c->refresh();
  }
  clearLayout(emptyHost_->layout());
  if (empty) emptyHost_->layout()->addWidget(emptyState());
  emptyHost_->setVisible(empty);
  clearLayout(footerHost_->layout());
  footerHost_->layout()->setContentsMargins(0, 0, 0, 0);
  footerHost_->layout()->addWidget(footer());
}

void PopoverView::buildWelcome() {
  const Theme t = Theme::current();
  auto* layout = static_cast<QVBoxLayout*>(welcome_->layout());
  clearLayout(layout);
  layout->setContentsMargins(28, 56, 28, 28);
  layout->setSpacing(14);
  auto* badge = Ui::symbol(QStringLiteral("chart.line.uptrend.xyaxis"), t.accent, 40);
  layout->addWidget(badge, 0, Qt::AlignHCenter);
  auto* title = Ui::text(QStringLiteral("Welcome to Quotadial"), 18, t.textPrimary, QFont::Bold);
  title->setAlignment(Qt::AlignHCenter);
  layout->addWidget(title);
  auto* intro = Ui::text(QStringLiteral("A range meter for your AI coding usage: it connects to your real usage, with no "
                                        "demo data and no accounts to set up."),
                         11.5, t.textSecondary, QFont::Normal, true);
  intro->setAlignment(Qt::AlignHCenter);
  layout->addWidget(intro);
  layout->addSpacing(6);
  layout->addWidget(Ui::symbolText(QStringLiteral("checkmark.circle.fill"), t.safe,
                                   QStringLiteral("Codex connects automatically."), t.textPrimary, 11, true));
  layout->addWidget(Ui::symbolText(QStringLiteral("link"), t.accent,
                                   QStringLiteral("Claude needs a one-tap bridge to read its quota (it edits "
                                                  "~/.claude/settings.json, safely backed up)."),
                                   t.textPrimary, 11, true));
  layout->addSpacing(8);
  std::weak_ptr<AppState> weak = ctx_.state;
  QPointer<PopoverView> self(this);
  layout->addWidget(Ui::hbox({Ui::button(QStringLiteral("Connect Claude"),
                                         [weak, self] {
                                           auto s = weak.lock();
                                           if (!s || !self) return;
                                           self->welcomeMessage_ = QString::fromStdString(s->installClaudeBridge());
                                           self->rebuild();
                                         }),
                              Ui::button(QStringLiteral("Done"),
                                         [weak] {
                                           if (auto s = weak.lock())
                                             s->updateSettings([](AppSettings& a) { a.hasOnboarded = true; });
                                         },
                                         true)},
                             8),
                    0, Qt::AlignHCenter);
  if (!welcomeMessage_.isEmpty()) {
    auto* msg = Ui::text(welcomeMessage_, 10, t.textSecondary, QFont::Normal, true);
    msg->setAlignment(Qt::AlignHCenter);
    layout->addWidget(msg);
  }
  layout->addStretch(1);
}

}  // namespace qd
