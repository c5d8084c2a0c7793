#pragma once
#include <QDBusConnection>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <optional>

#include "desktop/global_hotkey.h"
#include "popover/ui_context.h"
#include "tray/status_notifier_item.h"

namespace qd {

class DBusMenuExporter;
class PopoverView;
class PopoverWindow;

// Puts the application in the desktop's tray: the item's icon, label and
// tooltip from the state (redrawn on every change and every 30 s), the popover
// at the activation point, the floating window when there is no tray host, and
// the global shortcut.
//
// Thread-safety: main thread only.
class StatusBarController : public QObject {
  Q_OBJECT
 public:
  StatusBarController(UiContext& ctx, QDBusConnection bus, bool registerHotkey = true, QObject* parent = nullptr);
  ~StatusBarController() override;

  void updateButton();
  // Closes whichever of the popover and the floating window is shown, else shows one.
  void toggleUI(std::optional<QPoint> at = std::nullopt);
  // A click on the tray icon at `at`: the toggle, unless the click's own press
  // has just closed the popup.
  void iconClicked(QPoint at);
  // The popover at `at` when a tray host shows the item, else the floating window; then refresh.
  void showUI(std::optional<QPoint> at = std::nullopt);
  void showSettings();
  // `showUI` once the tray host has answered the item's registration (or at
  // once when there is nothing to wait for), so the screens open where they belong.
  void showWhenReady();

  [[nodiscard]] StatusNotifierItem& item() { return *item_; }
  [[nodiscard]] PopoverView& view() { return *view_; }
  [[nodiscard]] bool popoverVisible() const;
  [[nodiscard]] bool floatingVisible() const;
  [[nodiscard]] GlobalHotkey::Backend hotkeyBackend() const { return hotkey_.backend(); }
  [[nodiscard]] QString toolTipTitle() const;
  [[nodiscard]] QMenu& menu() { return *menu_; }
  [[nodiscard]] PopoverWindow& popoverWindow() { return *popover_; }

 private:
  void showFloating();
  void buildMenu();
  void showContextMenu(QPoint at);

  UiContext& ctx_;
  StatusNotifierItem* item_;
  PopoverView* view_;
  PopoverWindow* popover_;
  PopoverWindow* floating_ = nullptr;
  QMenu* menu_ = nullptr;
  DBusMenuExporter* menuExporter_ = nullptr;
  GlobalHotkey hotkey_;
  QTimer tick_;
  AppState::Subscription subscription_;
  bool updatePending_ = false;
};

// The top-level window that hosts the popover screen: a frameless popup that
// closes when it loses focus, or the floating window (always on top, moved by
// dragging its background, closed with Escape).
class PopoverWindow : public QWidget {
  Q_OBJECT
 public:
  enum class Kind { popup, floating };
  // A click on the tray icon that closes the open popup arrives twice: the
  // press closes the popup (it is outside it), then the host's activation
  // follows on release. An activation this soon after the popup closed itself
  // is that same click.
  static constexpr qint64 kSameClickMs = 500;

  explicit PopoverWindow(Kind kind);
  void host(QWidget* content);
  [[nodiscard]] Kind kind() const { return kind_; }
  // Sizes the window and its content: `size` cut down to fit `available`.
  void place(const QRect& geometry);
  // Hides the window on the user's request (not counted as closing by itself).
  void dismiss();
  // Whether the window closed by itself (a press outside, focus lost, Escape)
  // within the last kSameClickMs.
  [[nodiscard]] bool justClosedItself() const;
  // Milliseconds on a monotonic clock; tests replace it.
  std::function<qint64()> monotonicMs;

 protected:
  void mousePressEvent(QMouseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void changeEvent(QEvent* e) override;
  void hideEvent(QHideEvent* e) override;

 private:
  Kind kind_;
  bool dismissing_ = false;
  std::optional<qint64> closedItselfAt_;
};

}  // namespace qd
