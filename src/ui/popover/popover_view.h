#pragma once
#include <QPointer>
#include <QStackedWidget>
#include <QWidget>
#include <vector>

#include "popover/widgets.h"

class QScrollArea;
class QVBoxLayout;

namespace qd {

class SettingsView;

// The root screen hosted by the popover, the floating window and the preview
// window: the welcome, the settings screen, or the main screen (header, cards
// or the empty state, footer). Re-evaluated on every announced state change.
//
// Thread-safety: main thread only.
class PopoverView : public QWidget {
  Q_OBJECT
 public:
  enum class Screen { welcome, settings, main };

  // `height` 0 takes the popover height of the run.
  explicit PopoverView(UiContext& ctx, int height = 0, QWidget* parent = nullptr);
  ~PopoverView() override;

  [[nodiscard]] Screen screen() const { return screen_; }
  [[nodiscard]] bool showSettings() const { return showSettings_; }
  void setShowSettings(bool show);
  // Rebuilds every screen from the state now (normally coalesced per event-loop turn).
  void rebuild();
  // Ends running animations (screenshots).
  void settleAnimations();
  // "Quotadial", or "Quotadial — Settings" on the settings screen: the title of the window that hosts it.
  [[nodiscard]] QString title() const;

 signals:
  void screenChanged();

 private:
  void scheduleRebuild();
  void buildMain();
  void buildWelcome();
  QWidget* header();
  QWidget* footer();
  QWidget* emptyState();

  UiContext& ctx_;
  AppState::Subscription subscription_;
  bool showSettings_ = false;
  bool rebuildPending_ = false;
  Screen screen_ = Screen::main;
  QStackedWidget* stack_;
  QWidget* welcome_;
  QWidget* main_;
  SettingsView* settings_;
  QVBoxLayout* cardsLayout_ = nullptr;
  QWidget* cardsHost_ = nullptr;
  QWidget* emptyHost_ = nullptr;
  QWidget* footerHost_ = nullptr;
  std::vector<Card*> cards_;
  // Messages shown under the buttons after a Claude connection attempt.
  QString welcomeMessage_;
  QString emptyMessage_;
};

}  // namespace qd
