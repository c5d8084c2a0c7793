#pragma once
#include <QDBusConnection>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QTimer>
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
  // The popover at `at` when a tray host shows the item, else the floating window; then refresh.
  void showUI(std::optional<QPoint> at = std::nullopt);
  void showSettings();

  [[nodiscard]] StatusNotifierItem& item() { return *item_; }
  [[nodiscard]] PopoverView& view() { return *view_; }
  [[nodiscard]] bool popoverVisible() const;
  [[nodiscard]] bool floatingVisible() const;
  [[nodiscard]] GlobalHotkey::Backend hotkeyBackend() const { return hotkey_.backend(); }
  [[nodiscard]] QString toolTipTitle() const;
  [[nodiscard]] QMenu& menu() { return *menu_; }

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
  explicit PopoverWindow(Kind kind);
  void host(QWidget* content);
  [[nodiscard]] Kind kind() const { return kind_; }

 protected:
  void mousePressEvent(QMouseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void changeEvent(QEvent* e) override;

 private:
  Kind kind_;
};

}  // namespace qd
