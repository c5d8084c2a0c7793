#include "settings/settings_view.h"

#include <QCheckBox>
#include <QComboBox>
#include <QMenu>
#include <QPointer>
#include <QScrollArea>
#include <QSignalBlocker>
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

  QPointer<SettingsView> self(this);
  subscription_ = ctx_.state->subscribe([self](unsigned) {
    if (self && !self->updates_.empty()) self->scheduleRebuild();
  });
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
  if (updates_.empty()) {
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
  for (const auto& update : updates_) update();
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

QWidget* SettingsView::toggle(const QString& label, std::function<bool()> read, std::function<void(bool)> changed) {
  QWidget* row = Ui::toggleRow(label, read(), std::move(changed));
  auto* sw = row->findChild<Ui::Switch*>();
  onUpdate([sw, read = std::move(read)] {
    const QSignalBlocker quiet(sw);
    sw->setChecked(read());
  });
  return row;
}

void SettingsView::providers(QVBoxLayout* l) {
  std::weak_ptr<AppState> weak = ctx_.state;
  for (Provider p : allCases<Provider>()) {
    l->addWidget(toggle(
        QString::fromUtf8(displayName(p).data()),
        [this, p] { return ctx_.state->settings().enabledProviders.count(p) > 0; },
        [weak, p](bool v) {
          if (auto s = weak.lock()) s->toggleProvider(p, v);
        }));
  }
}

void SettingsView::forecast(QVBoxLayout* l) {
  auto* combo = new QComboBox;
  for (ForecastBasis b : allCases<ForecastBasis>()) combo->addItem(QString::fromUtf8(label(b).data()), static_cast<int>(b));
  std::weak_ptr<AppState> weak = ctx_.state;
  connect(combo, &QComboBox::activated, combo, [weak](int index) {
    if (auto s = weak.lock()) s->setBasis(allCases<ForecastBasis>()[static_cast<size_t>(index)]);
  });
  onUpdate([this, combo] { combo->setCurrentIndex(static_cast<int>(ctx_.state->settings().forecastBasis)); });
  l->addWidget(pickerRow(QStringLiteral("Default basis"), combo));
}

void SettingsView::menuBar(QVBoxLayout* l) {
  const Theme t = Theme::current();
  std::weak_ptr<AppState> weak = ctx_.state;

  auto* mode = new QComboBox;
  for (MenuBarDisplayMode m : allCases<MenuBarDisplayMode>()) mode->addItem(QString::fromUtf8(label(m).data()));
  connect(mode, &QComboBox::activated, mode, [weak](int index) {
    if (auto st = weak.lock())
      st->updateSettings([index](AppSettings& a) {
        a.menuBarDisplayMode = allCases<MenuBarDisplayMode>()[static_cast<size_t>(index)];
      });
  });
  l->addWidget(pickerRow(QStringLiteral("Display mode"), mode));
  auto* modeHelp = help(QString());
  l->addWidget(modeHelp);

  auto* preview = new QWidget;
  auto* ph = new QHBoxLayout(preview);
  ph->setContentsMargins(0, 0, 0, 0);
  ph->setSpacing(6);
  ph->addWidget(Ui::text(QStringLiteral("Preview"), 11, t.textPrimary));
  ph->addStretch(1);
  auto* previewIcon = Ui::symbol(QStringLiteral("chart.line.uptrend.xyaxis"), t.textPrimary, 14);
  ph->addWidget(previewIcon);
  auto* previewTitle = Ui::text(QString(), 12, t.textPrimary, QFont::Medium);
  previewTitle->setFont(Theme::monoDigitsFont(12));
  previewTitle->setObjectName(QStringLiteral("menuBarPreview"));
  ph->addWidget(previewTitle);
  l->addWidget(preview);

  auto* focus = new QComboBox;
  connect(focus, &QComboBox::activated, focus, [weak, focus](int index) {
    const auto p = static_cast<Provider>(focus->itemData(index).toInt());
    if (auto st = weak.lock()) st->updateSettings([p](AppSettings& a) { a.focusedProvider = p; });
  });
  QWidget* focusRow = pickerRow(QStringLiteral("Show provider"), focus);
  l->addWidget(focusRow);

  onUpdate([this, mode, modeHelp, previewIcon, previewTitle, focus, focusRow] {
    const Theme th = Theme::current();
    AppState& state = *ctx_.state;
    const AppSettings& s = state.settings();
    mode->setCurrentIndex(static_cast<int>(s.menuBarDisplayMode));
    modeHelp->setText(QString::fromUtf8(helpText(s.menuBarDisplayMode).data()));
    const ForecastStatus global = state.globalStatus();
    previewIcon->setPixmap(SymbolIcons::drawn(global == ForecastStatus::limited
                                                  ? QStringLiteral("exclamationmark.triangle.fill")
                                                  : QStringLiteral("chart.line.uptrend.xyaxis"),
                                              th.statusColor(global), 14, 2.0));
    const QString title = QString::fromStdString(MenuBarTitleBuilder::title(state));
    previewTitle->setText(title);
    previewTitle->setVisible(!title.isEmpty());
    focusRow->setVisible(s.menuBarDisplayMode == MenuBarDisplayMode::providerFocus);
    const auto providers = state.sortedEnabledProviders();
    bool same = focus->count() == static_cast<int>(providers.size());
    for (size_t i = 0; same && i < providers.size(); ++i)
      same = focus->itemData(static_cast<int>(i)).toInt() == static_cast<int>(providers[i]);
    if (!same) {
      focus->clear();
      for (Provider p : providers) focus->addItem(QString::fromUtf8(displayName(p).data()), static_cast<int>(p));
    }
    focus->setCurrentIndex(focus->findData(static_cast<int>(s.focusedProvider)));
  });
  l->addWidget(help(QString::fromUtf8(kMenuBarDisplayModeCaption.data())));

  l->addWidget(toggle(
      QStringLiteral("Show remaining (reserve)"), [this] { return ctx_.state->settings().showRemaining; },
      [weak](bool v) {
        if (auto st = weak.lock()) st->updateSettings([v](AppSettings& a) { a.showRemaining = v; });
      }));
  l->addWidget(help(QStringLiteral("On: shows what's left (e.g. 98%), like Codex. Off: shows used.")));
  l->addWidget(toggle(
      QStringLiteral("Show spend in £ (GBP)"), [this] { return ctx_.state->settings().currencyGBP; },
      [weak](bool v) {
        if (auto st = weak.lock()) st->updateSettings([v](AppSettings& a) { a.currencyGBP = v; });
      }));
  l->addWidget(help(QStringLiteral("Estimated spend uses approximate token prices; off shows $ (USD).")));

  auto* budgetLabel = Ui::text(QString(), 11, t.textPrimary);
  budgetLabel->setObjectName(QStringLiteral("overageBudget"));
  auto* stepper = new Stepper(ctx_.state->settings().extraUsageBudgetGBP, SettingLimits::extraUsageBudgetGBP.lo,
                              SettingLimits::extraUsageBudgetGBP.hi, 5, [weak](double v) {
    if (auto st = weak.lock()) st->updateSettings([v](AppSettings& a) { a.extraUsageBudgetGBP = v; });
  });
  stepper->setProperty("overage", true);
  stepper->setAccessibleName(QStringLiteral("Overage budget"));
  onUpdate([this, budgetLabel, stepper] {
    const double budget = ctx_.state->settings().extraUsageBudgetGBP;
    budgetLabel->setText(QString::fromStdString(SL::overageBudgetLabel(budget)));
    stepper->setValue(budget);
  });
  l->addWidget(Ui::hbox({budgetLabel, Ui::spacer(), stepper}));
  l->addWidget(help(QStringLiteral("Warns when Claude pre-paid overage (real money beyond your plan) crosses this.")));

  // The login item's real state, whatever the stored setting says.
  DesktopServices* desktop = ctx_.desktop;
  QPointer<SettingsView> self(this);
  l->addWidget(toggle(
      QStringLiteral("Start at login"), [desktop] { return desktop && desktop->loginItemEnabled(); },
      [weak, desktop, self](bool v) {
        const bool real = desktop ? desktop->setLoginItemEnabled(v) : false;
        if (auto st = weak.lock()) st->updateSettings([real](AppSettings& a) { a.startAtLogin = real; });
        if (self) self->scheduleRebuild();  // a refused change flips the switch back
      }));
}

QWidget* SettingsView::thresholdRow(const QString& label, double lo, double hi,
                                    std::function<double&(NotificationThresholds&)> field) {
  const Theme t = Theme::current();
  auto* valueLabel = Ui::text(QString(), 11, t.textPrimary, QFont::DemiBold);
  std::weak_ptr<AppState> weak = ctx_.state;
  NotificationThresholds current = ctx_.state->settings().notificationThresholds;
  auto* stepper = new Stepper(field(current), lo, hi, 5, [weak, field](double v) {
    if (auto st = weak.lock()) st->updateSettings([&](AppSettings& a) { field(a.notificationThresholds) = v; });
  });
  stepper->setProperty("threshold", label);
  stepper->setAccessibleName(label);
  onUpdate([this, valueLabel, stepper, field] {
    NotificationThresholds th = ctx_.state->settings().notificationThresholds;
    const double v = field(th);
    valueLabel->setText(QString::number(static_cast<long long>(v)));
    stepper->setValue(v);
  });
  return Ui::hbox({Ui::text(label, 11, t.textPrimary), Ui::spacer(), valueLabel, stepper});
}

void SettingsView::notifications(QVBoxLayout* l) {
  const Theme t = Theme::current();
  std::weak_ptr<AppState> weak = ctx_.state;
  l->addWidget(toggle(
      QStringLiteral("Enable alerts"), [this] { return ctx_.state->settings().notificationsEnabled; },
      [weak](bool v) {
        auto st = weak.lock();
        if (!st) return;
        st->updateSettings([v](AppSettings& a) { a.notificationsEnabled = v; });
        if (v) st->notificationManager().requestAuthorizationIfNeeded();
      }));
  // Everything below shows only while alerts are on.
  auto* more = new QWidget;
  auto* ml = new QVBoxLayout(more);
  ml->setContentsMargins(0, 0, 0, 0);
  ml->setSpacing(8);
  l->addWidget(more);
  ml->addWidget(thresholdRow(QStringLiteral("5h usage above"), SettingLimits::fiveHourUsageAbove.lo,
                             SettingLimits::fiveHourUsageAbove.hi,
                             [](NotificationThresholds& n) -> double& { return n.fiveHourUsageAbove; }));
  ml->addWidget(thresholdRow(QStringLiteral("5h forecast above"), SettingLimits::fiveHourForecastAbove.lo,
                             SettingLimits::fiveHourForecastAbove.hi,
                             [](NotificationThresholds& n) -> double& { return n.fiveHourForecastAbove; }));
  ml->addWidget(thresholdRow(QStringLiteral("Time to limit under (min)"), SettingLimits::timeToLimitUnderMinutes.lo,
                             SettingLimits::timeToLimitUnderMinutes.hi,
                             [](NotificationThresholds& n) -> double& { return n.timeToLimitUnderMinutes; }));

  auto* snoozedText = Ui::text(QString(), 11, t.textPrimary);
  QWidget* snoozedRow = Ui::hbox({snoozedText, Ui::spacer(), Ui::button(QStringLiteral("Resume"), [weak] {
                                    if (auto st = weak.lock())
                                      st->updateSettings([](AppSettings& a) { a.notificationsSnoozedUntil.reset(); });
                                  }, false, true)});
  ml->addWidget(snoozedRow);

  auto* menuButton = new QToolButton;
  menuButton->setObjectName(QStringLiteral("menuButton"));
  menuButton->setText(QStringLiteral("Snooze"));
  menuButton->setPopupMode(QToolButton::InstantPopup);
  menuButton->setFont(Theme::font(10.5, QFont::Medium));
  menuButton->setCursor(Qt::PointingHandCursor);
  auto* menu = new QMenu(menuButton);
  // A menu is a window of its own: it takes the screens' style only when given it.
  menu->setStyleSheet(Ui::styleSheet(Theme::current()));
  menu->setFont(Theme::font(10.5));
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
  QWidget* snoozeRow = Ui::hbox({Ui::text(QStringLiteral("Snooze alerts"), 11, t.textPrimary), Ui::spacer(), menuButton});
  ml->addWidget(snoozeRow);
  ml->addWidget(Ui::text(QStringLiteral("Alerts are silenced in demo mode."), 9.5, t.textTertiary));

  onUpdate([this, more, snoozedRow, snoozedText, snoozeRow] {
    const AppSettings& s = ctx_.state->settings();
    more->setVisible(s.notificationsEnabled);
    const bool snoozed = s.notificationsSnoozedUntil && *s.notificationsSnoozedUntil > ctx_.now();
    snoozedRow->setVisible(snoozed);
    snoozeRow->setVisible(!snoozed);
    if (snoozed)
      snoozedText->setText(QStringLiteral("Snoozed until ") +
                           QString::fromStdString(TimeFormatting::clock(*s.notificationsSnoozedUntil)));
  });
}

void SettingsView::bridge(QVBoxLayout* l) {
  const Theme t = Theme::current();
  auto* pill = Ui::pill(QString(), t.neutral);
  l->addWidget(Ui::hbox({Ui::text(QStringLiteral("Status line bridge"), 11, t.textPrimary), Ui::spacer(), pill}));
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
  auto* msg = Ui::text(QString(), 10, t.textSecondary, QFont::Normal, true);
  msg->setObjectName(QStringLiteral("bridgeMessage"));
  l->addWidget(msg);
  onUpdate([this, pill, msg] {
    const auto state = SL::bridgePill(ctx_.bridgeStateText ? ctx_.bridgeStateText() : std::string("notInstalled"));
    Ui::setPill(pill, QString::fromStdString(state.text), pillColour(state.role, Theme::current()));
    msg->setText(bridgeMessage_);
    msg->setVisible(!bridgeMessage_.isEmpty());
  });
}

void SettingsView::codex(QVBoxLayout* l) {
  const Theme t = Theme::current();
  auto* pill = Ui::pill(QString(), t.neutral);
  l->addWidget(Ui::hbox({Ui::text(QStringLiteral("Codex CLI"), 11, t.textPrimary), Ui::spacer(), pill}));
  auto* line = help(QString());
  l->addWidget(line);
  onUpdate([this, pill, line] {
    const Theme th = Theme::current();
    const bool found = ctx_.codexOnPath && ctx_.codexOnPath();
    Ui::setPill(pill, found ? QStringLiteral("Found in PATH") : QStringLiteral("Not found"), found ? th.safe : th.neutral);
    line->setText(found ? QStringLiteral("Codex usage appears live when demo mode is off.")
                        : QStringLiteral("Install the Codex CLI to enable live usage."));
  });
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
  std::weak_ptr<AppState> weak = ctx_.state;
  l->addWidget(toggle(
      QStringLiteral("Demo mode"), [this] { return ctx_.state->settings().demoMode; },
      [weak](bool v) {
        auto st = weak.lock();
        if (!st) return;
        st->updateSettings([v](AppSettings& a) { a.demoMode = v; });
        st->startProviders();
        st->refresh();
      }));
  auto* retention = Ui::text(QString(), 11, t.textPrimary);
  retention->setObjectName(QStringLiteral("retention"));
  auto* stepper = new Stepper(ctx_.state->settings().retentionDays, SettingLimits::retentionDays.lo, SettingLimits::retentionDays.hi, 1, [weak](double v) {
    if (auto st = weak.lock()) st->updateSettings([v](AppSettings& a) { a.retentionDays = static_cast<int>(v); });
  });
  stepper->setAccessibleName(QStringLiteral("Retention"));
  onUpdate([this, retention, stepper] {
    const int days = ctx_.state->settings().retentionDays;
    retention->setText(QStringLiteral("Retention: %1 days").arg(days));
    stepper->setValue(days);
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
                           if (auto st = weak.lock()) st->exportCSV();
                         }, false, true)},
                        6, true));
}

void SettingsView::diagnostics(QVBoxLayout* l) {
  const Theme t = Theme::current();
  auto* collectorNote = help(QString());
  collectorNote->setProperty("collectorNote", true);
  l->addWidget(collectorNote);
  onUpdate([this, collectorNote] {
    const auto& other = ctx_.state->viewerOf();
    if (other)
      collectorNote->setText(QStringLiteral("Readings are collected by ") + QString::fromStdString(other->description()) +
                             QStringLiteral("; this window shows what it stores and sends no alerts."));
    collectorNote->setVisible(other.has_value());
  });
  auto* lastUpdate = Ui::text(QString(), 11, t.textPrimary);
  l->addWidget(lastUpdate);
  // The health rows hold no controls: they are simply redrawn.
  auto* health = new QWidget;
  auto* hl = new QVBoxLayout(health);
  hl->setContentsMargins(0, 0, 0, 0);
  hl->setSpacing(8);
  l->addWidget(health);
  std::weak_ptr<AppState> weak = ctx_.state;
  DesktopServices* desktop = ctx_.desktop;
  auto* copied = Ui::text(QString(), 10, t.textSecondary);
  copied->setObjectName(QStringLiteral("copyFeedback"));
  copied->hide();
  auto* copy = Ui::button(QStringLiteral("Copy redacted diagnostics"), [weak, desktop, copied] {
    auto st = weak.lock();
    const bool ok = st && desktop && desktop->copyToClipboard(st->diagnosticsText());
    copied->setText(ok ? QStringLiteral("Copied to the clipboard.") : QStringLiteral("Could not reach the clipboard."));
    copied->show();
  }, false, true);
  l->addWidget(Ui::hbox({copy, copied}, 8, true));
  onUpdate([this, lastUpdate, health, hl] {
    const Theme th = Theme::current();
    AppState& state = *ctx_.state;
    const auto& last = state.lastRefresh();
    lastUpdate->setVisible(last.has_value());
    if (last) lastUpdate->setText(QStringLiteral("Last update: ") + QString::fromStdString(TimeFormatting::clock(*last)));
    while (QLayoutItem* item = hl->takeAt(0)) {
      if (QWidget* w = item->widget()) {
        w->hide();
        w->deleteLater();
      }
      delete item;
    }
    for (Provider p : state.sortedEnabledProviders()) {
      auto it = state.providerHealth().find(p);
      if (it == state.providerHealth().end()) continue;
      const QString detail = QString::fromUtf8(rawValue(it->second.state).data()) + QStringLiteral(" · ") +
                             QString::fromStdString(it->second.detail);
      auto* row = Ui::hbox({Ui::text(QString::fromUtf8(displayName(p).data()), 11, th.textPrimary), Ui::spacer(),
                            Ui::text(detail, 10, th.textSecondary)});
      row->setProperty("healthRow", QString::fromUtf8(rawValue(p).data()));
      hl->addWidget(row);
    }
    health->setVisible(hl->count() > 0);
  });
}

}  // namespace qd
