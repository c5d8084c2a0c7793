#include "settings/settings_view.h"

#include <QCheckBox>
#include <QComboBox>
#include <QMenu>
#include <QPointer>
#include <QScrollArea>
#include <QTimer>

#include "app/menu_bar_title_builder.h"
#include "desktop/symbol_icons.h"
#include "settings/settings_logic.h"
#include "storage/snapshot_store.h"
#include "utilities/time_formatting.h"

namespace qd {

namespace SL = SettingsLogic;

namespace {

QColor pillColour(SL::Pill::Role role, const Theme& t) {
  switch (role) {
    case SL::Pill::Role::safe: return t.safe;
    case SL::Pill::Role::watch: return t.watch;
    case SL::Pill::Role::limited: return t.limited;
    case SL::Pill::Role::neutral: break;
  }
  return t.neutral;
}

QLabel* help(const QString& s) { return Ui::text(s, 9.5, Theme::current().textTertiary, QFont::Normal, true); }

QWidget* pickerRow(const QString& label, QComboBox* combo) {
  combo->setFont(Theme::font(10.5));
  combo->setAccessibleName(label);
  return Ui::hbox({Ui::text(label, 11, Theme::current().textPrimary), Ui::spacer(), combo});
}

}  // namespace

Stepper::Stepper(double value, double lo, double hi, double step, std::function<void(double)> onChange, QWidget* parent)
    : QWidget(parent), value_(value), lo_(lo), hi_(hi), step_(step), onChange_(std::move(onChange)) {
  auto* h = new QHBoxLayout(this);
  h->setContentsMargins(0, 0, 0, 0);
  h->setSpacing(2);
  for (int dir : {-1, 1}) {
    auto* b = new QToolButton;
    b->setText(dir < 0 ? QStringLiteral("−") : QStringLiteral("+"));
    b->setObjectName(dir < 0 ? QStringLiteral("decrement") : QStringLiteral("increment"));
    b->setProperty("iconButton", true);
    b->setFixedSize(24, 22);
    b->setFont(Theme::font(12, QFont::DemiBold));
    b->setAutoRepeat(true);
    connect(b, &QToolButton::clicked, this, [this, dir] { stepBy(dir); });
    h->addWidget(b);
  }
  setAttribute(Qt::WA_StyledBackground, true);
  setObjectName(QStringLiteral("segments"));
}

void Stepper::stepBy(int steps) {
  const double next = SL::stepped(value_, steps, step_, lo_, hi_);
  if (next == value_) return;
  value_ = next;
  if (onChange_) onChange_(value_);
}

SettingsView::SettingsView(UiContext& ctx, std::function<void()> onBack, QWidget* parent)
    : QWidget(parent), ctx_(ctx), onBack_(std::move(onBack)) {
  const Theme t = Theme::current();
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(0);
  auto* header = new QWidget;
  auto* hh = new QHBoxLayout(header);
  hh->setContentsMargins(8, 10, 14, 10);
  hh->setSpacing(6);
  auto back = onBack_;
  hh->addWidget(Ui::iconButton(QStringLiteral("chevron.left"), QStringLiteral("Back"), [back] {
    if (back) back();
  }));
  hh->addWidget(Ui::text(QStringLiteral("Settings"), 14, t.textPrimary, QFont::Bold));
  hh->addStretch(1);
  root->addWidget(header);
  root->addWidget(Ui::divider());
  auto* scroll = new QScrollArea;
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  body_ = new QWidget;
  bodyLayout_ = new QVBoxLayout(body_);
  bodyLayout_->setContentsMargins(12, 12, 12, 12);
  bodyLayout_->setSpacing(10);
  scroll->setWidget(body_);
  root->addWidget(scroll, 1);
}

void SettingsView::scheduleRebuild() {
  if (rebuildPending_) return;
  rebuildPending_ = true;
  QPointer<SettingsView> self(this);
  QTimer::singleShot(0, this, [self] {
    if (!self) return;
    self->rebuildPending_ = false;
    self->rebuild();
  });
}

void SettingsView::rebuild() {
  while (QLayoutItem* item = bodyLayout_->takeAt(0)) {
    if (QWidget* w = item->widget()) {
      w->hide();
      w->deleteLater();
    }
    delete item;
  }
  bodyLayout_->addWidget(section(QStringLiteral("Providers"), [this](QVBoxLayout* l) { providers(l); }));
  bodyLayout_->addWidget(section(QStringLiteral("Forecast"), [this](QVBoxLayout* l) { forecast(l); }));
  bodyLayout_->addWidget(section(QStringLiteral("Menu bar"), [this](QVBoxLayout* l) { menuBar(l); }));
  bodyLayout_->addWidget(section(QStringLiteral("Notifications"), [this](QVBoxLayout* l) { notifications(l); }));
  bodyLayout_->addWidget(section(QStringLiteral("Claude bridge"), [this](QVBoxLayout* l) { bridge(l); }));
  bodyLayout_->addWidget(section(QStringLiteral("Codex"), [this](QVBoxLayout* l) { codex(l); }));
  bodyLayout_->addWidget(section(QStringLiteral("More providers"), [this](QVBoxLayout* l) { moreProviders(l); }));
  bodyLayout_->addWidget(section(QStringLiteral("Data"), [this](QVBoxLayout* l) { data(l); }));
  bodyLayout_->addWidget(section(QStringLiteral("Diagnostics"), [this](QVBoxLayout* l) { diagnostics(l); }));
  bodyLayout_->addStretch(1);
}

QWidget* SettingsView::section(const QString& title, const std::function<void(QVBoxLayout*)>& rows) {
  const Theme t = Theme::current();
  auto* w = new QWidget;
  w->setProperty("section", title);
  auto* v = new QVBoxLayout(w);
  v->setContentsMargins(0, 0, 0, 0);
  v->setSpacing(5);
  v->addWidget(Ui::text(title.toUpper(), 9.5, t.textTertiary, QFont::DemiBold));
  auto* card = new QFrame;
  card->setObjectName(QStringLiteral("card"));
  card->setAttribute(Qt::WA_StyledBackground, true);
  auto* inner = new QVBoxLayout(card);
  inner->setContentsMargins(12, 10, 12, 10);
  inner->setSpacing(8);
  rows(inner);
  v->addWidget(card);
  return w;
}

void SettingsView::providers(QVBoxLayout* l) {
  std::weak_ptr<AppState> weak = ctx_.state;
  for (Provider p : allCases<Provider>()) {
    const bool on = ctx_.state->settings().enabledProviders.count(p) > 0;
    l->addWidget(Ui::toggleRow(QString::fromUtf8(displayName(p).data()), on, [weak, p](bool v) {
      if (auto s = weak.lock()) s->toggleProvider(p, v);
    }));
  }
}

void SettingsView::forecast(QVBoxLayout* l) {
  auto* combo = new QComboBox;
  for (ForecastBasis b : allCases<ForecastBasis>()) combo->addItem(QString::fromUtf8(label(b).data()), static_cast<int>(b));
  combo->setCurrentIndex(static_cast<int>(ctx_.state->settings().forecastBasis));
  std::weak_ptr<AppState> weak = ctx_.state;
  connect(combo, &QComboBox::activated, combo, [weak](int index) {
    if (auto s = weak.lock()) s->setBasis(allCases<ForecastBasis>()[static_cast<size_t>(index)]);
  });
  l->addWidget(pickerRow(QStringLiteral("Default basis"), combo));
}

void SettingsView::menuBar(QVBoxLayout* l) {
  const Theme t = Theme::current();
  AppState& state = *ctx_.state;
  const AppSettings& s = state.settings();
  std::weak_ptr<AppState> weak = ctx_.state;

  auto* mode = new QComboBox;
  for (MenuBarDisplayMode m : allCases<MenuBarDisplayMode>()) mode->addItem(QString::fromUtf8(label(m).data()));
  mode->setCurrentIndex(static_cast<int>(s.menuBarDisplayMode));
  connect(mode, &QComboBox::activated, mode, [weak](int index) {
    if (auto st = weak.lock())
      st->updateSettings([index](AppSettings& a) {
        a.menuBarDisplayMode = allCases<MenuBarDisplayMode>()[static_cast<size_t>(index)];
      });
  });
  l->addWidget(pickerRow(QStringLiteral("Display mode"), mode));
  l->addWidget(help(QString::fromUtf8(helpText(s.menuBarDisplayMode).data())));

  const ForecastStatus global = state.globalStatus();
  const QString title = QString::fromStdString(MenuBarTitleBuilder::title(state));
  auto* preview = new QWidget;
  auto* ph = new QHBoxLayout(preview);
  ph->setContentsMargins(0, 0, 0, 0);
  ph->setSpacing(6);
  ph->addWidget(Ui::text(QStringLiteral("Preview"), 11, t.textPrimary));
  ph->addStretch(1);
  ph->addWidget(Ui::symbol(global == ForecastStatus::limited ? QStringLiteral("exclamationmark.triangle.fill")
                                                             : QStringLiteral("chart.line.uptrend.xyaxis"),
                           t.statusColor(global), 14));
  if (!title.isEmpty()) {
    auto* label = Ui::text(title, 12, t.textPrimary, QFont::Medium);
    label->setFont(Theme::monoDigitsFont(12));
    label->setObjectName(QStringLiteral("menuBarPreview"));
    ph->addWidget(label);
  }
  l->addWidget(preview);

  if (s.menuBarDisplayMode == MenuBarDisplayMode::providerFocus) {
    auto* combo = new QComboBox;
    const auto providers = state.sortedEnabledProviders();
    for (Provider p : providers) {
      combo->addItem(QString::fromUtf8(displayName(p).data()), static_cast<int>(p));
      if (p == s.focusedProvider) combo->setCurrentIndex(combo->count() - 1);
    }
    connect(combo, &QComboBox::activated, combo, [weak, providers](int index) {
      if (auto st = weak.lock())
        st->updateSettings([&](AppSettings& a) { a.focusedProvider = providers[static_cast<size_t>(index)]; });
    });
    l->addWidget(pickerRow(QStringLiteral("Show provider"), combo));
  }
  l->addWidget(help(QString::fromUtf8(kMenuBarDisplayModeCaption.data())));

  l->addWidget(Ui::toggleRow(QStringLiteral("Show remaining (reserve)"), s.showRemaining, [weak](bool v) {
    if (auto st = weak.lock()) st->updateSettings([v](AppSettings& a) { a.showRemaining = v; });
  }));
  l->addWidget(help(QStringLiteral("On: shows what's left (e.g. 98%), like Codex. Off: shows used.")));
  l->addWidget(Ui::toggleRow(QStringLiteral("Show spend in £ (GBP)"), s.currencyGBP, [weak](bool v) {
    if (auto st = weak.lock()) st->updateSettings([v](AppSettings& a) { a.currencyGBP = v; });
  }));
  l->addWidget(help(QStringLiteral("Estimated spend uses approximate token prices; off shows $ (USD).")));

  auto* budgetLabel = Ui::text(QString::fromStdString(SL::overageBudgetLabel(s.extraUsageBudgetGBP)), 11, t.textPrimary);
  budgetLabel->setObjectName(QStringLiteral("overageBudget"));
  auto* stepper = new Stepper(s.extraUsageBudgetGBP, SettingLimits::extraUsageBudgetGBP.lo, SettingLimits::extraUsageBudgetGBP.hi, 5, [weak, budgetLabel](double v) {
    budgetLabel->setText(QString::fromStdString(SL::overageBudgetLabel(v)));
    if (auto st = weak.lock()) st->updateSettings([v](AppSettings& a) { a.extraUsageBudgetGBP = v; });
  });
  stepper->setObjectName(QStringLiteral("overageStepper"));
  l->addWidget(Ui::hbox({budgetLabel, Ui::spacer(), stepper}));
  l->addWidget(help(QStringLiteral("Warns when Claude pre-paid overage (real money beyond your plan) crosses this.")));

  // The login item's real state, whatever the stored setting says.
  DesktopServices* desktop = ctx_.desktop;
  const bool loginOn = desktop && desktop->loginItemEnabled();
  QPointer<SettingsView> self(this);
  l->addWidget(Ui::toggleRow(QStringLiteral("Start at login"), loginOn, [weak, desktop, self](bool v) {
    const bool real = desktop ? desktop->setLoginItemEnabled(v) : false;
    if (auto st = weak.lock()) st->updateSettings([real](AppSettings& a) { a.startAtLogin = real; });
    if (self) self->scheduleRebuild();  // a refused change flips the switch back
  }));
}

QWidget* SettingsView::thresholdRow(const QString& label, double value, double lo, double hi,
                                    std::function<void(NotificationThresholds&, double)> write) {
  const Theme t = Theme::current();
  auto* valueLabel = Ui::text(QString::number(static_cast<long long>(value)), 11, t.textPrimary, QFont::DemiBold);
  std::weak_ptr<AppState> weak = ctx_.state;
  auto* stepper = new Stepper(value, lo, hi, 5, [weak, valueLabel, write](double v) {
    valueLabel->setText(QString::number(static_cast<long long>(v)));
    if (auto st = weak.lock()) st->updateSettings([&](AppSettings& a) { write(a.notificationThresholds, v); });
  });
  stepper->setProperty("threshold", label);
  return Ui::hbox({Ui::text(label, 11, t.textPrimary), Ui::spacer(), valueLabel, stepper});
}

void SettingsView::notifications(QVBoxLayout* l) {
  const Theme t = Theme::current();
  const AppSettings& s = ctx_.state->settings();
  std::weak_ptr<AppState> weak = ctx_.state;
  l->addWidget(Ui::toggleRow(QStringLiteral("Enable alerts"), s.notificationsEnabled, [weak](bool v) {
    auto st = weak.lock();
    if (!st) return;
    st->updateSettings([v](AppSettings& a) { a.notificationsEnabled = v; });
    if (v) st->notificationManager().requestAuthorizationIfNeeded();
  }));
  if (!s.notificationsEnabled) return;
  const auto& th = s.notificationThresholds;
  l->addWidget(thresholdRow(QStringLiteral("5h usage above"), th.fiveHourUsageAbove, SettingLimits::fiveHourUsageAbove.lo, SettingLimits::fiveHourUsageAbove.hi,
                            [](NotificationThresholds& n, double v) { n.fiveHourUsageAbove = v; }));
  l->addWidget(thresholdRow(QStringLiteral("5h forecast above"), th.fiveHourForecastAbove, SettingLimits::fiveHourForecastAbove.lo, SettingLimits::fiveHourForecastAbove.hi,
                            [](NotificationThresholds& n, double v) { n.fiveHourForecastAbove = v; }));
  l->addWidget(thresholdRow(QStringLiteral("Time to limit under (min)"), th.timeToLimitUnderMinutes, SettingLimits::timeToLimitUnderMinutes.lo, SettingLimits::timeToLimitUnderMinutes.hi,
                            [](NotificationThresholds& n, double v) { n.timeToLimitUnderMinutes = v; }));

  const Timestamp now = ctx_.now();
  if (s.notificationsSnoozedUntil && *s.notificationsSnoozedUntil > now) {
    l->addWidget(Ui::hbox({Ui::text(QStringLiteral("Snoozed until ") +
                                        QString::fromStdString(TimeFormatting::clock(*s.notificationsSnoozedUntil)),
                                    11, t.textPrimary),
                           Ui::spacer(), Ui::button(QStringLiteral("Resume"), [weak] {
                             if (auto st = weak.lock())
                               st->updateSettings([](AppSettings& a) { a.notificationsSnoozedUntil.reset(); });
                           }, false, true)}));
  } else {
    auto* menuButton = new QToolButton;
    menuButton->setObjectName(QStringLiteral("menuButton"));
    menuButton->setText(QStringLiteral("Snooze"));
    menuButton->setPopupMode(QToolButton::InstantPopup);
    menuButton->setFont(Theme::font(10.5, QFont::Medium));
    auto* menu = new QMenu(menuButton);
    auto snoozeFor = [weak](double seconds) {
      if (auto st = weak.lock()) {
        const Timestamp until = addSeconds(st->clock().now(), seconds);
        st->updateSettings([until](AppSettings& a) { a.notificationsSnoozedUntil = until; });
      }
    };
    connect(menu->addAction(QStringLiteral("For 1 hour")), &QAction::triggered, menu, [snoozeFor] { snoozeFor(3600); });
    connect(menu->addAction(QStringLiteral("For 3 hours")), &QAction::triggered, menu, [snoozeFor] { snoozeFor(10800); });
    connect(menu->addAction(QStringLiteral("Until tomorrow")), &QAction::triggered, menu, [weak] {
      if (auto st = weak.lock()) {
        const auto until = SL::nineTomorrow(st->clock().now());
        st->updateSettings([until](AppSettings& a) { a.notificationsSnoozedUntil = until; });
      }
    });
    menuButton->setMenu(menu);
    l->addWidget(Ui::hbox({Ui::text(QStringLiteral("Snooze alerts"), 11, t.textPrimary), Ui::spacer(), menuButton}));
  }
  auto* caption = Ui::text(QStringLiteral("Alerts are silenced in demo mode."), 9.5, t.textTertiary);
  l->addWidget(caption);
}

void SettingsView::bridge(QVBoxLayout* l) {
  const Theme t = Theme::current();
  const auto pill = SL::bridgePill(ctx_.bridgeStateText ? ctx_.bridgeStateText() : std::string("notInstalled"));
  l->addWidget(Ui::hbox({Ui::text(QStringLiteral("Status line bridge"), 11, t.textPrimary), Ui::spacer(),
                         Ui::pill(QString::fromStdString(pill.text), pillColour(pill.role, t))}));
  std::weak_ptr<AppState> weak = ctx_.state;
  QPointer<SettingsView> self(this);
  auto repair = ctx_.repairBridge;
  auto act = [self](const std::string& message) {
    if (!self) return;
    self->bridgeMessage_ = QString::fromStdString(message);
    self->scheduleRebuild();
  };
  l->addWidget(Ui::hbox({Ui::button(QStringLiteral("Install"), [weak, act] {
                           if (auto st = weak.lock()) act(st->installClaudeBridge());
                         }, false, true),
                         Ui::button(QStringLiteral("Repair"), [repair, act] {
                           if (repair) act(repair());
                         }, false, true),
                         Ui::button(QStringLiteral("Uninstall"), [weak, act] {
                           if (auto st = weak.lock()) act(st->uninstallClaudeBridge());
                         }, false, true)},
                        6, true));
  if (!bridgeMessage_.isEmpty()) {
    auto* msg = Ui::text(bridgeMessage_, 10, t.textSecondary, QFont::Normal, true);
    msg->setObjectName(QStringLiteral("bridgeMessage"));
    l->addWidget(msg);
  }
}

void SettingsView::codex(QVBoxLayout* l) {
  const Theme t = Theme::current();
  const bool found = ctx_.codexOnPath && ctx_.codexOnPath();
  l->addWidget(Ui::hbox({Ui::text(QStringLiteral("Codex CLI"), 11, t.textPrimary), Ui::spacer(),
                         Ui::pill(found ? QStringLiteral("Found in PATH") : QStringLiteral("Not found"),
                                  found ? t.safe : t.neutral)}));
  l->addWidget(help(found ? QStringLiteral("Codex usage appears live when demo mode is off.")
                          : QStringLiteral("Install the Codex CLI to enable live usage.")));
}

void SettingsView::moreProviders(QVBoxLayout* l) {
  const Theme t = Theme::current();
  l->addWidget(help(QStringLiteral("Each provider is read its own way. We're adding more based on demand, tell us which "
                                   "you want.")));
  for (const char* name : {"Gemini CLI", "Cursor", "GitHub Copilot"})
    l->addWidget(Ui::hbox({Ui::symbol(QStringLiteral("plus.circle"), t.textTertiary, 13),
                           Ui::text(QString::fromUtf8(name), 11, t.textPrimary), Ui::spacer(),
                           Ui::text(QStringLiteral("coming soon"), 10, t.textTertiary)}));
}

void SettingsView::data(QVBoxLayout* l) {
  const Theme t = Theme::current();
  const AppSettings& s = ctx_.state->settings();
  std::weak_ptr<AppState> weak = ctx_.state;
  l->addWidget(Ui::toggleRow(QStringLiteral("Demo mode"), s.demoMode, [weak](bool v) {
    auto st = weak.lock();
    if (!st) return;
    st->updateSettings([v](AppSettings& a) { a.demoMode = v; });
    st->startProviders();
    st->refresh();
  }));
  auto* retention = Ui::text(QStringLiteral("Retention: %1 days").arg(s.retentionDays), 11, t.textPrimary);
  retention->setObjectName(QStringLiteral("retention"));
  auto* stepper = new Stepper(s.retentionDays, SettingLimits::retentionDays.lo, SettingLimits::retentionDays.hi, 1, [weak, retention](double v) {
    retention->setText(QStringLiteral("Retention: %1 days").arg(static_cast<long long>(v)));
    if (auto st = weak.lock()) st->updateSettings([v](AppSettings& a) { a.retentionDays = static_cast<int>(v); });
  });
  l->addWidget(Ui::hbox({retention, Ui::spacer(), stepper}));
  l->addWidget(Ui::hbox({Ui::button(QStringLiteral("Prune now"), [weak] {
                           auto st = weak.lock();
                           if (!st) return;
                           st->pruneHistory();
                         }, false, true),
                         Ui::button(QStringLiteral("Reset history"), [weak] {
                           auto st = weak.lock();
                           if (!st) return;
                           st->clearHistory();
                         }, false, true),
                         Ui::button(QStringLiteral("Export CSV"), [weak] {
                           if (auto st = weak.lock()) (void)st->exportCSV();
                         }, false, true)},
                        6, true));
}

void SettingsView::diagnostics(QVBoxLayout* l) {
  const Theme t = Theme::current();
  AppState& state = *ctx_.state;
  if (const auto& other = state.viewerOf()) {
    auto* note = help(QStringLiteral("Readings are collected by ") + QString::fromStdString(other->description()) +
                      QStringLiteral("; this window shows what it stores and sends no alerts."));
    note->setProperty("collectorNote", true);
    l->addWidget(note);
  }
  if (const auto& last = state.lastRefresh())
    l->addWidget(Ui::text(QStringLiteral("Last update: ") + QString::fromStdString(TimeFormatting::clock(*last)), 11,
                          t.textPrimary));
  for (Provider p : state.sortedEnabledProviders()) {
    auto it = state.providerHealth().find(p);
    if (it == state.providerHealth().end()) continue;
    const QString detail = QString::fromUtf8(rawValue(it->second.state).data()) + QStringLiteral(" · ") +
                           QString::fromStdString(it->second.detail);
    auto* row = Ui::hbox({Ui::text(QString::fromUtf8(displayName(p).data()), 11, t.textPrimary), Ui::spacer(),
                          Ui::text(detail, 10, t.textSecondary)});
    row->setProperty("healthRow", QString::fromUtf8(rawValue(p).data()));
    l->addWidget(row);
  }
  std::weak_ptr<AppState> weak = ctx_.state;
  DesktopServices* desktop = ctx_.desktop;
  l->addWidget(Ui::hbox({Ui::button(QStringLiteral("Copy redacted diagnostics"), [weak, desktop] {
                           auto st = weak.lock();
                           if (st && desktop) desktop->copyToClipboard(st->diagnosticsText());
                         }, false, true)},
                        6, true));
}

}  // namespace qd
