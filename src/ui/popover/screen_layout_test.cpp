// What a user sees and does on the rendered screens: no text cut off, every
// control reachable by Tab and showing its focus, and a change on the settings
// screen keeping focus and the scroll position.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>

#include "chart/range_chart_view.h"
#include "popover/popover_view.h"
#include "settings/settings_view.h"
#include "testing/ui_test_support.h"

namespace qd {
namespace {

using namespace testing;

void settleLayout() {
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

// Labels and buttons under `root` whose text does not fit the room they were
// given: a wrapped label shorter than its text needs at its width, or a
// one-line label or button narrower than its text.
QStringList clippedTexts(QWidget* root) {
  QStringList out;
  for (QWidget* w : root->findChildren<QWidget*>()) {
    if (!w->isVisible()) continue;
    if (auto* l = qobject_cast<QLabel*>(w); l && !l->text().isEmpty()) {
      const bool clipped =
          l->wordWrap() ? l->height() < l->heightForWidth(l->width()) : l->width() < l->sizeHint().width();
      if (clipped)
        out << QStringLiteral("%1 (%2x%3)").arg(l->text()).arg(l->width()).arg(l->height());
    } else if (auto* b = qobject_cast<QAbstractButton*>(w); b && !b->text().isEmpty()) {
      const QFontMetrics metrics(b->font());
      if (b->width() < metrics.horizontalAdvance(b->text()) + 4 || b->height() < metrics.height())
        out << QStringLiteral("%1 (%2x%3)").arg(b->text()).arg(b->width()).arg(b->height());
    }
  }
  return out;
}

struct ThemeGuard {
  explicit ThemeGuard(bool dark) { Theme::setOverride(dark); }
  ~ThemeGuard() { Theme::setOverride(true); }
};

TEST(ScreenLayout, NoTextIsCutOffOnAnyScreenInEitherTheme) {
  for (bool dark : {true, false}) {
    ThemeGuard theme(dark);
    SCOPED_TRACE(dark ? "dark" : "light");
    {
      UiFixture f;
      PopoverView view(f.ctx);
      view.show();
      view.rebuild();
      settleLayout();
      EXPECT_EQ(clippedTexts(&view), QStringList()) << "main screen";
      view.setShowSettings(true);
      settleLayout();
      EXPECT_EQ(clippedTexts(&view), QStringList()) << "settings";
    }
    {
      UiFixture f(std::vector<std::string>{});
      PopoverView view(f.ctx);
      view.show();
      settleLayout();
      EXPECT_EQ(clippedTexts(&view), QStringList()) << "welcome";
    }
    // The first screen a new user sees: nothing connected, with and without codex.
    for (bool codex : {true, false}) {
      UiFixture f(std::vector<std::string>{});
      f.state->updateSettings([](AppSettings& s) {
        s.hasOnboarded = true;
        s.enabledProviders = {Provider::codex};
      });
      f.codexFound = codex;
      f.settle();
      PopoverView view(f.ctx);
      view.show();
      settleLayout();
      EXPECT_EQ(clippedTexts(&view), QStringList()) << "empty state, codex " << codex;
      // Not clicked here: "Connect Claude" starts the process-wide Claude
      // client, whose worker outlives this fixture's main loop (see the note).
    }
  }
}

TEST(ScreenLayout, ChartLabelsStayInsideTheChart) {
  const Timestamp now = fromUnixSeconds(1'796'558'400);
  struct Case {
    double windowMinutes;
    int width;
    bool namesTheDay;
  };
  for (const Case& c : {Case{300, 432, false}, Case{300, 300, false}, Case{10'080, 432, true}}) {
    std::vector<UsageSnapshot> series;
    for (int i = 0; i < 6; ++i)
      series.push_back(snapshot(Provider::codex, c.windowMinutes > 300 ? WindowKind::sevenDay : WindowKind::fiveHour,
                                addSeconds(now, -c.windowMinutes * 60 * (6 - i) / 8), 10.0 * i,
                                addSeconds(now, c.windowMinutes * 60 / 4), c.windowMinutes));
    RangeChartView chart;
    chart.resize(c.width, static_cast<int>(RangeChartGeometry::canvasHeight));
    chart.setData(series, std::nullopt, false);
    const auto labels = chart.labels();
    ASSERT_EQ(labels.size(), 6u);
    for (const auto& label : labels) {
      EXPECT_TRUE(QRectF(chart.rect()).contains(label.box))
          << label.text.toStdString() << " at " << label.box.x() << "+" << label.box.width() << " in " << c.width;
      EXPECT_GE(label.box.width(), QFontMetricsF(Theme::font(8.5)).horizontalAdvance(label.text));
    }
    EXPECT_EQ(labels[2].text, "100%");
    // Time labels over more than a day carry the weekday, so "01:25 / 13:25 / 01:25" cannot happen.
    EXPECT_EQ(labels[3].text.contains(' '), c.namesTheDay) << labels[3].text.toStdString();
  }
}

// Every control of the settings screen is on the Tab chain.
TEST(SettingsKeyboard, TabReachesEveryControl) {
  UiFixture f;
  f.state->updateSettings([](AppSettings& s) { s.notificationsEnabled = true; });
  f.settle();
  SettingsView view(f.ctx, [] {});
  view.rebuild();
  view.resize(Theme::popoverWidth, 720);
  view.show();
  QApplication::setActiveWindow(&view);
  settleLayout();

  QSet<QWidget*> controls;
  for (QWidget* w : view.findChildren<QWidget*>())
    if (w->isVisible() && (qobject_cast<QAbstractButton*>(w) || qobject_cast<QComboBox*>(w))) controls.insert(w);
  ASSERT_GT(controls.size(), 20);

  QSet<QWidget*> reached;
  QWidget* first = nullptr;
  for (int i = 0; i < 200; ++i) {
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : &view;
    QApplication::sendEvent(target, &tab);
    QWidget* now = QApplication::focusWidget();
    if (!now) continue;
    if (now == first) break;
    if (!first) first = now;
    reached.insert(now);
  }
  QStringList missed;
  for (QWidget* w : controls)
    if (!reached.contains(w))
      missed << (w->accessibleName().isEmpty() ? QString::fromUtf8(w->metaObject()->className()) + " " +
                                                     (qobject_cast<QAbstractButton*>(w) ? qobject_cast<QAbstractButton*>(w)->text() : QString())
                                               : w->accessibleName());
  EXPECT_EQ(missed, QStringList());
}

// A focused control looks different from the same control unfocused, as the
// popover styles it.
TEST(SettingsKeyboard, EveryKindOfControlShowsFocus) {
  UiFixture f;
  f.ctx.startSettings = true;
  PopoverView view(f.ctx);
  view.show();
  QApplication::setActiveWindow(&view);
  settleLayout();
  QWidget* sw = findSwitch(&view, "Demo mode");
  QWidget* button = findButton<QPushButton>(&view, "Export CSV");
  QWidget* combo = view.findChild<QComboBox*>();
  QWidget* tool = findButton<QToolButton>(&view, "+");
  for (QWidget* w : {sw, button, combo, tool}) {
    ASSERT_NE(w, nullptr);
    view.setFocus();
    settleLayout();
    const QImage plain = w->grab().toImage();
    w->setFocus(Qt::TabFocusReason);
    settleLayout();
    ASSERT_TRUE(w->hasFocus()) << w->metaObject()->className();
    EXPECT_NE(w->grab().toImage(), plain) << w->metaObject()->className() << " shows no focus";
  }
}

// A switch toggled with Space, or a picker changed, updates the screen in
// place: the same control keeps the focus and the list does not scroll.
TEST(SettingsKeyboard, AChangeKeepsFocusAndScrollPosition) {
  UiFixture f;
  SettingsView view(f.ctx, [] {});
  view.rebuild();
  view.resize(Theme::popoverWidth, 720);
  view.show();
  QApplication::setActiveWindow(&view);
  settleLayout();
  QScrollBar* bar = view.findChild<QScrollArea*>()->verticalScrollBar();
  ASSERT_GT(bar->maximum(), 200);
  bar->setValue(bar->maximum() / 2);
  const int scrolled = bar->value();

  QAbstractButton* sw = findSwitch(&view, "Show spend in £ (GBP)");
  ASSERT_NE(sw, nullptr);
  sw->setFocus(Qt::TabFocusReason);
  const bool before = f.state->settings().currencyGBP;
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier);
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier);
  QApplication::sendEvent(sw, &press);
  QApplication::sendEvent(sw, &release);
  EXPECT_NE(f.state->settings().currencyGBP, before);
  waitUntil([] { return false; }, 50);  // the update the change announced has run
  EXPECT_EQ(QApplication::focusWidget(), sw);
  EXPECT_EQ(sw->isChecked(), f.state->settings().currencyGBP);
  EXPECT_EQ(bar->value(), scrolled);

  QComboBox* mode = nullptr;
  for (QComboBox* c : view.findChildren<QComboBox*>())
    if (c->accessibleName() == "Display mode") mode = c;
  ASSERT_NE(mode, nullptr);
  mode->setFocus(Qt::TabFocusReason);
  mode->setCurrentIndex(static_cast<int>(MenuBarDisplayMode::providerFocus));
  emit mode->activated(mode->currentIndex());
  waitUntil([] { return false; }, 50);
  EXPECT_EQ(f.state->settings().menuBarDisplayMode, MenuBarDisplayMode::providerFocus);
  EXPECT_EQ(QApplication::focusWidget(), mode);
  EXPECT_EQ(bar->value(), scrolled);
  EXPECT_TRUE(containsText(&view, "Show provider"));
}

}  // namespace
}  // namespace qd
