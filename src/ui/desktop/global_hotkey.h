#pragma once
#include <QAbstractNativeEventFilter>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QObject>

#include "desktop/portal_global_shortcuts.h"

namespace qd {

// The global shortcut Ctrl+Alt+G. On X11 it is a key grab on the root window;
// on Wayland, where clients cannot grab keys, it is the desktop portal's global
// shortcut (the desktop may let the user confirm or pick another key). Each is
// the fallback of the other. When neither is available users bind
// `quotadial --toggle` in their desktop's keyboard settings.
//
// Thread-safety: main thread only.
class GlobalHotkey : public QObject, public QAbstractNativeEventFilter {
  Q_OBJECT
 public:
  enum class Backend { none, x11, portal };

  // `bus` is where the desktop portal is asked.
  explicit GlobalHotkey(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
  ~GlobalHotkey() override;

  // Grabs the key, or starts asking the portal; the backend that holds the
  // shortcut now. The portal answers later: `backendChanged` tells when it does.
  // `preferPortal` is for Wayland sessions; by default it is read from the session.
  Backend registerShortcut();
  Backend registerShortcut(bool preferPortal);
  void unregisterShortcut();
  [[nodiscard]] Backend backend() const { return backend_; }
  [[nodiscard]] const PortalGlobalShortcuts& portal() const { return portal_; }
  [[nodiscard]] static const char* describe(Backend b);
  // True on a Wayland session (the platform plugin or XDG_SESSION_TYPE says so).
  [[nodiscard]] static bool waylandSession();

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 signals:
  void activated();
  void backendChanged(qd::GlobalHotkey::Backend backend);

 private:
  bool grabX11();
  void releaseX11();
  void setBackend(Backend b);

  PortalGlobalShortcuts portal_;
  bool portalFallsBackToX11_ = false;
  Backend backend_ = Backend::none;
  unsigned keycode_ = 0;
  QElapsedTimer lastPress_;
};

}  // namespace qd
