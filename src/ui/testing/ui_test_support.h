#pragma once
// Builds a real application state on the Qt main loop for widget tests, in a
// throw-away support directory, with recording desktop fakes.
#include <QAbstractButton>
#include <QLabel>
#include <QWidget>
#include <memory>

#include "app/testing/app_test_support.h"
#include "desktop/qt_main_loop.h"
#include "popover/ui_context.h"
#include "testing/private_bus.h"

namespace qd::testing {

struct UiFixture {
  explicit UiFixture(std::vector<std::string> arguments = {"--demo"}, bool wait = true,
                     std::function<void(AppStateOptions&)> adjust = {}) {
    AppStateOptions o;
    o.mainLoop = &loop;
    o.supportDirectory = dir.path() / "support";
    o.arguments = std::move(arguments);
    o.notificationSink = &sink;
    o.desktopServices = &desktop;
    o.startTimers = false;
    o.writeSettings = [](const AppSettings&) {};
    if (adjust) adjust(o);
    state = AppState::create(std::move(o));
    ctx.state = state;
    ctx.desktop = &desktop;
    ctx.codexOnPath = [this] { return codexFound; };
    ctx.bridgeStateText = [] { return std::string("notInstalled"); };
    ctx.quit = [this] { ++quits; };
    if (wait) settle();
  }
  // Runs the loop until every requested refresh has been applied.
  void settle() {
    waitUntil([&] { return state->pendingRefreshes() == 0 && state->lastRefresh().has_value(); }, 10000);
    waitUntil([] { return false; }, 30);
  }

  TempDir dir;
  QtMainLoop loop;
  RecordingSink sink;
  RecordingDesktop desktop;
  std::shared_ptr<AppState> state;
  UiContext ctx;
  bool codexFound = false;
  int quits = 0;
};

// The texts of every label and button under `root` that would be visible with it.
inline QStringList visibleTexts(QWidget* root) {
  QStringList out;
  for (QWidget* w : root->findChildren<QWidget*>()) {
    if (!w->isVisibleTo(root)) continue;
    if (auto* l = qobject_cast<QLabel*>(w); l && !l->text().isEmpty()) out << l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w); b && !b->text().isEmpty()) out << b->text();
  }
  return out;
}

inline bool containsText(QWidget* root, const QString& text) { return visibleTexts(root).contains(text); }

inline bool containsTextStartingWith(QWidget* root, const QString& prefix) {
  for (const QString& t : visibleTexts(root))
    if (t.startsWith(prefix)) return true;
  return false;
}

// The switch of the settings row labelled `label`.
inline QAbstractButton* findSwitch(QWidget* root, const QString& label) {
  for (QAbstractButton* b : root->findChildren<QAbstractButton*>())
    if (b->accessibleName() == label && b->text().isEmpty() && b->isVisibleTo(root)) return b;
  return nullptr;
}

template <class T>
T* findButton(QWidget* root, const QString& text) {
  for (T* b : root->findChildren<T*>())
    if (b->text() == text && b->isVisibleTo(root)) return b;
  return nullptr;
}

}  // namespace qd::testing
